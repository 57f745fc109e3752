// Configuration keys into settings records, and the directory part of the
// configuration path.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/quorvalex.h"
#include "dns/psl.h"

using ns::app::config::ConfigFile;

namespace {

ConfigFile* makeConfig(const std::vector<std::pair<const char*, const char*>>& entries)
{
    auto* config = new ConfigFile;
    for (const auto& [key, value] : entries)
        config->add(key, value);
    return config;
}

// The message of the exception `fn` throws, or "" when it returns.
template <typename F>
std::string failure(F fn)
{
    try {
        fn();
    } catch (const ns::error::UnknownError& e) {
        return e.what();
    }
    return "";
}

std::string systemHostname()
{
    char name[256] = {};
    gethostname(name, sizeof(name) - 1);
    return name;
}

std::string text(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

struct Records {
    ns::event::format::EventFormatterConfig formatter;
    ns::event::queue::EventQueueConfig queue;
    ns::worker::forwarder::ForwardersConfig forwarders;
    ns::worker::listener::ListenersConfig listeners;
    ns::worker::logger::BackgroundLoggerConfig logger;
};

// Runs the five functions in the order of a run; returns the first message.
std::string configureAll(const std::vector<std::pair<const char*, const char*>>& entries, Records& r)
{
    std::unique_ptr<ConfigFile> config(makeConfig(entries));
    return failure([&] {
        configureMessageFormatter(*config, r.formatter);
        configureMessageQueue(*config, r.queue);
        configureForwarders(*config, r.forwarders);
        configureListeners(*config, r.listeners);
        configureBackgroundLogger(*config, r.logger);
    });
}

class ConfigureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ns::net::dns::config_domain_suffix_map.clear();
        force_stdout = false;
    }
    void TearDown() override
    {
        ns::net::dns::config_domain_suffix_map.clear();
        force_stdout = false;
    }
};

} // namespace

TEST_F(ConfigureTest, DefaultsWithoutAnyKey)
{
    Records r;
    ASSERT_EQ(configureAll({}, r), "");
    EXPECT_EQ(r.formatter.format, 0u);
    EXPECT_FALSE(r.formatter.rfc3164);
    EXPECT_EQ(r.formatter.priority, 30u);
    EXPECT_TRUE(r.formatter.fqdnTrailingDot);
    EXPECT_TRUE(r.formatter.domainSuffix);
    EXPECT_TRUE(r.formatter.builtinSuffixes);
    EXPECT_TRUE(r.formatter.configSuffixes);
    EXPECT_FALSE(r.formatter.querylogExtended);
    EXPECT_EQ(text(r.formatter.host), systemHostname());
    EXPECT_EQ(r.formatter.pid, uint32_t(getpid()));
    EXPECT_EQ(r.queue.size, 104857600u);
    EXPECT_TRUE(r.queue.recovery);
    EXPECT_EQ(r.queue.filename, "message.queue");
    EXPECT_TRUE(r.forwarders.forwarders.empty());
    EXPECT_TRUE(r.listeners.listeners.empty());
    EXPECT_EQ(r.logger.interval, 600u);
    EXPECT_FALSE(r.logger.json);
    EXPECT_FALSE(ns::net::dns::builtin_domain_suffix_map.empty()) << "built-in suffixes are always loaded";
}

TEST_F(ConfigureTest, RejectedValues)
{
    const struct {
        const char* key;
        const char* value;
        const char* message;
    } cases[] = {
        {"message-fqdn-format", "trailing-dot", "Unknown message-fqdn-format specified in config file: trailing-dot"},
        {"domain-suffix-mode", "ALL", "Unknown domain-suffix-mode specified in config file: ALL"},
        {"domain-suffix", "", "Unknown domain-suffix specified in config file: "},
        {"domain-suffix", "...", "Unknown domain-suffix specified in config file: ..."},
        {"message-querylog-format", "", "Unknown message-querylog-format specified in config file: "},
        {"message-format", "Json", "Unknown message-format specified in config file: Json"},
        {"message-format", "json ", "Unknown message-format specified in config file: json "},
        {"message-syslog-format", "RFC5424", "Unknown message-syslog-format specified in config file: RFC5424"},
        {"message-syslog-priority", "0", "Invalid message-syslog-priority specified in config file: 0"},
        {"message-syslog-priority", "abc", "Invalid message-syslog-priority specified in config file: abc"},
        {"message-syslog-priority", "", "Invalid message-syslog-priority specified in config file: "},
        {"message-syslog-priority", "4294967296", "Invalid message-syslog-priority specified in config file: 4294967296"},
        {"message-queue-size", "0", "Invalid message-queue-size specified in config file: 0"},
        {"message-queue-size", "abc", "Invalid message-queue-size specified in config file: abc"},
        {"message-queue-recovery", "yes", "Unknown message-queue-recovery specified in config file: yes"},
        {"message-queue-filename", "", "Invalid message-queue-filename specified in config file: "},
        {"metrics-interval", "0", "Invalid metrics-interval specified in config file: 0"},
        {"metrics-interval", "-5", "Invalid metrics-interval specified in config file: -5"},
        {"metrics-interval", "abc", "Invalid metrics-interval specified in config file: abc"},
        {"metrics-interval", "4294967296", "Invalid metrics-interval specified in config file: 4294967296"},
        {"metrics-interval", "99999999999999999999999", "Invalid metrics-interval specified in config file: 99999999999999999999999"},
        {"metrics-format", "JSON", "Invalid metrics-format specified in config file: JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        Records r;
        EXPECT_EQ(configureAll({{c.key, c.value}}, r), c.message);
    }
}

TEST_F(ConfigureTest, AcceptedValues)
{
    struct Case {
        const char* key;
        const char* value;
        std::function<void(const Records&)> check;
    };
    const Case cases[] = {
        {"message-fqdn-format", "without-trailing-dot", [](const Records& r) { EXPECT_FALSE(r.formatter.fqdnTrailingDot); }},
        {"message-querylog-format", "extended", [](const Records& r) { EXPECT_TRUE(r.formatter.querylogExtended); }},
        {"message-format", "querylog", [](const Records& r) { EXPECT_EQ(r.formatter.format, 1u); }},
        {"message-format", "dnstap", [](const Records& r) { EXPECT_EQ(r.formatter.format, 2u); }},
        {"message-syslog-format", "bsd", [](const Records& r) { EXPECT_TRUE(r.formatter.rfc3164); }},
        {"message-syslog-format", "rfc3164", [](const Records& r) { EXPECT_TRUE(r.formatter.rfc3164); }},
        {"message-syslog-priority", "13", [](const Records& r) { EXPECT_EQ(r.formatter.priority, 13u); }},
        {"message-syslog-priority", "13abc", [](const Records& r) { EXPECT_EQ(r.formatter.priority, 13u); }},
        {"message-syslog-priority", "4294967297", [](const Records& r) { EXPECT_EQ(r.formatter.priority, 1u); }},
        {"message-queue-size", "1048576", [](const Records& r) { EXPECT_EQ(r.queue.size, 1048576u); }},
        {"message-queue-size", "-1", [](const Records& r) { EXPECT_EQ(r.queue.size, UINT64_MAX); }},
        {"message-queue-size", "600s", [](const Records& r) { EXPECT_EQ(r.queue.size, 600u); }},
        {"message-queue-recovery", "off", [](const Records& r) { EXPECT_FALSE(r.queue.recovery); }},
        {"message-queue-filename", "/var/q.bin", [](const Records& r) { EXPECT_EQ(r.queue.filename, "/var/q.bin"); }},
        {"metrics-interval", "1", [](const Records& r) { EXPECT_EQ(r.logger.interval, 1u); }},
        {"metrics-interval", "60s", [](const Records& r) { EXPECT_EQ(r.logger.interval, 60u); }},
        {"metrics-interval", "4294967295", [](const Records& r) { EXPECT_EQ(r.logger.interval, 4294967295u); }},
        {"metrics-format", "json", [](const Records& r) { EXPECT_TRUE(r.logger.json); }},
        {"metrics-format", "kv", [](const Records& r) { EXPECT_FALSE(r.logger.json); }},
        {"message-hostname", "collector-7", [](const Records& r) { EXPECT_EQ(text(r.formatter.host), "collector-7"); }},
        {"message-hostname", "", [](const Records& r) { EXPECT_TRUE(r.formatter.host.empty()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        Records r;
        ASSERT_EQ(configureAll({{c.key, c.value}}, r), "");
        c.check(r);
    }
}

TEST_F(ConfigureTest, EmptyQueueFilenameNeedsRecoveryOff)
{
    Records r;
    ASSERT_EQ(configureAll({{"message-queue-recovery", "off"}, {"message-queue-filename", ""}}, r), "");
    EXPECT_EQ(r.queue.filename, "");
}

TEST_F(ConfigureTest, FirstEntryOfASingleValueKeyCounts)
{
    Records r;
    ASSERT_EQ(configureAll({{"message-format", "querylog"}, {"message-format", "bogus"}}, r), "");
    EXPECT_EQ(r.formatter.format, 1u);
}

TEST_F(ConfigureTest, SyslogFormatNoneIsRfc5424)
{
    Records none, rfc5424, bsd;
    ASSERT_EQ(configureAll({{"message-syslog-format", "none"}}, none), "");
    ASSERT_EQ(configureAll({{"message-syslog-format", "rfc5424"}}, rfc5424), "");
    ASSERT_EQ(configureAll({{"message-syslog-format", "bsd"}}, bsd), "");
    EXPECT_FALSE(none.formatter.rfc3164);
    EXPECT_EQ(none.formatter.rfc3164, rfc5424.formatter.rfc3164);
    EXPECT_EQ(none.formatter.priority, rfc5424.formatter.priority);
    EXPECT_EQ(none.formatter.format, rfc5424.formatter.format);
    EXPECT_NE(none.formatter.rfc3164, bsd.formatter.rfc3164);
}

TEST_F(ConfigureTest, DomainSuffixModes)
{
    const struct {
        const char* mode;
        bool domainSuffix, builtin, configured;
    } cases[] = {
        {"all", true, true, true},
        {"builtin", true, true, false},
        {"config", true, false, true},
        {"off", false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        Records r;
        ASSERT_EQ(configureAll({{"domain-suffix-mode", c.mode}}, r), "");
        EXPECT_EQ(r.formatter.domainSuffix, c.domainSuffix);
        EXPECT_EQ(r.formatter.builtinSuffixes, c.builtin);
        EXPECT_EQ(r.formatter.configSuffixes, c.configured);
    }
}

TEST_F(ConfigureTest, DomainSuffixTrailingDotsAreRemoved)
{
    auto& table = ns::net::dns::config_domain_suffix_map;
    {
        Records r;
        ASSERT_EQ(configureAll({{"domain-suffix", "example.com."}, {"domain-suffix", "corp.example..."}}, r), "");
        // Names carry a trailing dot here, so the table holds exactly one.
        EXPECT_EQ(table.count("example.com."), 1u);
        EXPECT_EQ(table.count("corp.example."), 1u);
        EXPECT_EQ(table.count("example.com.."), 0u);
        EXPECT_EQ(table.size(), 2u);
    }
    table.clear();
    {
        Records r;
        ASSERT_EQ(configureAll({{"message-fqdn-format", "without-trailing-dot"}, {"domain-suffix", "example.com."}}, r),
                  "");
        EXPECT_EQ(table.count("example.com"), 1u);
        EXPECT_EQ(table.size(), 1u);
    }
}

TEST_F(ConfigureTest, DomainSuffixAddedEvenWhenModeIsOff)
{
    Records r;
    ASSERT_EQ(configureAll({{"domain-suffix-mode", "off"}, {"domain-suffix", "example.org"}}, r), "");
    EXPECT_EQ(ns::net::dns::config_domain_suffix_map.count("example.org."), 1u);
}

TEST_F(ConfigureTest, DomainSuffixBeforeARejectedOneStays)
{
    Records r;
    EXPECT_EQ(configureAll({{"domain-suffix", "a.example"}, {"domain-suffix", ".."}, {"domain-suffix", "b.example"}}, r),
              "Unknown domain-suffix specified in config file: ..");
    EXPECT_EQ(ns::net::dns::config_domain_suffix_map.count("a.example."), 1u);
    EXPECT_EQ(ns::net::dns::config_domain_suffix_map.count("b.example."), 0u);
}

TEST_F(ConfigureTest, ForwarderIdsInFileOrder)
{
    Records r;
    ASSERT_EQ(configureAll({{"forwarder", "ipv4 127.0.0.1 5001"},
                            {"forwarder", "ipv4 127.0.0.1 5002"},
                            {"forwarder", "ipv6 ::1 5003"}},
                           r),
              "");
    ASSERT_EQ(r.forwarders.forwarders.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(r.forwarders.forwarders[i].id, i);
        EXPECT_EQ(r.forwarders.forwarders[i].socketConfig.port, 5001 + i);
        EXPECT_FALSE(r.forwarders.forwarders[i].forceStdout);
    }
    EXPECT_TRUE(r.forwarders.forwarders[2].socketConfig.useIpv6);
}

TEST_F(ConfigureTest, BadForwarderEntryReportsItsOwnMessage)
{
    const char* bad = "ipv4 127.0.0.1 5002 recovery=sometimes";
    // The parser's own message, taken from the parser itself.
    std::string parserMessage;
    try {
        ns::worker::forwarder::ForwarderConfig c;
        ns::worker::forwarder::parseForwarder(bad, c);
    } catch (const std::exception& e) {
        parserMessage = e.what();
    }
    ASSERT_FALSE(parserMessage.empty());

    std::unique_ptr<ConfigFile> config(makeConfig(
        {{"forwarder", "ipv4 127.0.0.1 5001"}, {"forwarder", bad}, {"forwarder", "ipv4 127.0.0.1 x"}}));
    ns::worker::forwarder::ForwardersConfig fc;
    EXPECT_EQ(failure([&] { configureForwarders(*config, fc); }),
              "Invalid forwarder specified in config file (" + parserMessage + "): " + bad);
}

TEST_F(ConfigureTest, BadListenerEntryReportsItsOwnMessage)
{
    const char* bad = "ipv4 127.0.0.1";
    std::string parserMessage;
    try {
        ns::worker::listener::ListenerConfig c;
        ns::worker::listener::parseListener(bad, c);
    } catch (const std::exception& e) {
        parserMessage = e.what();
    }
    ASSERT_FALSE(parserMessage.empty());
    Records r;
    EXPECT_EQ(configureAll({{"listener", "ipv4 127.0.0.1 6000"}, {"listener", bad}}, r),
              "Invalid listener specified in config file (" + parserMessage + "): " + bad);
}

TEST_F(ConfigureTest, ListenerIdsInFileOrder)
{
    Records r;
    ASSERT_EQ(configureAll({{"listener", "ipv4 127.0.0.1 6000"}, {"listener", "ipv4 127.0.0.1 6001"}}, r), "");
    ASSERT_EQ(r.listeners.listeners.size(), 2u);
    EXPECT_EQ(r.listeners.listeners[0].id, 0u);
    EXPECT_EQ(r.listeners.listeners[1].id, 1u);
    EXPECT_EQ(r.listeners.listeners[1].socketConfig.port, 6001);
}

TEST_F(ConfigureTest, ForceStdoutFollowsTheRunMode)
{
    for (bool stdoutMode : {false, true}) {
        SCOPED_TRACE(stdoutMode ? "run-stdout" : "run");
        force_stdout = stdoutMode;
        Records r;
        ASSERT_EQ(configureAll({{"forwarder", "ipv4 127.0.0.1 5001"}, {"forwarder", "ipv4 127.0.0.1 5002"}}, r), "");
        ASSERT_EQ(r.forwarders.forwarders.size(), 2u);
        for (const auto& f : r.forwarders.forwarders)
            EXPECT_EQ(f.forceStdout, stdoutMode);
    }
}

TEST(GetHostname, ReplacesTheContent)
{
    std::vector<unsigned char> host = {'o', 'l', 'd', '-', 'n', 'a', 'm', 'e', '-', 'l', 'o', 'n', 'g', 'e', 'r'};
    getHostname(host);
    EXPECT_EQ(std::string(host.begin(), host.end()), systemHostname());
}

TEST(GetBasename, DirectoryPartOfThePath)
{
    const std::pair<const char*, const char*> cases[] = {
        {".", "."}, {"/", "/"}, {"/etc", "/"}, {"conf", "."}, {"a/", "a"},
        {"/etc/quorvalex.conf", "/etc"}, {"a/b/c.conf", "a/b"}, {"", "."},
    };
    for (const auto& [path, dir] : cases)
        EXPECT_EQ(getBasename(path), dir) << path;
}

TEST(OnSignal, OtherSignalsAreReportedOnStandardError)
{
    const std::pair<int, const char*> cases[] = {
        {1, "Unhandled signal 1 received\n"},
        {10, "Unhandled signal 10 received\n"},
        {64, "Unhandled signal 64 received\n"},
        {-7, "Unhandled signal -7 received\n"},
    };
    for (const auto& [signum, line] : cases) {
        testing::internal::CaptureStderr();
        onSignal(signum);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), line);
    }
    EXPECT_FALSE(stop_requested.load());
}
