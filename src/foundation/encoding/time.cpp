#include "foundation/encoding/time.h"

#include <cstddef>
#include <climits>
#include <cstdio>
#include <cstring>

namespace ns::encoding::time {

namespace {

// Calendar record of one UTC instant, owned by the caller.
struct UtcFields {
    int64_t year;
    unsigned month; // 1..12
    unsigned day;   // 1..31
    unsigned hour;
    unsigned minute;
    unsigned second;
};

// Stand-in for a time stamp no calendar can hold (a corrupt field): the epoch.
constexpr UtcFields kEpoch = {1970, 1, 1, 0, 0, 0};

// Pure arithmetic UTC conversion (proleptic Gregorian calendar): reentrant,
// lock-free, no time zone. Fails, like the C library's, when the year does
// not fit the calendar record's int year; the record then holds the epoch.
bool toUtc(int64_t seconds, UtcFields* f) {
    int64_t days = seconds / 86400;
    int64_t rem = seconds % 86400;
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    f->hour = static_cast<unsigned>(rem / 3600);
    f->minute = static_cast<unsigned>(rem / 60 % 60);
    f->second = static_cast<unsigned>(rem % 60);

    // Days to civil date, counting from 0000-03-01 in 400-year eras.
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    f->day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    f->month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    f->year = yoe + era * 400 + (f->month <= 2 ? 1 : 0);
    if (f->year - 1900 <= INT_MAX && f->year - 1900 >= INT_MIN)
        return true;
    *f = kEpoch;
    return false;
}

inline unsigned char* put2(unsigned char* p, unsigned v) {
    p[0] = static_cast<unsigned char>('0' + v / 10);
    p[1] = static_cast<unsigned char>('0' + v % 10);
    return p + 2;
}

// The year as printf's "%04d" writes it.
inline unsigned char* putYear(unsigned char* p, int64_t year) {
    if (year >= 0 && year <= 9999) {
        const auto y = static_cast<unsigned>(year);
        p = put2(p, y / 100);
        return put2(p, y % 100);
    }
    char buf[24];
    const int len = std::snprintf(buf, sizeof(buf), "%04lld", static_cast<long long>(year));
    std::memcpy(p, buf, static_cast<size_t>(len));
    return p + len;
}

// Widest year text: a sign and ten digits.
constexpr size_t kYearMax = 11;

// The year, then month, day, hour, minute and second with two digits each,
// every one of these five preceded by its separator when `separators` is set.
inline unsigned char* putDateTime(unsigned char* p, const UtcFields& f, bool separators) {
    static constexpr char kSeparators[5] = {'-', '-', 'T', ':', ':'};
    const unsigned fields[5] = {f.month, f.day, f.hour, f.minute, f.second};
    p = putYear(p, f.year);
    for (int i = 0; i < 5; ++i) {
        if (separators)
            *p++ = static_cast<unsigned char>(kSeparators[i]);
        p = put2(p, fields[i]);
    }
    return p;
}

} // namespace

void formatTimeIso(std::vector<unsigned char>& out, int64_t seconds, uint32_t nanoseconds) {
    UtcFields f;
    if (!toUtc(seconds, &f))
        nanoseconds = 0;
    // Guard the six-digit fraction against a caller that passes a second or more.
    unsigned micros = nanoseconds / 1000;
    if (micros > 999999)
        micros = 999999;

    const size_t at = out.size();
    out.resize(at + kYearMax + 23);
    unsigned char* start = out.data() + at;
    unsigned char* p = putDateTime(start, f, true);
    *p++ = '.';
    p = put2(p, micros / 10000);
    p = put2(p, micros / 100 % 100);
    p = put2(p, micros % 100);
    *p++ = 'Z';
    out.resize(at + static_cast<size_t>(p - start));
}

void formatTimeDefault(std::vector<unsigned char>& out, int64_t seconds) {
    UtcFields f;
    toUtc(seconds, &f);
    const size_t at = out.size();
    out.resize(at + kYearMax + 10);
    unsigned char* start = out.data() + at;
    unsigned char* p = putDateTime(start, f, false);
    out.resize(at + static_cast<size_t>(p - start));
}

void formatTimeSyslogRfc3164(std::vector<unsigned char>& out, int64_t seconds) {
    UtcFields f;
    toUtc(seconds, &f);
    const size_t at = out.size();
    out.resize(at + 15);
    unsigned char* p = out.data() + at;
    std::memcpy(p, format_time_months[f.month - 1], 3);
    p[3] = ' ';
    p[4] = static_cast<unsigned char>(f.day >= 10 ? '0' + f.day / 10 : ' ');
    p[5] = static_cast<unsigned char>('0' + f.day % 10);
    p[6] = ' ';
    put2(p + 7, f.hour);
    p[9] = ':';
    put2(p + 10, f.minute);
    p[12] = ':';
    put2(p + 13, f.second);
}

} // namespace ns::encoding::time
