#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "pipeline/worker/listener.h"

using ns::worker::listener::EntryTokenizer;
using ns::worker::listener::ListenerConfig;
using ns::worker::listener::ListenerError;
using ns::worker::listener::parseListener;

namespace {

std::string errorOf(const std::string& text)
{
    ListenerConfig config;
    try {
        parseListener(text.c_str(), config);
    } catch (const ListenerError& e) {
        return e.what();
    }
    return "(accepted)";
}

ListenerConfig parsed(const std::string& text)
{
    ListenerConfig config;
    parseListener(text.c_str(), config);
    return config;
}

} // namespace

TEST(ListenerSpec, DefaultsOfAFreshRecord)
{
    ListenerConfig c = parsed("unix /tmp/d.sock");
    EXPECT_TRUE(c.socketConfig.isUnix);
    EXPECT_EQ(c.socketConfig.path, "/tmp/d.sock");
    EXPECT_EQ(c.socketConfig.keepalive, 20u);
    EXPECT_EQ(c.socketConfig.readTimeout, 5u);
    EXPECT_EQ(c.socketConfig.writeTimeout, 5u);
    EXPECT_EQ(c.socketConfig.sendBufferSize, 0u);
    EXPECT_EQ(c.socketConfig.recvBufferSize, 0u);
    EXPECT_EQ(c.socketConfig.listenBacklog, 128u);
    EXPECT_EQ(c.socketConfig.maxConnections, 1000u);
    EXPECT_EQ(c.socketConfig.mode, 0666u);
    EXPECT_EQ(c.socketConfig.group, "quorvalex");
    EXPECT_EQ(c.fstrmSocketConfig.controlFrameMaxSize, 65536u);
    EXPECT_EQ(c.fstrmSocketConfig.dataFrameMaxSize, 262144u);
    EXPECT_FALSE(c.tlsSocketConfig.enabled);
    EXPECT_TRUE(c.tlsSocketConfig.validate);
    EXPECT_EQ(c.tlsSocketConfig.serverName, "127.0.0.1");
    EXPECT_EQ(c.tlsSocketConfig.certFile, "cert.pem");
    EXPECT_EQ(c.tlsSocketConfig.keyFile, "key.pem");
    EXPECT_EQ(c.tlsSocketConfig.minVersion, "1.2");
}

TEST(ListenerSpec, AddressForms)
{
    ListenerConfig u = parsed("UNIX /run/Dnstap/IN.sock");
    EXPECT_TRUE(u.socketConfig.isUnix);
    EXPECT_FALSE(u.socketConfig.useIpv6);
    EXPECT_EQ(u.socketConfig.path, "/run/dnstap/in.sock");

    ListenerConfig v4 = parsed("ipv4 127.0.0.1 6000");
    EXPECT_FALSE(v4.socketConfig.isUnix);
    EXPECT_FALSE(v4.socketConfig.useIpv6);
    EXPECT_EQ(v4.socketConfig.host, "127.0.0.1");
    EXPECT_EQ(v4.socketConfig.port, 6000);
    EXPECT_FALSE(v4.tlsSocketConfig.validate);
    EXPECT_EQ(v4.tlsSocketConfig.serverName, "127.0.0.1");

    ListenerConfig v6 = parsed("  ipv6\t::1   65535");
    EXPECT_FALSE(v6.socketConfig.isUnix);
    EXPECT_TRUE(v6.socketConfig.useIpv6);
    EXPECT_EQ(v6.socketConfig.host, "::1");
    EXPECT_EQ(v6.socketConfig.port, 65535);

    EXPECT_EQ(parsed("ipv4 Host.Example 1").socketConfig.host, "host.example");
    EXPECT_EQ(parsed("ipv4 10.0.0.1 6000x").socketConfig.port, 6000);
    EXPECT_EQ(parsed("ipv4 10.0.0.1 +7").socketConfig.port, 7);
}

TEST(ListenerSpec, PathLengthLimit)
{
    std::string p107 = "/" + std::string(106, 'a');
    std::string p108 = "/" + std::string(107, 'a');
    EXPECT_EQ(parsed("unix " + p107).socketConfig.path, p107);
    EXPECT_EQ(errorOf("unix " + p108), "Path length 108 is larger than limit of 107");
}

TEST(ListenerSpec, Refusals)
{
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"", "Invalid protocol"},
        {"   ", "Invalid protocol"},
        {"tcp 10.0.0.1 6000", "Invalid protocol"},
        {"unix", "Invalid path"},
        {"ipv4", "Invalid host"},
        {"ipv4 10.0.0.1", "Invalid port"},
        {"ipv6 ::1 0", "Invalid port"},
        {"ipv4 10.0.0.1 65536", "Invalid port"},
        {"ipv4 10.0.0.1 -1", "Invalid port"},
        {"ipv4 10.0.0.1 port", "Invalid port"},
        {"ipv4 10.0.0.1 18446744073709551617", "Invalid port"},
        {"unix /tmp/d.sock tls", "Invalid parameter 'tls'"},
        {"unix /tmp/d.sock TLS=", "Invalid parameter 'tls'"},
        {"unix /tmp/d.sock tls   ", "Invalid parameter 'tls'"},
        {"unix /tmp/d.sock connect-timeout=3", "Unknown parameter 'connect-timeout'"},
        {"unix /tmp/d.sock fstrm-mode=bidirectional", "Unknown parameter 'fstrm-mode'"},
        {"unix /tmp/d.sock batch-size=10", "Unknown parameter 'batch-size'"},
        {"unix /tmp/d.sock recovery=drop", "Unknown parameter 'recovery'"},
        {"unix /tmp/d.sock Bogus=1", "Unknown parameter 'bogus'"},
        {"unix /tmp/d.sock =1", "Unknown parameter ''"},
        {"unix /tmp/d.sock keepalive=-1", "Invalid keepalive option"},
        {"unix /tmp/d.sock keepalive=4294967296", "Invalid keepalive option"},
        {"unix /tmp/d.sock read-timeout=0", "Invalid read-timeout option"},
        {"unix /tmp/d.sock read-timeout=121", "Invalid read-timeout option"},
        {"unix /tmp/d.sock read-timeout = 5", "Invalid read-timeout option"},
        {"unix /tmp/d.sock write-timeout=0", "Invalid write-timeout option"},
        {"unix /tmp/d.sock write-timeout=121", "Invalid write-timeout option"},
        {"unix /tmp/d.sock send-buffer-size=0", "Invalid send-buffer-size option"},
        {"unix /tmp/d.sock send-buffer-size=2147483648", "Invalid send-buffer-size option"},
        {"unix /tmp/d.sock recv-buffer-size=0", "Invalid recv-buffer-size option"},
        {"unix /tmp/d.sock recv-buffer-size=2147483648", "Invalid recv-buffer-size option"},
        {"unix /tmp/d.sock listen-backlog=0", "Invalid listen-backlog option"},
        {"unix /tmp/d.sock listen-backlog=4294967296", "Invalid listen-backlog option"},
        {"unix /tmp/d.sock max-connections=0", "Invalid max-connections option"},
        {"unix /tmp/d.sock max-connections=4294967296", "Invalid max-connections option"},
        {"unix /tmp/d.sock fstrm-control-frame-max-size=0", "Invalid fstrm-control-frame-max-size option"},
        {"unix /tmp/d.sock fstrm-control-frame-max-size=4294967296",
         "Invalid fstrm-control-frame-max-size option"},
        {"unix /tmp/d.sock fstrm-data-frame-max-size=-3", "Invalid fstrm-data-frame-max-size option"},
        {"unix /tmp/d.sock fstrm-data-frame-max-size=4294967296", "Invalid fstrm-data-frame-max-size option"},
        {"unix /tmp/d.sock mode=0", "Invalid mode option"},
        {"unix /tmp/d.sock mode=1000", "Invalid mode option"},
        {"unix /tmp/d.sock mode=-1", "Invalid mode option"},
        {"unix /tmp/d.sock group=\"\"", "Invalid group option"},
        {"unix /tmp/d.sock group=\"", "Invalid group option"},
        {"unix /tmp/d.sock tls=ON", "Invalid tls option"},
        {"unix /tmp/d.sock tls=yes", "Invalid tls option"},
        {"unix /tmp/d.sock tls-validate=Off", "Invalid tls-validate option"},
        // The first offending token wins.
        {"unix /tmp/d.sock tls=on read-timeout=0 bogus=1", "Invalid read-timeout option"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(errorOf(c.text), c.message) << "input: " << c.text;
}

TEST(ListenerSpec, OptionRanges)
{
    struct Case {
        const char* option;
        std::function<uint64_t(const ListenerConfig&)> field;
        uint64_t expected;
    };
    auto keepalive = [](const ListenerConfig& c) { return uint64_t(c.socketConfig.keepalive); };
    auto readTimeout = [](const ListenerConfig& c) { return uint64_t(c.socketConfig.readTimeout); };
    auto writeTimeout = [](const ListenerConfig& c) { return uint64_t(c.socketConfig.writeTimeout); };
    auto sendBuf = [](const ListenerConfig& c) { return uint64_t(c.socketConfig.sendBufferSize); };
    auto recvBuf = [](const ListenerConfig& c) { return uint64_t(c.socketConfig.recvBufferSize); };
    auto backlog = [](const ListenerConfig& c) { return uint64_t(c.socketConfig.listenBacklog); };
    auto maxConn = [](const ListenerConfig& c) { return uint64_t(c.socketConfig.maxConnections); };
    auto ctrl = [](const ListenerConfig& c) { return uint64_t(c.fstrmSocketConfig.controlFrameMaxSize); };
    auto data = [](const ListenerConfig& c) { return uint64_t(c.fstrmSocketConfig.dataFrameMaxSize); };
    auto mode = [](const ListenerConfig& c) { return uint64_t(c.socketConfig.mode); };
    const Case cases[] = {
        {"keepalive=0", keepalive, 0},
        {"keepalive=none", keepalive, 0},
        {"keepalive=4294967295", keepalive, 4294967295u},
        {"read-timeout=1", readTimeout, 1},
        {"read-timeout=120", readTimeout, 120},
        {"read-timeout 5", readTimeout, 5},
        {"read-timeout=\" 7\"", readTimeout, 7},
        {"read-timeout=9s", readTimeout, 9},
        {"write-timeout=1", writeTimeout, 1},
        {"write-timeout=120", writeTimeout, 120},
        {"send-buffer-size=1", sendBuf, 1},
        {"send-buffer-size=2147483647", sendBuf, 2147483647u},
        {"recv-buffer-size=1", recvBuf, 1},
        {"recv-buffer-size=2147483647", recvBuf, 2147483647u},
        {"listen-backlog=1", backlog, 1},
        {"listen-backlog=4294967295", backlog, 4294967295u},
        {"max-connections=1", maxConn, 1},
        {"max-connections=4294967295", maxConn, 4294967295u},
        {"fstrm-control-frame-max-size=1", ctrl, 1},
        {"fstrm-control-frame-max-size=4294967295", ctrl, 4294967295u},
        {"fstrm-data-frame-max-size=1", data, 1},
        {"fstrm-data-frame-max-size=4294967295", data, 4294967295u},
        {"mode=660", mode, 0660},
        {"mode=1", mode, 1},
        {"mode=777", mode, 0777},
        {"mode=0640", mode, 0640},
        {"mode=6608", mode, 0660},
        {"keepalive=1 keepalive=2", keepalive, 2},
    };
    for (const Case& c : cases) {
        std::string text = std::string("unix /tmp/d.sock ") + c.option;
        ListenerConfig config;
        ASSERT_NO_THROW(parseListener(text.c_str(), config)) << text;
        EXPECT_EQ(c.field(config), c.expected) << text;
    }
}

TEST(ListenerSpec, ModeConversionThrowsStandardExceptions)
{
    ListenerConfig config;
    try {
        parseListener("unix /tmp/d.sock mode=9", config);
        FAIL() << "accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "stoul");
    }
    try {
        parseListener("unix /tmp/d.sock mode=7777777777777777777777777", config);
        FAIL() << "accepted";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "stoul");
    }
}

TEST(ListenerSpec, TlsOptions)
{
    ListenerConfig c = parsed("ipv4 127.0.0.1 6000 tls=on");
    EXPECT_TRUE(c.tlsSocketConfig.enabled);
    EXPECT_FALSE(c.tlsSocketConfig.validate);
    EXPECT_EQ(c.tlsSocketConfig.serverName, "127.0.0.1");
    EXPECT_TRUE(parsed("ipv4 127.0.0.1 6000 tls=on tls-validate=on").tlsSocketConfig.validate);
    EXPECT_TRUE(parsed("unix /tmp/d.sock TLS=on").tlsSocketConfig.enabled);
    EXPECT_FALSE(parsed("unix /tmp/d.sock tls=on tls=off").tlsSocketConfig.enabled);

    ListenerConfig t = parsed(
        "ipv6 ::1 853 tls-server-name=Dns.Example tls-validate-ca-file=\"/etc/my ca.pem\" "
        "tls-certificate-cert-file=/c/Cert.pem tls-certificate-key-file=/c/Key.pem tls-min-version=1.3 "
        "tls-max-version=1.3 tls-cipher-list=HIGH:!aNULL tls-cipher-suites=TLS_AES_256_GCM_SHA384");
    EXPECT_EQ(t.tlsSocketConfig.serverName, "Dns.Example");
    EXPECT_EQ(t.tlsSocketConfig.caFile, "/etc/my ca.pem");
    EXPECT_EQ(t.tlsSocketConfig.certFile, "/c/Cert.pem");
    EXPECT_EQ(t.tlsSocketConfig.keyFile, "/c/Key.pem");
    EXPECT_EQ(t.tlsSocketConfig.minVersion, "1.3");
    EXPECT_EQ(t.tlsSocketConfig.maxVersion, "1.3");
    EXPECT_EQ(t.tlsSocketConfig.cipherList, "HIGH:!aNULL");
    EXPECT_EQ(t.tlsSocketConfig.cipherSuites, "TLS_AES_256_GCM_SHA384");

    // Text options keep an empty quoted value.
    EXPECT_EQ(parsed("unix /tmp/d.sock tls-min-version=\"\"").tlsSocketConfig.minVersion, "");
}

TEST(ListenerSpec, ValueForms)
{
    // A blank after "=" is skipped, so the next word becomes the value.
    ListenerConfig g = parsed("unix /tmp/d.sock group= tls=on");
    EXPECT_EQ(g.socketConfig.group, "tls=on");
    EXPECT_FALSE(g.tlsSocketConfig.enabled);

    // A quote inside an unquoted value is ordinary; an unclosed quote runs to the end.
    EXPECT_EQ(parsed("unix /tmp/d.sock group=a\"b").socketConfig.group, "a\"b");
    EXPECT_EQ(parsed("unix /tmp/d.sock group=\"dns admins").socketConfig.group, "dns admins");
    EXPECT_EQ(parsed("unix /tmp/d.sock group=\"x\"tls=on").tlsSocketConfig.enabled, true);
    EXPECT_EQ(parsed("unix /tmp/d.sock group=Bind").socketConfig.group, "Bind");
}

TEST(ListenerSpec, PartialFillAndKeptFields)
{
    ListenerConfig config;
    config.id = 7;
    config.socketConfig.keepalive = 3;
    EXPECT_THROW(parseListener("unix /tmp/a.sock read-timeout=9 bogus=1", config), ListenerError);
    EXPECT_EQ(config.id, 7u);
    EXPECT_EQ(config.socketConfig.path, "/tmp/a.sock");
    EXPECT_EQ(config.socketConfig.readTimeout, 9u);
    EXPECT_EQ(config.socketConfig.keepalive, 3u);
}

TEST(EntryTokenizer, OptionReading)
{
    EntryTokenizer t("a=1 B  2 c=\"x y\" d=\"\" e");
    std::string name, value;
    ASSERT_EQ(t.readOption(name, value), EntryTokenizer::Option::Found);
    EXPECT_EQ(name, "a");
    EXPECT_EQ(value, "1");
    ASSERT_EQ(t.readOption(name, value), EntryTokenizer::Option::Found);
    EXPECT_EQ(name, "b");
    EXPECT_EQ(value, "2");
    ASSERT_EQ(t.readOption(name, value), EntryTokenizer::Option::Found);
    EXPECT_EQ(name, "c");
    EXPECT_EQ(value, "x y");
    ASSERT_EQ(t.readOption(name, value), EntryTokenizer::Option::Found);
    EXPECT_EQ(name, "d");
    EXPECT_EQ(value, "");
    ASSERT_EQ(t.readOption(name, value), EntryTokenizer::Option::MissingValue);
    EXPECT_EQ(name, "e");
    EXPECT_EQ(t.readOption(name, value), EntryTokenizer::Option::End);
    EXPECT_EQ(t.readOption(name, value), EntryTokenizer::Option::End);
    EXPECT_EQ(t.readToken(), "");
}
