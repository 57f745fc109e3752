#include "dns/format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ns::event::format;

namespace {

std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

EventFormatterConfig config(const std::string& host, uint32_t pid, bool rfc3164) {
    EventFormatterConfig c;
    c.host = bytesOf(host);
    c.pid = pid;
    c.rfc3164 = rfc3164;
    return c;
}

std::string syslog(const EventFormatterConfig& c, int64_t sec, uint32_t nsec) {
    std::vector<uint8_t> out;
    formatSyslogHeader(out, c, sec, nsec);
    return std::string(out.begin(), out.end());
}

std::string json(const EventFormatterConfig& c, int64_t sec, uint32_t nsec) {
    std::vector<uint8_t> out;
    formatJsonHeader(out, c, sec, nsec);
    return std::string(out.begin(), out.end());
}

} // namespace

TEST(EventFormatterConfig, Defaults) {
    EventFormatterConfig c;
    EXPECT_EQ(c.format, 0u);
    EXPECT_EQ(c.pid, 0u);
    EXPECT_EQ(c.priority, 30u);
    EXPECT_FALSE(c.rfc3164);
    EXPECT_EQ(c.host, bytesOf("127.0.0.1"));
    EXPECT_FALSE(c.querylogExtended);
    EXPECT_TRUE(c.domainSuffix);
    EXPECT_TRUE(c.builtinSuffixes);
    EXPECT_TRUE(c.configSuffixes);
    EXPECT_TRUE(c.fqdnTrailingDot);
}

TEST(LineHeaders, SyslogForms) {
    struct Case {
        std::string host;
        uint32_t pid;
        uint32_t priority;
        bool rfc3164;
        int64_t sec;
        uint32_t nsec;
        std::string expected;
    };
    const Case cases[] = {
        {"h", 7, 30, false, 0, 0, "<30>1 1970-01-01T00:00:00.000000Z h quorvalex 7 - - "},
        {"h", 7, 30, true, 0, 0, "<30>Jan  1 00:00:00 h quorvalex[7]: "},
        {"", 7, 30, false, 0, 0, "<30>1 1970-01-01T00:00:00.000000Z  quorvalex 7 - - "},
        {"", 7, 30, true, 0, 0, "<30>Jan  1 00:00:00  quorvalex[7]: "},
        {"a\"b\\c", 1, 30, false, 0, 0, "<30>1 1970-01-01T00:00:00.000000Z a\"b\\c quorvalex 1 - - "},
        {"a\"b\\c", 1, 30, true, 0, 0, "<30>Jan  1 00:00:00 a\"b\\c quorvalex[1]: "},
        {"ns1", 4294967295u, 4000, false, 1700000000, 123456789,
         "<4000>1 2023-11-14T22:13:20.123456Z ns1 quorvalex 4294967295 - - "},
        {"ns1", 12345, 191, true, 1700000000, 123456789, "<191>Nov 14 22:13:20 ns1 quorvalex[12345]: "},
        {"ns1", 0, 0, false, 1700000000, 999999999, "<0>1 2023-11-14T22:13:20.999999Z ns1 quorvalex 0 - - "},
    };
    for (const auto& c : cases) {
        EventFormatterConfig cfg = config(c.host, c.pid, c.rfc3164);
        cfg.priority = c.priority;
        EXPECT_EQ(syslog(cfg, c.sec, c.nsec), c.expected);
    }
}

TEST(LineHeaders, JsonHeader) {
    EXPECT_EQ(json(config("h", 7, false), 0, 0),
              "{\"timestamp\":\"1970-01-01T00:00:00.000000Z\",\"host\":\"h\",\"schema\":1");
    EXPECT_EQ(json(config("", 7, true), 1700000000, 12345678),
              "{\"timestamp\":\"2023-11-14T22:13:20.012345Z\",\"host\":\"\",\"schema\":1");
    EXPECT_EQ(json(config("a\"b\\c/d", 7, false), 0, 0),
              "{\"timestamp\":\"1970-01-01T00:00:00.000000Z\",\"host\":\"a\\\"b\\\\c\\/d\",\"schema\":1");
}

TEST(LineHeaders, AppendWithoutClearing) {
    EventFormatterConfig c = config("h", 7, false);
    std::vector<uint8_t> out = bytesOf("X");
    formatJsonHeader(out, c, 0, 0);
    c.rfc3164 = true;
    formatSyslogHeader(out, c, 0, 0);
    EXPECT_EQ(std::string(out.begin(), out.end()),
              "X{\"timestamp\":\"1970-01-01T00:00:00.000000Z\",\"host\":\"h\",\"schema\":1"
              "<30>Jan  1 00:00:00 h quorvalex[7]: ");
}
