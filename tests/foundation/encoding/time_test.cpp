#include "foundation/encoding/time.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace ns::encoding::time;

namespace {

std::string iso(int64_t s, uint32_t ns) {
    std::vector<unsigned char> out = {'>'};
    formatTimeIso(out, s, ns);
    return std::string(out.begin() + 1, out.end());
}

std::string def(int64_t s) {
    std::vector<unsigned char> out = {'>'};
    formatTimeDefault(out, s);
    return std::string(out.begin() + 1, out.end());
}

std::string bsd(int64_t s) {
    std::vector<unsigned char> out = {'>'};
    formatTimeSyslogRfc3164(out, s);
    return std::string(out.begin() + 1, out.end());
}

} // namespace

TEST(Time, KnownStamps) {
    struct Case {
        int64_t s;
        uint32_t ns;
        const char* iso;
        const char* def;
        const char* bsd;
    };
    const Case cases[] = {
        {0, 0, "1970-01-01T00:00:00.000000Z", "19700101000000", "Jan  1 00:00:00"},
        {0, 12345678, "1970-01-01T00:00:00.012345Z", "19700101000000", "Jan  1 00:00:00"},
        {0, 999999999, "1970-01-01T00:00:00.999999Z", "19700101000000", "Jan  1 00:00:00"},
        {1700000000, 999, "2023-11-14T22:13:20.000000Z", "20231114221320", "Nov 14 22:13:20"},
        {951782400, 0, "2000-02-29T00:00:00.000000Z", "20000229000000", "Feb 29 00:00:00"},
        {-1, 1000, "1969-12-31T23:59:59.000001Z", "19691231235959", "Dec 31 23:59:59"},
        {253402300799, 0, "9999-12-31T23:59:59.000000Z", "99991231235959", "Dec 31 23:59:59"},
        {253402300800, 0, "10000-01-01T00:00:00.000000Z", "100000101000000", "Jan  1 00:00:00"},
        {-62167219200, 0, "0000-01-01T00:00:00.000000Z", "00000101000000", "Jan  1 00:00:00"},
        {-62167219201, 0, "-001-12-31T23:59:59.000000Z", "-0011231235959", "Dec 31 23:59:59"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(iso(c.s, c.ns), c.iso) << c.s;
        EXPECT_EQ(def(c.s), c.def) << c.s;
        EXPECT_EQ(bsd(c.s), c.bsd) << c.s;
    }
}

// Absurd stamps (a corrupt field) render the epoch instead of failing.
TEST(Time, YearBeyondCalendarRendersEpoch) {
    const int64_t absurd[] = {std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min(),
                              int64_t(1) << 62, -(int64_t(1) << 62)};
    for (int64_t s : absurd) {
        EXPECT_EQ(iso(s, 123456789), "1970-01-01T00:00:00.000000Z") << s;
        EXPECT_EQ(def(s), "19700101000000") << s;
        EXPECT_EQ(bsd(s), "Jan  1 00:00:00") << s;
    }
}

// The arithmetic conversion agrees with the C library's reentrant one over
// the whole range it accepts, and gives up exactly where it does.
TEST(Time, AgreesWithLibraryConversion) {
    std::vector<int64_t> stamps = {0, 1, 59, 60, 86399, 86400, -86400, -86401, 68256000, 4102444800,
                                   4107542400, 13569465600};
    // Around the largest and smallest years a 32-bit calendar year can hold.
    for (int64_t base : {int64_t(67768036191676799), int64_t(67768036191676800), int64_t(-67768040609740800),
                         int64_t(-67768040609740801)})
        for (int64_t d = -3; d <= 3; ++d)
            stamps.push_back(base + d * 86400 + d);
    std::mt19937_64 rng(11);
    for (int i = 0; i < 20000; ++i) {
        stamps.push_back(static_cast<int64_t>(rng() % 20000000000ull) - 5000000000ll);
        stamps.push_back(static_cast<int64_t>(rng() >> (rng() % 64)) * ((rng() & 1) ? 1 : -1));
    }
    for (int64_t s : stamps) {
        const time_t t = static_cast<time_t>(s);
        struct tm tm;
        char want[64];
        if (gmtime_r(&t, &tm) != nullptr)
            std::snprintf(want, sizeof(want), "%04lld%02d%02d%02d%02d%02d", static_cast<long long>(tm.tm_year) + 1900, tm.tm_mon + 1,
                          tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        else
            std::snprintf(want, sizeof(want), "19700101000000");
        ASSERT_EQ(def(s), want) << s;
    }
}
