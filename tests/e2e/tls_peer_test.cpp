// Our TLS client and server against openssl s_server and s_client.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/net.h"
#include "net/stack_fixture.h"
#include "net/tls.h"

using ns::net::Socket;
using ns::net::tls::TlsError;
using ns::net::tls::TlsSocket;
using ns::net::tls::TlsSocketConfig;
using namespace stack_fixture;

namespace {

class TlsPeerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        openssl = findTool("openssl");
        if (openssl.empty())
            GTEST_SKIP() << "openssl is not installed (Debian package openssl)";
        certs = makeCertificates(dir.path());
    }

    // s_server on a free port; `extra` adds options. Ready when it accepts.
    std::unique_ptr<Process> startServer(uint16_t& port, const std::vector<std::string>& extra)
    {
        port = freePort();
        std::vector<std::string> argv = {openssl,     "s_server",         "-accept", std::to_string(port),
                                         "-cert",     certs.server.cert,  "-key",    certs.server.key,
                                         "-quiet"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        // Empty stdin path: a pipe held open, since s_server ends with its input.
        auto server = std::make_unique<Process>(argv, "", dir.file("s_server.out"), dir.file("s_server.err"));
        // The probe connection fails its handshake; s_server goes on accepting.
        if (!waitFor([&] { return portOpen(port); }))
            ADD_FAILURE() << "s_server did not start: " << readFile(dir.file("s_server.err"));
        return server;
    }

    TlsSocketConfig clientConfig() const
    {
        TlsSocketConfig c;
        c.enabled = true;
        c.caFile = certs.ca.cert;
        return c;
    }

    TlsSocketConfig serverConfig() const
    {
        TlsSocketConfig c;
        c.enabled = true;
        c.validate = false;
        c.certFile = certs.server.cert;
        c.keyFile = certs.server.key;
        return c;
    }

    std::string openssl;
    TempDir dir;
    Certificates certs;
};

void send(TlsSocket& tls, const std::string& text)
{
    tls.sendblock(reinterpret_cast<const unsigned char*>(text.data()), static_cast<uint32_t>(text.size()));
}

std::string readAll(TlsSocket& tls, size_t n)
{
    std::string out;
    unsigned char buffer[256];
    while (out.size() < n) {
        uint32_t got = tls.readsome(buffer, static_cast<uint32_t>(std::min(sizeof(buffer), n - out.size())));
        out.append(reinterpret_cast<char*>(buffer), got);
    }
    return out;
}

} // namespace

TEST_F(TlsPeerTest, OurClientAgainstSServer)
{
    struct Case {
        const char* name;
        std::vector<std::string> serverOptions;
        std::function<void(TlsSocketConfig&)> change;
        const char* failurePart;  // empty: the line must arrive
        bool failsOnRead;         // TLS 1.3: a refused client learns it at its first read
    };
    const Case cases[] = {
        {"TLS 1.2", {"-tls1_2"}, [](TlsSocketConfig&) {}, "", false},
        {"TLS 1.3", {"-tls1_3"}, [](TlsSocketConfig&) {}, "", false},
        {"TLS 1.3 by host name", {"-tls1_3"}, [](TlsSocketConfig& c) { c.serverName = "localhost"; }, "", false},
        {"cipher list and suites", {},
         [](TlsSocketConfig& c) {
             c.maxVersion = "1.2";
             c.cipherList = "ECDHE-ECDSA-AES128-GCM-SHA256";
         },
         "", false},
        {"TLS 1.3 suite", {"-tls1_3"}, [](TlsSocketConfig& c) { c.cipherSuites = "TLS_CHACHA20_POLY1305_SHA256"; },
         "", false},
        {"server only 1.3, client at most 1.2", {"-tls1_3"}, [](TlsSocketConfig& c) { c.maxVersion = "1.2"; },
         "SSL_do_handshake() failed: SSL_get_error=1 (", false},
        {"server only 1.2, client at least 1.3", {"-tls1_2"}, [](TlsSocketConfig& c) { c.minVersion = "1.3"; },
         "SSL_do_handshake() failed: SSL_get_error=1 (", false},
        {"wrong server name", {}, [](TlsSocketConfig& c) { c.serverName = "wrong.example"; },
         "certificate verify failed", false},
        {"untrusted server", {}, [](TlsSocketConfig& c) { c.caFile = ""; }, "certificate verify failed", false},
        {"client certificate required and given", {"-Verify", "1", "-CAfile", certs.ca.cert},
         [this](TlsSocketConfig& c) {
             c.clientCertificate = true;
             c.certFile = certs.client.cert;
             c.keyFile = certs.client.key;
         },
         "", false},
        {"client certificate required, missing, TLS 1.2", {"-Verify", "1", "-CAfile", certs.ca.cert, "-tls1_2"},
         [](TlsSocketConfig&) {}, "TLS handshake failed: SSL_do_handshake() failed: SSL_get_error=1 (", false},
        {"client certificate required, missing, TLS 1.3", {"-Verify", "1", "-CAfile", certs.ca.cert, "-tls1_3"},
         [](TlsSocketConfig&) {}, "SSL_read() failed: SSL_get_error=1 (", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint16_t port = 0;
        std::unique_ptr<Process> server = startServer(port, c.serverOptions);
        TlsSocketConfig config = clientConfig();
        c.change(config);
        Socket socket(1, tcpConfig(port, 3));
        socket.connect();
        TlsSocket tls(1, false, config, socket);
        std::string line = std::string("hello from ") + c.name + "\n";
        std::string error;
        try {
            tls.connect();
            send(tls, line);
            if (c.failsOnRead) {
                unsigned char byte;
                tls.readsome(&byte, 1);
            }
            tls.close();
        } catch (const TlsError& e) {
            error = e.what();
        } catch (const ns::net::SocketError& e) {
            error = e.what();
        }
        socket.close();
        if (*c.failurePart == '\0') {
            EXPECT_EQ(error, "");
            EXPECT_TRUE(waitFor([&] { return readFile(dir.file("s_server.out")).find(line) != std::string::npos; }))
                << readFile(dir.file("s_server.out")) << readFile(dir.file("s_server.err"));
        } else {
            EXPECT_NE(error.find(c.failurePart), std::string::npos) << error;
            EXPECT_EQ(readFile(dir.file("s_server.out")).find(line), std::string::npos);
        }
        server->stop(SIGTERM);
    }
}

TEST_F(TlsPeerTest, SClientAgainstOurServer)
{
    struct Case {
        const char* name;
        std::vector<std::string> clientOptions;
        std::function<void(TlsSocketConfig&)> change;
        bool works;
    };
    const Case cases[] = {
        {"TLS 1.2", {"-tls1_2"}, [](TlsSocketConfig&) {}, true},
        {"TLS 1.3", {"-tls1_3"}, [](TlsSocketConfig&) {}, true},
        {"our maximum 1.2", {}, [](TlsSocketConfig& c) { c.maxVersion = "1.2"; }, true},
        {"our minimum 1.3 against a 1.2 client", {"-tls1_2"}, [](TlsSocketConfig& c) { c.minVersion = "1.3"; },
         false},
        {"client certificate required and given", {"-cert", certs.client.cert, "-key", certs.client.key},
         [this](TlsSocketConfig& c) {
             c.validate = true;
             c.caFile = certs.ca.cert;
         },
         true},
        {"client certificate required, missing", {},
         [this](TlsSocketConfig& c) {
             c.validate = true;
             c.caFile = certs.ca.cert;
         },
         false},
        {"client checks a wrong name", {"-verify_hostname", "wrong.example"}, [](TlsSocketConfig&) {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Socket listener(0, tcpConfig(0, 3));
        listener.listen();
        uint16_t port = boundPort(listener.getHandle());
        writeFile(dir.file("ping"), "ping\n");
        std::vector<std::string> argv = {openssl, "s_client", "-connect", "127.0.0.1:" + std::to_string(port),
                                         "-CAfile", certs.ca.cert, "-verify_return_error", "-verify_ip", "127.0.0.1",
                                         "-quiet"};
        argv.insert(argv.end(), c.clientOptions.begin(), c.clientOptions.end());
        Process client(argv, dir.file("ping"), dir.file("s_client.out"), dir.file("s_client.err"));

        std::unique_ptr<Socket> accepted = acceptOne(listener);
        TlsSocketConfig config = serverConfig();
        c.change(config);
        TlsSocket tls(0, true, config, *accepted);
        std::string error;
        try {
            tls.connect();
            EXPECT_EQ(readAll(tls, 5), "ping\n");
            send(tls, "pong\n");
            tls.close();
        } catch (const std::exception& e) {
            error = e.what();
        }
        accepted->close();
        if (c.works) {
            EXPECT_EQ(error, "");
            EXPECT_TRUE(waitFor([&] { return readFile(dir.file("s_client.out")) == "pong\n"; }))
                << readFile(dir.file("s_client.err"));
        } else {
            EXPECT_EQ(error.rfind("TLS handshake failed: ", 0), 0u) << error;
        }
        client.waitExit(5000);
    }
}
