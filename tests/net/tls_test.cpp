#include "net/tls.h"

#include <gtest/gtest.h>

#include <openssl/err.h>

#include <string>

#include "net/net.h"
#include "net/stack_fixture.h"

using ns::net::tls::TlsError;
using ns::net::tls::TlsSocket;
using ns::net::tls::TlsSocketConfig;
using namespace stack_fixture;

namespace {

class TlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new TempDir();
        certs = new Certificates(makeCertificates(dir->path()));
    }
    static void TearDownTestSuite()
    {
        delete certs;
        delete dir;
    }

    static TlsSocketConfig serverConfig()
    {
        TlsSocketConfig c;
        c.enabled = true;
        c.validate = false;
        c.certFile = certs->server.cert;
        c.keyFile = certs->server.key;
        return c;
    }
    static TlsSocketConfig clientConfig()
    {
        TlsSocketConfig c;
        c.enabled = true;
        c.validate = true;
        c.caFile = certs->ca.cert;
        return c;
    }

    // Runs both handshakes; returns the server's and the client's failure
    // messages (empty on success).
    std::pair<std::string, std::string> handshake(TlsSocket& server, TlsSocket& client)
    {
        Side side([&] { server.connect(); });
        std::string clientError;
        try {
            client.connect();
        } catch (const std::exception& e) {
            clientError = e.what();
            // The server must not wait out its read time-out on a dead client.
            pair.client->close();
        }
        return {side.join(), clientError};
    }

    void connectBoth(TlsSocket& server, TlsSocket& client)
    {
        auto [serverError, clientError] = handshake(server, client);
        ASSERT_EQ(serverError, "");
        ASSERT_EQ(clientError, "");
    }

    static TempDir* dir;
    static Certificates* certs;
    TcpPair pair = makeTcpPair(2);
};

TempDir* TlsTest::dir = nullptr;
Certificates* TlsTest::certs = nullptr;

std::string readAll(TlsSocket& tls, size_t n)
{
    std::string out;
    unsigned char buffer[64];
    while (out.size() < n) {
        uint32_t got = tls.readsome(buffer, static_cast<uint32_t>(std::min(sizeof(buffer), n - out.size())));
        out.append(reinterpret_cast<char*>(buffer), got);
    }
    return out;
}

void send(TlsSocket& tls, const std::string& text)
{
    tls.sendblock(reinterpret_cast<const unsigned char*>(text.data()), static_cast<uint32_t>(text.size()));
}

} // namespace

TEST(TlsConfigTest, DefaultsAndVersionTexts)
{
    TlsSocketConfig c;
    EXPECT_FALSE(c.enabled);
    EXPECT_TRUE(c.validate);
    EXPECT_EQ(c.serverName, "127.0.0.1");
    EXPECT_FALSE(c.clientCertificate);
    EXPECT_EQ(c.caFile, "");
    EXPECT_EQ(c.certFile, "cert.pem");
    EXPECT_EQ(c.keyFile, "key.pem");
    EXPECT_EQ(c.minVersion, "1.2");
    EXPECT_EQ(c.maxVersion, "");
    EXPECT_EQ(c.cipherList, "");
    EXPECT_EQ(c.cipherSuites, "");

    EXPECT_EQ(ns::net::tls::parseTlsVersion("1.2"), 0x0303);
    EXPECT_EQ(ns::net::tls::parseTlsVersion("1.3"), 0x0304);
    for (const char* bad : {"", "1.1", "1.0", "TLS1.2", "1.2 ", " 1.3", "1.4", "1"})
        EXPECT_EQ(ns::net::tls::parseTlsVersion(bad), 0) << bad;
}

TEST_F(TlsTest, IdleObjectRefusesIoAndClosesQuietly)
{
    TlsSocket tls(7, false, clientConfig(), *pair.client);
    EXPECT_TRUE(tls.isActive());
    unsigned char byte = 0;
    for (int round = 0; round < 2; ++round) {
        try {
            tls.readsome(&byte, 1);
            FAIL() << "readsome before a handshake";
        } catch (const TlsError& e) {
            EXPECT_STREQ(e.what(), "TLS handshake not complete");
        }
        try {
            tls.sendblock(&byte, 1);
            FAIL() << "sendblock before a handshake";
        } catch (const TlsError& e) {
            EXPECT_STREQ(e.what(), "TLS handshake not complete");
        }
        EXPECT_FALSE(tls.hasPendingInput());
        tls.close();
        tls.reset();
        tls.reset();
    }
    // Nothing went on the wire.
    EXPECT_TRUE(pair.server->wait(true, 1));
    TlsSocket off(8, true, TlsSocketConfig(), *pair.server);
    EXPECT_FALSE(off.isActive());
}

TEST_F(TlsTest, ContextFailuresAreHandshakeFailures)
{
    struct Case {
        const char* name;
        std::function<void(TlsSocketConfig&)> change;
        bool server;
        std::string prefix;
        bool exact;  // message is the prefix alone (no OpenSSL entries)
    };
    const Case cases[] = {
        {"min version", [](TlsSocketConfig& c) { c.minVersion = "1.1"; }, false,
         "TLS handshake failed: Parse minimum TLS version failed: Unknown SSL error", true},
        {"min version server", [](TlsSocketConfig& c) { c.minVersion = "tls1.3"; }, true,
         "TLS handshake failed: Parse minimum TLS version failed: Unknown SSL error", true},
        {"max version", [](TlsSocketConfig& c) { c.maxVersion = "1.0"; }, false,
         "TLS handshake failed: Parse maximum TLS version failed: Unknown SSL error", true},
        {"cipher list", [](TlsSocketConfig& c) { c.cipherList = "NO-SUCH-CIPHER"; }, false,
         "TLS handshake failed: SSL_CTX_set_cipher_list(NO-SUCH-CIPHER) failed: Unknown SSL error (", false},
        {"cipher suites", [](TlsSocketConfig& c) { c.cipherSuites = "TLS_NO_SUCH"; }, false,
         "TLS handshake failed: SSL_CTX_set_ciphersuites(TLS_NO_SUCH) failed: Unknown SSL error", false},
        {"missing cert", [](TlsSocketConfig& c) { c.certFile = "/nonexistent/cert.pem"; }, true,
         "TLS handshake failed: SSL_CTX_use_certificate_chain_file(/nonexistent/cert.pem) failed: Unknown SSL "
         "error (",
         false},
        {"missing key", [](TlsSocketConfig& c) { c.keyFile = "/nonexistent/key.pem"; }, true,
         "TLS handshake failed: SSL_CTX_use_PrivateKey_file(/nonexistent/key.pem) failed: Unknown SSL error (", false},
        {"key of another cert", [](TlsSocketConfig& c) { c.keyFile = certs->client.key; }, true,
         "TLS handshake failed: SSL_CTX_use_PrivateKey_file(" + certs->client.key + ") failed: ", false},
        {"missing client cert", [](TlsSocketConfig& c) { c.clientCertificate = true; c.certFile = "/nonexistent"; },
         false, "TLS handshake failed: SSL_CTX_use_certificate_chain_file(/nonexistent) failed: Unknown SSL error (",
         false},
        {"missing ca", [](TlsSocketConfig& c) { c.caFile = "/nonexistent/ca.pem"; }, false,
         "TLS handshake failed: SSL_CTX_load_verify_locations(/nonexistent/ca.pem) failed: Unknown SSL error (",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TlsSocketConfig config = c.server ? serverConfig() : clientConfig();
        if (c.server)
            config.validate = true, config.caFile = certs->ca.cert;
        c.change(config);
        TlsSocket tls(1, c.server, config, c.server ? *pair.server : *pair.client);
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                tls.connect();
                ADD_FAILURE() << "connect succeeded";
            } catch (const TlsError& e) {
                std::string message = e.what();
                if (c.exact)
                    EXPECT_EQ(message, c.prefix);
                else
                    EXPECT_EQ(message.substr(0, c.prefix.size()), c.prefix) << message;
                if (message.find(" (") != std::string::npos) {
                    EXPECT_EQ(message.back(), ')') << message;
                }
            }
        }
    }
    // Context failures ran before any network byte.
    EXPECT_EQ(pair.server->readsize(), 0u);
    EXPECT_EQ(pair.client->readsize(), 0u);
}

TEST_F(TlsTest, VersionLimits)
{
    struct Case {
        const char* serverMin;
        const char* serverMax;
        const char* clientMin;
        const char* clientMax;
        bool works;
    };
    const Case cases[] = {
        {"1.2", "1.2", "1.2", "", true},  {"1.3", "", "1.2", "", true},   {"1.2", "", "1.3", "1.3", true},
        {"", "", "", "", true},           {"1.3", "", "1.2", "1.2", false}, {"1.2", "1.2", "1.3", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.serverMin) + "-" + c.serverMax + " / " + c.clientMin + "-" + c.clientMax);
        TcpPair p = makeTcpPair(2);
        TlsSocketConfig sc = serverConfig();
        sc.minVersion = c.serverMin;
        sc.maxVersion = c.serverMax;
        TlsSocketConfig cc = clientConfig();
        cc.minVersion = c.clientMin;
        cc.maxVersion = c.clientMax;
        TlsSocket server(1, true, sc, *p.server);
        TlsSocket client(2, false, cc, *p.client);
        Side side([&] { server.connect(); });
        std::string clientError;
        try {
            client.connect();
        } catch (const std::exception& e) {
            clientError = e.what();
            p.client->close();
        }
        std::string serverError = side.join();
        if (c.works) {
            EXPECT_EQ(serverError, "");
            EXPECT_EQ(clientError, "");
            Side echo([&] { send(server, readAll(server, 5)); });
            send(client, "hello");
            EXPECT_EQ(readAll(client, 5), "hello");
            EXPECT_EQ(echo.join(), "");
        } else {
            EXPECT_EQ(serverError.rfind("TLS handshake failed: ", 0), 0u) << serverError;
            EXPECT_EQ(clientError.rfind("TLS handshake failed: SSL_do_handshake() failed: SSL_get_error=1 (", 0), 0u)
                << clientError;
            EXPECT_NE(clientError.find("version"), std::string::npos) << clientError;
        }
    }
}

TEST_F(TlsTest, PeerValidationAndServerNames)
{
    struct Case {
        const char* name;
        std::function<void(TlsSocketConfig& server, TlsSocketConfig& client)> change;
        bool works;
        const char* clientErrorPart;
    };
    const Case cases[] = {
        {"address name", [](TlsSocketConfig&, TlsSocketConfig&) {}, true, ""},
        {"host name", [](TlsSocketConfig&, TlsSocketConfig& c) { c.serverName = "localhost"; }, true, ""},
        {"no name: chain only", [](TlsSocketConfig&, TlsSocketConfig& c) { c.serverName = ""; }, true, ""},
        {"wrong name", [](TlsSocketConfig&, TlsSocketConfig& c) { c.serverName = "wrong.example"; }, false,
         "certificate verify failed"},
        {"wrong address", [](TlsSocketConfig&, TlsSocketConfig& c) { c.serverName = "127.0.0.2"; }, false,
         "certificate verify failed"},
        {"no ca file", [](TlsSocketConfig&, TlsSocketConfig& c) { c.caFile = ""; }, false,
         "certificate verify failed"},
        {"untrusted server",
         [](TlsSocketConfig& s, TlsSocketConfig&) {
             s.certFile = certs->rogue.cert;
             s.keyFile = certs->rogue.key;
         },
         false, "certificate verify failed"},
        {"untrusted server, no validation",
         [](TlsSocketConfig& s, TlsSocketConfig& c) {
             s.certFile = certs->rogue.cert;
             s.keyFile = certs->rogue.key;
             c.validate = false;
             c.caFile = "";
         },
         true, ""},
        {"client certificate required and given",
         [](TlsSocketConfig& s, TlsSocketConfig& c) {
             s.validate = true;
             s.caFile = certs->ca.cert;
             c.clientCertificate = true;
             c.certFile = certs->client.cert;
             c.keyFile = certs->client.key;
         },
         true, ""},
        {"client certificate required, TLS 1.2, missing",
         [](TlsSocketConfig& s, TlsSocketConfig& c) {
             s.validate = true;
             s.caFile = certs->ca.cert;
             c.maxVersion = "1.2";
         },
         false, "SSL_do_handshake() failed"},
        {"client certificate untrusted",
         [](TlsSocketConfig& s, TlsSocketConfig& c) {
             s.validate = true;
             s.caFile = certs->ca.cert;
             c.maxVersion = "1.2";
             c.clientCertificate = true;
             c.certFile = certs->rogue.cert;
             c.keyFile = certs->rogue.key;
         },
         false, "SSL_do_handshake() failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TcpPair p = makeTcpPair(2);
        TlsSocketConfig sc = serverConfig();
        TlsSocketConfig cc = clientConfig();
        c.change(sc, cc);
        TlsSocket server(1, true, sc, *p.server);
        TlsSocket client(2, false, cc, *p.client);
        Side side([&] { server.connect(); });
        std::string clientError;
        try {
            client.connect();
        } catch (const std::exception& e) {
            clientError = e.what();
            p.client->close();
        }
        std::string serverError = side.join();
        if (c.works) {
            EXPECT_EQ(serverError, "");
            EXPECT_EQ(clientError, "");
        } else {
            EXPECT_NE(serverError, "");
            EXPECT_NE(clientError.find(c.clientErrorPart), std::string::npos) << clientError;
            EXPECT_EQ(clientError.rfind("TLS handshake failed: ", 0), 0u) << clientError;
        }
    }
}

TEST_F(TlsTest, MissingClientCertificateUnderTls13FailsTheServer)
{
    TlsSocketConfig sc = serverConfig();
    sc.validate = true;
    sc.caFile = certs->ca.cert;
    TlsSocket server(1, true, sc, *pair.server);
    TlsSocket client(2, false, clientConfig(), *pair.client);
    Side side([&] { server.connect(); });
    std::string clientError;
    try {
        client.connect();  // under TLS 1.3 the client finishes before the server decides
        unsigned char byte;
        client.readsome(&byte, 1);
    } catch (const std::exception& e) {
        clientError = e.what();
    }
    std::string serverError = side.join();
    EXPECT_NE(serverError.find("peer did not return a certificate"), std::string::npos) << serverError;
    EXPECT_NE(clientError, "");
}

TEST_F(TlsTest, DataBothWaysLargeBlocksAndEmptySend)
{
    TlsSocket server(1, true, serverConfig(), *pair.server);
    TlsSocket client(2, false, clientConfig(), *pair.client);
    connectBoth(server, client);

    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 251);
    Side side([&] {
        std::string got = readAll(server, big.size());
        if (got != big)
            throw std::runtime_error("payload differs");
        send(server, "done");
    });
    client.sendblock(nullptr, 0);
    send(client, big);
    EXPECT_EQ(readAll(client, 4), "done");
    EXPECT_EQ(side.join(), "");

    // A reader's time-out is the socket's read time-out.
    unsigned char byte;
    try {
        client.readsome(&byte, 1);
        FAIL();
    } catch (const TlsError& e) {
        EXPECT_STREQ(e.what(), "TLS read failed: wait() timed out");
    }
}

TEST_F(TlsTest, CloseNotifyEndsThePeersRead)
{
    TlsSocket server(1, true, serverConfig(), *pair.server);
    TlsSocket client(2, false, clientConfig(), *pair.client);
    connectBoth(server, client);
    send(client, "abc");
    client.close();
    EXPECT_EQ(readAll(server, 3), "abc");
    unsigned char byte;
    try {
        server.readsome(&byte, 1);
        FAIL();
    } catch (const TlsError& e) {
        EXPECT_STREQ(e.what(), "SSL_read() failed: TLS connection closed");
    }
    // After close the client object is idle again.
    EXPECT_THROW(client.readsome(&byte, 1), TlsError);
    server.close();
}

TEST_F(TlsTest, TruncatedRecordTimesOutThenFailsOnClose)
{
    TlsSocket server(1, true, serverConfig(), *pair.server);
    TlsSocket client(2, false, clientConfig(), *pair.client);
    connectBoth(server, client);
    // An application-data record header announcing 100 bytes, then only 10.
    const unsigned char partial[15] = {0x17, 0x03, 0x03, 0x00, 0x64, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    pair.client->sendblock(partial, sizeof(partial));
    ASSERT_FALSE(pair.server->wait(true, 2));
    unsigned char buffer[16];
    // A partial record is not input at hand: only the network completes it.
    try {
        server.readsome(buffer, sizeof(buffer));
        FAIL();
    } catch (const TlsError& e) {
        EXPECT_STREQ(e.what(), "TLS read failed: wait() timed out");
    }
    EXPECT_FALSE(server.hasPendingInput());
    pair.client->close();
    try {
        server.readsome(buffer, sizeof(buffer));
        FAIL();
    } catch (const ns::net::SocketError& e) {
        EXPECT_STREQ(e.what(), "recv() failed: socket closed");
    }
}

TEST_F(TlsTest, CorruptRecordIsAnSslError)
{
    // Alone, and behind a valid record that arrives with it: then the
    // pending-input check meets it first, and the read still gives its cause.
    std::string alone;
    for (bool behindValid : {false, true}) {
        SCOPED_TRACE(behindValid ? "behind a valid record" : "alone");
        pair = makeTcpPair(2);
        TlsSocket server(1, true, serverConfig(), *pair.server);
        TlsSocket client(2, false, clientConfig(), *pair.client);
        connectBoth(server, client);
        if (behindValid)
            send(client, "ok");
        unsigned char record[5 + 40] = {0x17, 0x03, 0x03, 0x00, 40};
        pair.client->sendblock(record, sizeof(record));
        unsigned char buffer[16];
        if (behindValid) {
            ASSERT_TRUE(waitFor([&] { return pair.server->readsize() >= (5 + 2 + 17) + sizeof(record); }));
            EXPECT_EQ(readAll(server, 2), "ok");
            EXPECT_TRUE(server.hasPendingInput());
        }
        try {
            server.readsome(buffer, sizeof(buffer));
            FAIL();
        } catch (const TlsError& e) {
            std::string message = e.what();
            EXPECT_EQ(message.rfind("SSL_read() failed: SSL_get_error=1 (error:", 0), 0u) << message;
            EXPECT_EQ(message.back(), ')');
            if (behindValid) {
                EXPECT_EQ(message, alone);
            }
            alone = message;
        }
    }
}

TEST_F(TlsTest, PendingInputCountsHeldRecordsNotTheDescriptor)
{
    TlsSocket server(1, true, serverConfig(), *pair.server);
    TlsSocket client(2, false, clientConfig(), *pair.client);
    connectBoth(server, client);
    EXPECT_FALSE(server.hasPendingInput());
    send(client, "0123456789");
    send(client, "abcdef");
    // Both records (TLS 1.3: header, text, type byte, 16-byte tag) are on
    // the server's descriptor before the first read.
    ASSERT_TRUE(waitFor([&] { return pair.server->readsize() >= (5 + 10 + 17) + (5 + 6 + 17); }));
    unsigned char buffer[4];
    EXPECT_EQ(server.readsome(buffer, 4), 4u);
    EXPECT_TRUE(server.hasPendingInput());  // rest of the first record
    EXPECT_EQ(readAll(server, 6), "456789");
    // The second record arrived in the same read: the descriptor is quiet
    // while the TLS layer holds it.
    EXPECT_TRUE(pair.server->wait(true, 1));
    EXPECT_TRUE(server.hasPendingInput());
    EXPECT_EQ(readAll(server, 6), "abcdef");
    EXPECT_FALSE(server.hasPendingInput());
}

TEST_F(TlsTest, StaleErrorQueueEntriesDoNotFailHealthyCalls)
{
    TlsSocket server(1, true, serverConfig(), *pair.server);
    TlsSocket client(2, false, clientConfig(), *pair.client);
    auto stale = [] { ERR_raise_data(ERR_LIB_SSL, SSL_R_BAD_LENGTH, "stale entry"); };
    Side side([&] {
        stale();
        server.connect();
        stale();
        std::string got = readAll(server, 3);
        stale();
        send(server, got);
    });
    stale();
    client.connect();
    stale();
    send(client, "xyz");
    stale();
    EXPECT_EQ(readAll(client, 3), "xyz");
    EXPECT_EQ(side.join(), "");
    ERR_clear_error();
}

TEST_F(TlsTest, ReconnectSameObjectsOverNewConnection)
{
    TlsSocket server(1, true, serverConfig(), *pair.server);
    TlsSocket client(2, false, clientConfig(), *pair.client);
    connectBoth(server, client);
    send(client, "one");
    EXPECT_EQ(readAll(server, 3), "one");
    client.close();
    server.reset();

    // Same objects, new connection on the same client socket object.
    pair.client->close();
    pair.server = nullptr;
    pair.client->connect();
    std::unique_ptr<ns::net::Socket> accepted = acceptOne(*pair.listener);
    TlsSocket server2(3, true, serverConfig(), *accepted);
    Side side([&] { server2.connect(); });
    client.connect();
    ASSERT_EQ(side.join(), "");
    send(client, "two");
    EXPECT_EQ(readAll(server2, 3), "two");
}

TEST_F(TlsTest, PeerClosingDuringHandshake)
{
    TlsSocket server(1, true, serverConfig(), *pair.server);
    Side side([&] { server.connect(); });
    pair.client->close();
    std::string error = side.join();
    EXPECT_EQ(error, "TLS handshake failed: recv() failed: socket closed");
    unsigned char byte;
    EXPECT_THROW(server.readsome(&byte, 1), TlsError);
}

TEST_F(TlsTest, HandshakeTimesOutOnSilentPeer)
{
    TlsSocket server(1, true, serverConfig(), *pair.server);
    try {
        server.connect();
        FAIL();
    } catch (const TlsError& e) {
        EXPECT_STREQ(e.what(), "TLS handshake failed: TLS read failed: wait() timed out");
    }
}
