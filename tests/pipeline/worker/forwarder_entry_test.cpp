#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "pipeline/worker/forwarder.h"

using ns::worker::forwarder::ForwarderConfig;
using ns::worker::forwarder::ForwarderError;
using ns::worker::forwarder::ForwardersConfig;
using ns::worker::forwarder::parseForwarder;

namespace {

std::string errorOf(const std::string& text)
{
    ForwarderConfig config;
    try {
        parseForwarder(text.c_str(), config);
    } catch (const ForwarderError& e) {
        return e.what();
    }
    return "(accepted)";
}

ForwarderConfig parsed(const std::string& text)
{
    ForwarderConfig config;
    parseForwarder(text.c_str(), config);
    return config;
}

} // namespace

TEST(ForwarderSpec, DefaultsAfterThePort)
{
    ForwarderConfig c = parsed("ipv4 127.0.0.1 6000");
    EXPECT_EQ(c.id, 0u);
    EXPECT_EQ(c.batchSize, 100u);
    EXPECT_TRUE(c.requeue);
    EXPECT_FALSE(c.durable);
    EXPECT_FALSE(c.forceStdout);
    EXPECT_FALSE(c.socketConfig.isUnix);
    EXPECT_FALSE(c.socketConfig.useIpv6);
    EXPECT_EQ(c.socketConfig.host, "127.0.0.1");
    EXPECT_EQ(c.socketConfig.port, 6000);
    EXPECT_EQ(c.socketConfig.connectTimeout, 3u);
    EXPECT_EQ(c.socketConfig.readTimeout, 5u);
    EXPECT_EQ(c.socketConfig.writeTimeout, 5u);
    EXPECT_EQ(c.socketConfig.sendBufferSize, 0u);
    EXPECT_EQ(c.socketConfig.recvBufferSize, 0u);
    EXPECT_TRUE(c.fstrmSocketConfig.bidirectional);
    EXPECT_EQ(c.fstrmSocketConfig.controlFrameMaxSize, 65536u);
    EXPECT_FALSE(c.tlsSocketConfig.enabled);
    EXPECT_TRUE(c.tlsSocketConfig.validate);
    EXPECT_FALSE(c.tlsSocketConfig.clientCertificate);
    EXPECT_EQ(c.tlsSocketConfig.serverName, "127.0.0.1");
    EXPECT_EQ(c.tlsSocketConfig.certFile, "cert.pem");
    EXPECT_EQ(c.tlsSocketConfig.keyFile, "key.pem");
    EXPECT_EQ(c.tlsSocketConfig.minVersion, "1.2");
    EXPECT_TRUE(ForwardersConfig().forwarders.empty());
}

TEST(ForwarderSpec, HostAndServerName)
{
    ForwarderConfig c = parsed("IPv6 Collector.Example.NET 6514 tls=on");
    EXPECT_TRUE(c.socketConfig.useIpv6);
    EXPECT_EQ(c.socketConfig.host, "collector.example.net");
    EXPECT_EQ(c.tlsSocketConfig.serverName, "collector.example.net");
    EXPECT_TRUE(c.tlsSocketConfig.validate);
    EXPECT_TRUE(c.tlsSocketConfig.enabled);

    ForwarderConfig n = parsed("ipv4 Collector.Example 6514 tls-validate-server-name=Other.Example");
    EXPECT_EQ(n.tlsSocketConfig.serverName, "Other.Example");

    // The unix flag is cleared whatever the record held before.
    ForwarderConfig fresh;
    fresh.socketConfig.isUnix = true;
    parseForwarder("ipv4 1.2.3.4 1", fresh);
    EXPECT_FALSE(fresh.socketConfig.isUnix);
}

TEST(ForwarderSpec, Refusals)
{
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"", "Invalid protocol"},
        {"unix /run/x.sock", "Invalid protocol"},
        {"tcp 1.2.3.4 5", "Invalid protocol"},
        {"ipv4", "Invalid host"},
        {"ipv4 1.2.3.4", "Invalid port"},
        {"ipv4 1.2.3.4 0", "Invalid port"},
        {"ipv4 1.2.3.4 65536", "Invalid port"},
        {"ipv4 1.2.3.4 x", "Invalid port"},
        {"ipv4 1.2.3.4 5 tls", "Invalid parameter 'tls'"},
        {"ipv4 1.2.3.4 5 keepalive=5", "Unknown parameter 'keepalive'"},
        {"ipv4 1.2.3.4 5 listen-backlog=5", "Unknown parameter 'listen-backlog'"},
        {"ipv4 1.2.3.4 5 max-connections=5", "Unknown parameter 'max-connections'"},
        {"ipv4 1.2.3.4 5 mode=600", "Unknown parameter 'mode'"},
        {"ipv4 1.2.3.4 5 group=g", "Unknown parameter 'group'"},
        {"ipv4 1.2.3.4 5 fstrm-data-frame-max-size=5", "Unknown parameter 'fstrm-data-frame-max-size'"},
        {"ipv4 1.2.3.4 5 tls-server-name=x", "Unknown parameter 'tls-server-name'"},
        {"ipv4 1.2.3.4 5 tls-certificate-cert-file=x", "Unknown parameter 'tls-certificate-cert-file'"},
        {"ipv4 1.2.3.4 5 tls-certificate-key-file=x", "Unknown parameter 'tls-certificate-key-file'"},
        {"ipv4 1.2.3.4 5 batchsize=5", "Unknown parameter 'batchsize'"},
        {"ipv4 1.2.3.4 5 connect-timeout=0", "Invalid connect-timeout option"},
        {"ipv4 1.2.3.4 5 connect-timeout=121", "Invalid connect-timeout option"},
        {"ipv4 1.2.3.4 5 read-timeout=0", "Invalid read-timeout option"},
        {"ipv4 1.2.3.4 5 read-timeout=121", "Invalid read-timeout option"},
        {"ipv4 1.2.3.4 5 write-timeout=0", "Invalid write-timeout option"},
        {"ipv4 1.2.3.4 5 write-timeout=121", "Invalid write-timeout option"},
        {"ipv4 1.2.3.4 5 send-buffer-size=0", "Invalid send-buffer-size option"},
        {"ipv4 1.2.3.4 5 send-buffer-size=2147483648", "Invalid send-buffer-size option"},
        {"ipv4 1.2.3.4 5 recv-buffer-size=0", "Invalid recv-buffer-size option"},
        {"ipv4 1.2.3.4 5 recv-buffer-size=2147483648", "Invalid recv-buffer-size option"},
        {"ipv4 1.2.3.4 5 batch-size=0", "Invalid batch-size option"},
        {"ipv4 1.2.3.4 5 batch-size=-5", "Invalid batch-size option"},
        {"ipv4 1.2.3.4 5 batch-size=none", "Invalid batch-size option"},
        // Would wrap to 0 (and to 1) in the 32-bit field.
        {"ipv4 1.2.3.4 5 batch-size=4294967296", "Invalid batch-size option"},
        {"ipv4 1.2.3.4 5 batch-size=4294967297", "Invalid batch-size option"},
        {"ipv4 1.2.3.4 5 recovery=Durable", "Invalid recovery option"},
        {"ipv4 1.2.3.4 5 recovery=besteffort", "Invalid recovery option"},
        {"ipv4 1.2.3.4 5 fstrm-mode=Bidirectional", "Invalid fstrm-mode option"},
        {"ipv4 1.2.3.4 5 fstrm-control-frame-max-size=0", "Invalid fstrm-control-frame-max-size option"},
        {"ipv4 1.2.3.4 5 fstrm-control-frame-max-size=4294967296",
         "Invalid fstrm-control-frame-max-size option"},
        {"ipv4 1.2.3.4 5 tls=ON", "Invalid tls option"},
        {"ipv4 1.2.3.4 5 tls-validate=no", "Invalid tls-validate option"},
        {"ipv4 1.2.3.4 5 tls-client-certificate=yes", "Invalid tls-client-certificate option"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(errorOf(c.text), c.message) << "input: " << c.text;
}

TEST(ForwarderSpec, Options)
{
    struct Case {
        const char* option;
        std::function<uint64_t(const ForwarderConfig&)> field;
        uint64_t expected;
    };
    auto connectTimeout = [](const ForwarderConfig& c) { return uint64_t(c.socketConfig.connectTimeout); };
    auto readTimeout = [](const ForwarderConfig& c) { return uint64_t(c.socketConfig.readTimeout); };
    auto writeTimeout = [](const ForwarderConfig& c) { return uint64_t(c.socketConfig.writeTimeout); };
    auto sendBuf = [](const ForwarderConfig& c) { return uint64_t(c.socketConfig.sendBufferSize); };
    auto recvBuf = [](const ForwarderConfig& c) { return uint64_t(c.socketConfig.recvBufferSize); };
    auto batch = [](const ForwarderConfig& c) { return uint64_t(c.batchSize); };
    auto ctrl = [](const ForwarderConfig& c) { return uint64_t(c.fstrmSocketConfig.controlFrameMaxSize); };
    auto recovery = [](const ForwarderConfig& c) { return uint64_t(c.requeue) * 2 + uint64_t(c.durable); };
    auto bidi = [](const ForwarderConfig& c) { return uint64_t(c.fstrmSocketConfig.bidirectional); };
    auto clientCert = [](const ForwarderConfig& c) { return uint64_t(c.tlsSocketConfig.clientCertificate); };
    auto validate = [](const ForwarderConfig& c) { return uint64_t(c.tlsSocketConfig.validate); };
    const Case cases[] = {
        {"connect-timeout=1", connectTimeout, 1},
        {"connect-timeout=120", connectTimeout, 120},
        {"connect-timeout=30s", connectTimeout, 30},
        {"read-timeout=1", readTimeout, 1},
        {"read-timeout=120", readTimeout, 120},
        {"write-timeout=1", writeTimeout, 1},
        {"write-timeout=120", writeTimeout, 120},
        {"send-buffer-size=1", sendBuf, 1},
        {"send-buffer-size=2147483647", sendBuf, 2147483647u},
        {"recv-buffer-size=1", recvBuf, 1},
        {"recv-buffer-size=2147483647", recvBuf, 2147483647u},
        {"batch-size=1", batch, 1},
        {"batch-size=4294967295", batch, 4294967295u},
        {"fstrm-control-frame-max-size=1", ctrl, 1},
        {"fstrm-control-frame-max-size=4294967295", ctrl, 4294967295u},
        {"recovery=drop", recovery, 0},
        {"recovery=best-effort", recovery, 2},
        {"recovery=durable", recovery, 3},
        {"recovery=durable recovery=drop", recovery, 0},
        {"fstrm-mode=unidirectional", bidi, 0},
        {"fstrm-mode=unidirectional fstrm-mode=bidirectional", bidi, 1},
        {"tls-client-certificate=on", clientCert, 1},
        {"tls-validate=off", validate, 0},
        {"Batch-Size 7", batch, 7},
    };
    for (const Case& c : cases) {
        std::string text = std::string("ipv6 ::1 6000 ") + c.option;
        ForwarderConfig config;
        ASSERT_NO_THROW(parseForwarder(text.c_str(), config)) << text;
        EXPECT_EQ(c.field(config), c.expected) << text;
    }
}

TEST(ForwarderSpec, TextOptions)
{
    ForwarderConfig c = parsed(
        "ipv4 10.0.0.1 6514 tls=on tls-validate-ca-file=\"/etc/ssl/My CA.pem\" "
        "tls-client-certificate-cert-file=/k/Client.pem tls-client-certificate-key-file=/k/Client.key "
        "tls-min-version=1.3 tls-max-version=1.3 tls-cipher-list=HIGH tls-cipher-suites=TLS_AES_128_GCM_SHA256");
    EXPECT_EQ(c.tlsSocketConfig.caFile, "/etc/ssl/My CA.pem");
    EXPECT_EQ(c.tlsSocketConfig.certFile, "/k/Client.pem");
    EXPECT_EQ(c.tlsSocketConfig.keyFile, "/k/Client.key");
    EXPECT_EQ(c.tlsSocketConfig.minVersion, "1.3");
    EXPECT_EQ(c.tlsSocketConfig.maxVersion, "1.3");
    EXPECT_EQ(c.tlsSocketConfig.cipherList, "HIGH");
    EXPECT_EQ(c.tlsSocketConfig.cipherSuites, "TLS_AES_128_GCM_SHA256");
    EXPECT_EQ(parsed("ipv4 10.0.0.1 1 tls-validate-server-name=\"\"").tlsSocketConfig.serverName, "");
}
