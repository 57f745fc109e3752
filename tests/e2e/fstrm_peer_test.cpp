// Our Frame Streams sockets against the Frame Streams tools (fstrm-bin) and
// against socat's TLS ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/fstrm.h"
#include "net/net.h"
#include "net/stack_fixture.h"
#include "net/tls.h"

using ns::net::Socket;
using ns::net::fstrm::FstrmSocket;
using ns::net::fstrm::FstrmSocketConfig;
using ns::net::tls::TlsSocket;
using ns::net::tls::TlsSocketConfig;
using namespace stack_fixture;

namespace {

const std::string contentType = "protobuf:dnstap.Dnstap";

void be32(std::string& out, uint32_t v)
{
    out.push_back(static_cast<char>(v >> 24));
    out.push_back(static_cast<char>(v >> 16));
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v));
}

uint32_t readBe32(const std::string& s, size_t at)
{
    auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[at + i])); };
    return (b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3);
}

// Payloads of assorted sizes; their bytes are not dnstap, which the tools
// never look into.
std::vector<std::string> samplePayloads()
{
    std::vector<std::string> out;
    for (uint32_t i = 0; i < 50; ++i) {
        size_t size = 1 + (i * 977) % 3000;
        std::string p(size, '\0');
        for (size_t j = 0; j < size; ++j)
            p[j] = static_cast<char>(i * 31 + j);
        out.push_back(p);
    }
    return out;
}

std::string dataFrames(const std::vector<std::string>& payloads)
{
    std::string out;
    for (const std::string& p : payloads) {
        be32(out, static_cast<uint32_t>(p.size()));
        out += p;
    }
    return out;
}

// A unidirectional stream, which is also the Frame Streams file format.
std::string streamFile(const std::vector<std::string>& payloads)
{
    std::string out;
    be32(out, 0);
    be32(out, 34);
    be32(out, 2);
    be32(out, 1);
    be32(out, 22);
    out += contentType;
    out += dataFrames(payloads);
    be32(out, 0);
    be32(out, 4);
    be32(out, 3);
    return out;
}

// Payloads of a Frame Streams file; empty and a failure when it is malformed.
std::vector<std::string> readStreamFile(const std::string& file)
{
    std::vector<std::string> out;
    EXPECT_GE(file.size(), 42u + 12u);
    if (file.size() < 54)
        return out;
    EXPECT_EQ(readBe32(file, 0), 0u);
    EXPECT_EQ(readBe32(file, 8), 2u);  // START
    EXPECT_NE(file.find(contentType), std::string::npos);
    size_t at = 8 + readBe32(file, 4);
    for (;;) {
        if (at + 4 > file.size()) {
            ADD_FAILURE() << "stream ends without STOP";
            return out;
        }
        uint32_t length = readBe32(file, at);
        at += 4;
        if (length == 0) {
            EXPECT_EQ(readBe32(file, at + 4), 3u);  // STOP
            return out;
        }
        if (at + length > file.size()) {
            ADD_FAILURE() << "truncated data frame";
            return out;
        }
        out.push_back(file.substr(at, length));
        at += length;
    }
}

// Connects `socket`, retrying while the peer is still starting.
void connectWhenReady(Socket& socket)
{
    for (int attempt = 0;; ++attempt) {
        try {
            socket.connect();
            return;
        } catch (const std::exception&) {
            socket.close();
            if (attempt >= 100)
                throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

// The receiving side as the daemon runs it: READY/ACCEPT or START, data
// frames until STOP, FINISH for a bidirectional sender. Returns the payloads.
std::vector<std::string> receiveStream(FstrmSocket& fstrm, bool expectBidirectional)
{
    uint32_t type = fstrm.readcontrol(true, true);
    bool bidirectional = false;
    if (type == 4) {
        fstrm.sendcontrol(1, true);
        type = fstrm.readcontrol(true, true);
        bidirectional = true;
    }
    EXPECT_EQ(bidirectional, expectBidirectional);
    EXPECT_EQ(type, 2u);
    std::vector<std::string> out;
    std::vector<unsigned char> buffer;
    for (;;) {
        uint32_t length = fstrm.readlength(true);
        if (length == 0)
            break;
        fstrm.readblock(buffer, length);
        out.emplace_back(buffer.begin(), buffer.end());
    }
    EXPECT_EQ(fstrm.readcontrol(false, false), 3u);
    if (bidirectional)
        fstrm.sendcontrol(5, false);
    return out;
}

#define REQUIRE_TOOL(var, name)                                                                  \
    std::string var = findTool(name);                                                            \
    if (var.empty())                                                                             \
        GTEST_SKIP() << name << " is not installed (Debian package fstrm-bin / socat / openssl)"

} // namespace

TEST(FstrmPeerTest, ReplayIntoOurReceivingSide)
{
    REQUIRE_TOOL(replay, "fstrm_replay");
    for (bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "tcp" : "unix");
        TempDir dir;
        std::vector<std::string> payloads = samplePayloads();
        writeFile(dir.file("in.fstrm"), streamFile(payloads));

        Socket listener(0, tcp ? tcpConfig(0) : unixConfig(dir.file("in.sock")));
        listener.listen();
        std::vector<std::string> argv = {replay, "-t", contentType, "-r", dir.file("in.fstrm")};
        if (tcp)
            argv.insert(argv.end(), {"-a", "127.0.0.1", "-p", std::to_string(boundPort(listener.getHandle()))});
        else
            argv.insert(argv.end(), {"-u", dir.file("in.sock")});
        Process peer(argv, "/dev/null", dir.file("out"), dir.file("err"));

        std::unique_ptr<Socket> accepted = acceptOne(listener);
        TlsSocket tls(0, true, TlsSocketConfig(), *accepted);
        FstrmSocket fstrm(0, FstrmSocketConfig(), *accepted, tls);
        EXPECT_EQ(receiveStream(fstrm, true), payloads);
        EXPECT_EQ(peer.waitExit(5000), 0) << readFile(dir.file("err"));
    }
}

TEST(FstrmPeerTest, OurSenderIntoCapture)
{
    REQUIRE_TOOL(capture, "fstrm_capture");
    for (bool tcp : {false, true}) {
        // fstrm_capture answers only the bidirectional opening (a START
        // without READY makes it drop the connection); the unidirectional
        // sender is checked against socat below.
        for (bool bidirectional : {true}) {
            SCOPED_TRACE(std::string(tcp ? "tcp" : "unix") + (bidirectional ? " bidirectional" : " unidirectional"));
            TempDir dir;
            std::vector<std::string> payloads = samplePayloads();
            uint16_t port = tcp ? freePort() : 0;
            std::vector<std::string> argv = {capture, "-t", contentType, "-w", dir.file("out.fstrm")};
            if (tcp)
                argv.insert(argv.end(), {"-a", "127.0.0.1", "-p", std::to_string(port)});
            else
                argv.insert(argv.end(), {"-u", dir.file("cap.sock")});
            Process peer(argv, "/dev/null", dir.file("out"), dir.file("err"));

            Socket socket(3, tcp ? tcpConfig(port) : unixConfig(dir.file("cap.sock")));
            connectWhenReady(socket);
            TlsSocket tls(3, false, TlsSocketConfig(), socket);
            FstrmSocketConfig config;
            config.bidirectional = bidirectional;
            FstrmSocket fstrm(3, config, socket, tls);
            fstrm.sendstart();
            std::string frames = dataFrames(payloads);
            // One block per batch, as the forwarder writes them.
            size_t half = 0;
            for (size_t i = 0; i < 25; ++i)
                half += 4 + payloads[i].size();
            fstrm.sendblock(reinterpret_cast<const unsigned char*>(frames.data()), static_cast<uint32_t>(half));
            fstrm.sendblock(reinterpret_cast<const unsigned char*>(frames.data() + half),
                            static_cast<uint32_t>(frames.size() - half));
            fstrm.sendstop();  // bidirectional: waits for the tool's FINISH
            socket.close();
            EXPECT_EQ(peer.stop(SIGTERM), 0) << readFile(dir.file("err"));
            EXPECT_EQ(readStreamFile(readFile(dir.file("out.fstrm"))), payloads) << readFile(dir.file("err"));
        }
    }
}

TEST(FstrmPeerTest, OverTlsWithSocat)
{
    REQUIRE_TOOL(socat, "socat");
    TempDir dir;
    Certificates certs = makeCertificates(dir.path());
    std::vector<std::string> payloads = samplePayloads();

    // Our TLS sender into socat's TLS listener, which writes what it receives.
    {
        uint16_t port = freePort();
        Process peer({socat, "-u",
                      "OPENSSL-LISTEN:" + std::to_string(port) + ",reuseaddr,cert=" + certs.server.cert +
                          ",key=" + certs.server.key + ",verify=0",
                      "OPEN:" + dir.file("tls-out.fstrm") + ",creat,trunc"},
                     "/dev/null", dir.file("socat1.out"), dir.file("socat1.err"));
        Socket socket(1, tcpConfig(port));
        connectWhenReady(socket);
        TlsSocketConfig tc;
        tc.enabled = true;
        tc.caFile = certs.ca.cert;
        TlsSocket tls(1, false, tc, socket);
        tls.connect();
        FstrmSocketConfig fc;
        fc.bidirectional = false;
        FstrmSocket fstrm(1, fc, socket, tls);
        fstrm.sendstart();
        std::string frames = dataFrames(payloads);
        fstrm.sendblock(reinterpret_cast<const unsigned char*>(frames.data()), static_cast<uint32_t>(frames.size()));
        fstrm.sendstop();
        tls.close();
        socket.close();
        EXPECT_EQ(peer.waitExit(5000), 0) << readFile(dir.file("socat1.err"));
        EXPECT_EQ(readFile(dir.file("tls-out.fstrm")), streamFile(payloads));
    }

    // socat replaying a stream file through TLS into our receiving side.
    {
        writeFile(dir.file("in.fstrm"), streamFile(payloads));
        Socket listener(0, tcpConfig(0));
        listener.listen();
        uint16_t port = boundPort(listener.getHandle());
        Process peer({socat, "-u", "FILE:" + dir.file("in.fstrm"),
                      "OPENSSL:127.0.0.1:" + std::to_string(port) + ",verify=0"},
                     "/dev/null", dir.file("socat2.out"), dir.file("socat2.err"));
        std::unique_ptr<Socket> accepted = acceptOne(listener);
        TlsSocketConfig tc;
        tc.enabled = true;
        tc.validate = false;
        tc.certFile = certs.server.cert;
        tc.keyFile = certs.server.key;
        TlsSocket tls(0, true, tc, *accepted);
        tls.connect();
        FstrmSocket fstrm(0, FstrmSocketConfig(), *accepted, tls);
        EXPECT_EQ(receiveStream(fstrm, false), payloads);
        tls.close();
        accepted->close();
        EXPECT_EQ(peer.waitExit(5000), 0) << readFile(dir.file("socat2.err"));
    }
}
