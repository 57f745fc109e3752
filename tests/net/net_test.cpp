#include "net/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "foundation/error.h"

using ns::net::RemoteEndpoint;
using ns::net::Socket;
using ns::net::SocketConfig;
using ns::net::SocketError;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string groupName(gid_t gid)
{
    std::vector<char> buf(16384);
    group entry;
    group* result = nullptr;
    if (getgrgid_r(gid, &entry, buf.data(), buf.size(), &result) != 0 || !result)
        return {};
    return result->gr_name;
}

// A group of this machine, preferably not the process's own one so that the
// change of group is visible; the own group otherwise.
std::pair<std::string, gid_t> machineGroup()
{
    for (const char* name : {"daemon", "nogroup", "users", "adm"}) {
        std::vector<char> buf(16384);
        group entry;
        group* result = nullptr;
        if (getgrnam_r(name, &entry, buf.data(), buf.size(), &result) == 0 && result && result->gr_gid != getgid() &&
            getuid() == 0)
            return {name, result->gr_gid};
    }
    return {groupName(getgid()), getgid()};
}

class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/qxsockXXXXXX";
        const char* p = mkdtemp(tmpl);
        if (p)
            path = p;
    }
    ~TempDir()
    {
        if (!path.empty())
            std::system(("rm -rf " + path).c_str());
    }
    std::string path;
};

SocketConfig unixConfig(const std::string& path)
{
    SocketConfig c;
    c.isUnix = true;
    c.path = path;
    c.group = groupName(getgid());
    c.readTimeout = 2;
    c.writeTimeout = 2;
    c.connectTimeout = 2;
    return c;
}

SocketConfig tcpConfig(const std::string& host, uint16_t port, bool v6)
{
    SocketConfig c;
    c.isUnix = false;
    c.useIpv6 = v6;
    c.host = host;
    c.port = port;
    c.readTimeout = 2;
    c.writeTimeout = 2;
    c.connectTimeout = 2;
    return c;
}

uint16_t localPort(int fd)
{
    sockaddr_storage a;
    socklen_t n = sizeof(a);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) != 0)
        return 0;
    if (a.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

// A loopback port on which nothing listens.
uint16_t closedPort()
{
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    uint16_t port = localPort(s);
    ::close(s);
    return port;
}

// Waits up to 3 seconds for one pending connection.
std::unique_ptr<Socket> acceptOne(Socket& listener)
{
    for (int i = 0; i < 3; ++i) {
        if (listener.wait(true, 1))
            continue;
        if (Socket* s = listener.accept())
            return std::unique_ptr<Socket>(s);
    }
    return nullptr;
}

std::string messageOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const SocketError& e) {
        return e.what();
    }
    return "<no error>";
}

struct Pair {
    std::unique_ptr<Socket> listener;
    std::unique_ptr<Socket> client;
    std::unique_ptr<Socket> server;
};

Pair unixPair(const std::string& path, SocketConfig config)
{
    Pair p;
    config.path = path;
    p.listener = std::make_unique<Socket>(1, config);
    p.listener->listen();
    p.client = std::make_unique<Socket>(2, config);
    p.client->connect();
    p.server = acceptOne(*p.listener);
    return p;
}

int socketOption(int fd, int option)
{
    int v = 0;
    socklen_t n = sizeof(v);
    getsockopt(fd, SOL_SOCKET, option, &v, &n);
    return v;
}

} // namespace

TEST(SocketConfig, Defaults)
{
    SocketConfig c;
    EXPECT_TRUE(c.isUnix);
    EXPECT_FALSE(c.useIpv6);
    EXPECT_EQ(c.path, "/run/kestivor/quorvalex/dnstap.sock");
    EXPECT_EQ(c.mode, 438u);
    EXPECT_EQ(c.group, "quorvalex");
    EXPECT_EQ(c.host, "127.0.0.1");
    EXPECT_EQ(c.port, 514);
    EXPECT_EQ(c.connectTimeout, 3u);
    EXPECT_EQ(c.readTimeout, 5u);
    EXPECT_EQ(c.writeTimeout, 5u);
    EXPECT_EQ(c.listenBacklog, 128u);
    EXPECT_EQ(c.maxConnections, 1000u);
    EXPECT_EQ(c.keepalive, 20u);
    EXPECT_EQ(c.sendBufferSize, 0u);
    EXPECT_EQ(c.recvBufferSize, 0u);
}

TEST(Socket, ClosedSocketQueries)
{
    SocketConfig c;
    c.readTimeout = 7;
    c.writeTimeout = 9;
    Socket s(42, c);
    EXPECT_FALSE(s.isConnected());
    EXPECT_EQ(s.getHandle(), 0);
    EXPECT_EQ(s.getId(), 42u);
    EXPECT_EQ(s.getReadTimeout(), 7u);
    EXPECT_EQ(s.getWriteTimeout(), 9u);
    EXPECT_EQ(s.readsize(), 0u);
    s.close();
    EXPECT_FALSE(s.isConnected());
    // A time-out of 0 never waits.
    auto start = Clock::now();
    EXPECT_TRUE(s.wait(true, 0));
    EXPECT_TRUE(s.wait(false, 0));
    EXPECT_LT(secondsSince(start), 0.5);
}

TEST(Socket, UnixListenAppliesGroupAndMode)
{
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    auto [group, gid] = machineGroup();
    ASSERT_FALSE(group.empty());
    SocketConfig c = unixConfig(dir.path + "/s.sock");
    c.group = group;
    c.mode = 0640;

    // A stale plain file at the path is removed first.
    { FILE* f = fopen(c.path.c_str(), "w"); ASSERT_NE(f, nullptr); fclose(f); }

    Socket listener(3, c);
    testing::internal::CaptureStdout();
    listener.listen();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("Socket[3]: Listening on " + c.path + "\n"));
    ASSERT_TRUE(listener.isConnected());
    EXPECT_GE(listener.getHandle(), 3);

    struct stat st;
    ASSERT_EQ(stat(c.path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_gid, gid);
    EXPECT_NE(fcntl(listener.getHandle(), F_GETFL) & O_NONBLOCK, 0);

    // Listening again on an open socket does nothing and logs nothing.
    int fd = listener.getHandle();
    testing::internal::CaptureStdout();
    listener.listen();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(listener.getHandle(), fd);

    // No connection pending: null, and the counter does not move.
    EXPECT_EQ(listener.accept(), nullptr);

    std::vector<std::unique_ptr<Socket>> clients, accepted;
    for (unsigned i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<Socket>(10 + i, c));
        testing::internal::CaptureStdout();
        clients.back()->connect();
        EXPECT_THAT(testing::internal::GetCapturedStdout(),
                    HasSubstr("Socket[" + std::to_string(10 + i) + "]: Connected to " + c.path + "\n"));
        accepted.push_back(acceptOne(listener));
        ASSERT_NE(accepted.back(), nullptr);
        EXPECT_EQ(accepted.back()->getId(), i);
        EXPECT_NE(fcntl(accepted.back()->getHandle(), F_GETFL) & O_NONBLOCK, 0);
    }

    RemoteEndpoint peer = accepted[0]->getRemoteEndpoint();
    EXPECT_TRUE(peer.isUnix);
    EXPECT_FALSE(peer.useIpv6);
    EXPECT_EQ(peer.uid, getuid());
    EXPECT_EQ(peer.gid, getgid());
    EXPECT_EQ(peer.pid, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(peer.host, "");
    EXPECT_EQ(peer.path, "");
    EXPECT_EQ(peer.port, 0);

    // Ids are per listening socket.
    SocketConfig c2 = c;
    c2.path = dir.path + "/t.sock";
    Socket other(4, c2);
    other.listen();
    Socket client(20, c2);
    client.connect();
    auto first = acceptOne(other);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->getId(), 0u);

    // The listener can listen again after close.
    listener.close();
    EXPECT_FALSE(listener.isConnected());
    listener.listen();
    EXPECT_TRUE(listener.isConnected());
}

TEST(Socket, UnixListenFailures)
{
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());

    // A group that does not exist fails after bind, keeping the descriptor.
    SocketConfig c = unixConfig(dir.path + "/g.sock");
    c.group = "no-such-group-qx";
    Socket s(1, c);
    EXPECT_EQ(messageOf([&] { s.listen(); }),
              "getgrnam(no-such-group-qx) failed: " + ns::error::getMessage(ENOENT));
    EXPECT_TRUE(s.isConnected());
    s.close();

    // A path that cannot be removed: nothing is bound.
    std::string blocked = dir.path + "/blocked";
    ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((blocked + "/x").c_str(), 0755), 0);
    Socket u(2, unixConfig(blocked));
    EXPECT_EQ(messageOf([&] { u.listen(); }), "unlink(" + blocked + ") failed: " + ns::error::getMessage(EISDIR));
    EXPECT_FALSE(u.isConnected());

    // A path under a missing directory fails at bind.
    Socket b(3, unixConfig(dir.path + "/missing/s.sock"));
    EXPECT_EQ(messageOf([&] { b.listen(); }), "bind() failed: " + ns::error::getMessage(ENOENT));
    EXPECT_TRUE(b.isConnected());
}

TEST(Socket, UnixPathLengths)
{
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    std::string base = dir.path + "/";
    // 107 bytes: bound unchanged.
    std::string exact = base + std::string(107 - base.size(), 'a');
    ASSERT_EQ(exact.size(), 107u);
    Socket s(1, unixConfig(exact));
    s.listen();
    struct stat st;
    EXPECT_EQ(stat(exact.c_str(), &st), 0);
    Socket client(2, unixConfig(exact));
    client.connect();
    EXPECT_NE(acceptOne(s), nullptr);

    // 110 bytes: bound cut to the first 107, so the file at the full path
    // is missing for the change of group (longer paths are refused upstream).
    std::string longer = base + std::string(110 - base.size(), 'b');
    Socket t(3, unixConfig(longer));
    EXPECT_EQ(messageOf([&] { t.listen(); }),
              "chown(" + std::to_string(getgid()) + ") failed: " + ns::error::getMessage(ENOENT));
    EXPECT_EQ(stat(longer.substr(0, 107).c_str(), &st), 0);
}

TEST(Socket, TcpListenAcceptConnect)
{
    struct Case {
        const char* host;
        bool v6;
    };
    for (const Case& k : {Case{"127.0.0.1", false}, Case{"::1", true}}) {
        SCOPED_TRACE(k.host);
        Socket listener(5, tcpConfig(k.host, 0, k.v6));
        try {
            listener.listen();
        } catch (const SocketError& e) {
            if (k.v6 && std::string(e.what()).find("bind() failed") == 0)
                GTEST_SKIP() << "no IPv6 loopback";
            throw;
        }
        EXPECT_GE(listener.getHandle(), 3);
        EXPECT_NE(fcntl(listener.getHandle(), F_GETFL) & O_NONBLOCK, 0);
        EXPECT_EQ(socketOption(listener.getHandle(), SO_REUSEADDR), 1);
        uint16_t port = localPort(listener.getHandle());
        ASSERT_NE(port, 0);

        Socket client(6, tcpConfig(k.host, port, k.v6));
        testing::internal::CaptureStdout();
        client.connect();
        EXPECT_THAT(testing::internal::GetCapturedStdout(),
                    HasSubstr("Socket[6]: Connected to " + std::string(k.host) + ":" + std::to_string(port) + "\n"));
        EXPECT_EQ(client.hasError(), 0);
        auto server = acceptOne(listener);
        ASSERT_NE(server, nullptr);
        EXPECT_EQ(server->getId(), 0u);

        RemoteEndpoint peer = server->getRemoteEndpoint();
        EXPECT_FALSE(peer.isUnix);
        EXPECT_EQ(peer.useIpv6, k.v6);
        EXPECT_EQ(peer.host, k.host);
        EXPECT_EQ(peer.port, localPort(client.getHandle()));
        EXPECT_EQ(peer.uid, 0u);
        EXPECT_EQ(peer.pid, 0u);

        const unsigned char hello[] = "hello";
        client.sendblock(hello, 5);
        unsigned char buf[16];
        uint32_t got = 0;
        while (got < 5)
            got += server->readsome(buf + got, sizeof(buf) - got);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "hello");
    }
}

TEST(Socket, TcpListenPortInNetworkOrder)
{
    // The port given is the port bound (a byte-swapped bind would differ).
    uint16_t port = closedPort();
    Socket listener(1, tcpConfig("127.0.0.1", port, false));
    testing::internal::CaptureStdout();
    listener.listen();
    EXPECT_THAT(testing::internal::GetCapturedStdout(),
                HasSubstr("[INFO] Socket[1]: Listening on 127.0.0.1:" + std::to_string(port) + "\n"));
    EXPECT_EQ(localPort(listener.getHandle()), port);
}

TEST(Socket, ParseFailures)
{
    struct Case {
        const char* host;
        bool v6;
        const char* prefix;
    };
    const Case cases[] = {
        {"localhost", false, "Parse IPv4 address failed: "},
        {"localhost", true, "Parse IPv6 address failed: "},
        {"::1", false, "Parse IPv4 address failed: "},
        {"127.0.0.1", true, "Parse IPv6 address failed: "},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.host) + (k.v6 ? " v6" : " v4"));
        Socket listener(1, tcpConfig(k.host, 0, k.v6));
        EXPECT_THAT(messageOf([&] { listener.listen(); }), StartsWith(k.prefix));
        EXPECT_FALSE(listener.isConnected());
    }
    // Connecting: a numeric literal of the other family is not resolved.
    for (const Case& k : {cases[2], cases[3]}) {
        Socket client(1, tcpConfig(k.host, 1, k.v6));
        EXPECT_THAT(messageOf([&] { client.connect(); }), StartsWith(k.prefix));
        EXPECT_FALSE(client.isConnected());
    }
}

TEST(Socket, ConnectFailures)
{
    uint16_t port = closedPort();

    Socket refused(1, tcpConfig("127.0.0.1", port, false));
    EXPECT_EQ(messageOf([&] { refused.connect(); }), "connect() failed: " + ns::error::getMessage(ECONNREFUSED));
    // The descriptor stays for the owner to close; connect does nothing until then.
    EXPECT_TRUE(refused.isConnected());
    int fd = refused.getHandle();
    refused.connect();
    EXPECT_EQ(refused.getHandle(), fd);
    refused.close();

    // A connect time-out of 0 times out at once.
    Socket listener(2, tcpConfig("127.0.0.1", 0, false));
    listener.listen();
    SocketConfig c = tcpConfig("127.0.0.1", localPort(listener.getHandle()), false);
    c.connectTimeout = 0;
    Socket quick(3, c);
    EXPECT_EQ(messageOf([&] { quick.connect(); }), "connect() failed: wait() timed out");

    // No socket file at the path.
    TempDir dir;
    Socket unixClient(4, unixConfig(dir.path + "/none.sock"));
    EXPECT_EQ(messageOf([&] { unixClient.connect(); }), "connect() failed: " + ns::error::getMessage(ENOENT));
}

TEST(Socket, ConnectByName)
{
    Socket listener(1, tcpConfig("127.0.0.1", 0, false));
    listener.listen();
    uint16_t port = localPort(listener.getHandle());

    Socket client(7, tcpConfig("localhost", port, false));
    testing::internal::CaptureStdout();
    client.connect();
    EXPECT_THAT(testing::internal::GetCapturedStdout(), HasSubstr("Socket[7]: Connected to 127.0.0.1\n"));
    EXPECT_TRUE(client.isConnected());
    EXPECT_NE(acceptOne(listener), nullptr);

    // Every resolved address refuses: one warn line each, then the final error,
    // and the socket is left closed.
    uint16_t closed = closedPort();
    Socket failing(8, tcpConfig("localhost", closed, false));
    testing::internal::CaptureStdout();
    std::string message = messageOf([&] { failing.connect(); });
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(message, "Failed to connect to any host");
    EXPECT_THAT(out, HasSubstr("[WARN] Socket[8]: Connect to 127.0.0.1:" + std::to_string(closed) +
                               " failed: connect() failed: " + ns::error::getMessage(ECONNREFUSED) + "\n"));
    EXPECT_FALSE(failing.isConnected());
}

TEST(Socket, Waits)
{
    TempDir dir;
    Pair p = unixPair(dir.path + "/w.sock", unixConfig(""));
    ASSERT_NE(p.server, nullptr);

    auto start = Clock::now();
    EXPECT_TRUE(p.server->wait(true, 0));
    EXPECT_LT(secondsSince(start), 0.5);

    // n one-second steps without data.
    start = Clock::now();
    EXPECT_TRUE(p.server->wait(true, 2));
    double elapsed = secondsSince(start);
    EXPECT_GE(elapsed, 1.9);
    EXPECT_LT(elapsed, 3.5);

    const unsigned char data[] = {1, 2, 3, 4, 5};
    p.client->sendblock(data, 5);
    start = Clock::now();
    EXPECT_FALSE(p.server->wait(true, 5));
    EXPECT_LT(secondsSince(start), 0.5);
    EXPECT_EQ(p.server->readsize(), 5u);
    EXPECT_FALSE(p.client->wait(false, 1));

    // Fill the send side until it would block; then the write wait times out.
    std::vector<unsigned char> chunk(65536, 0x55);
    while (::send(p.client->getHandle(), chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0) {
    }
    start = Clock::now();
    EXPECT_TRUE(p.client->wait(false, 1));
    EXPECT_GE(secondsSince(start), 0.9);
    start = Clock::now();
    EXPECT_EQ(messageOf([&] { p.client->sendblock(chunk.data(), 1000); }), "send() failed: wait() timed out");
    EXPECT_LT(secondsSince(start), 3.5);
}

TEST(Socket, ReadsomeEndings)
{
    TempDir dir;
    SocketConfig c = unixConfig("");
    c.readTimeout = 1;
    Pair p = unixPair(dir.path + "/r.sock", c);
    ASSERT_NE(p.server, nullptr);

    auto start = Clock::now();
    unsigned char buf[8];
    EXPECT_EQ(messageOf([&] { p.server->readsome(buf, sizeof(buf)); }), "recv() failed: wait() timed out");
    EXPECT_GE(secondsSince(start), 0.9);

    // Data waiting is returned even when less than asked for.
    const unsigned char two[] = {7, 8};
    p.client->sendblock(two, 2);
    EXPECT_EQ(p.server->readsome(buf, sizeof(buf)), 2u);
    EXPECT_EQ(buf[0], 7);
    EXPECT_EQ(buf[1], 8);

    p.client->close();
    EXPECT_EQ(messageOf([&] { p.server->readsome(buf, sizeof(buf)); }), "recv() failed: socket closed");
    // The failure leaves the descriptor for the owner.
    EXPECT_TRUE(p.server->isConnected());
}

TEST(Socket, SendblockEndings)
{
    TempDir dir;
    Pair p = unixPair(dir.path + "/s.sock", unixConfig(""));
    ASSERT_NE(p.server, nullptr);

    // Nothing to send: no wait, no system call, even on a closed socket.
    Socket closed(9, unixConfig(""));
    closed.sendblock(nullptr, 0);

    // A large block crosses many waits while the peer drains it.
    std::vector<unsigned char> block(4 << 20);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<unsigned char>(i * 31);
    std::vector<unsigned char> received;
    std::thread reader([&] {
        std::vector<unsigned char> buf(65536);
        try {
            while (received.size() < block.size()) {
                uint32_t n = p.server->readsome(buf.data(), static_cast<uint32_t>(buf.size()));
                received.insert(received.end(), buf.begin(), buf.begin() + n);
            }
        } catch (const SocketError&) {
        }
    });
    p.client->sendblock(block.data(), static_cast<uint32_t>(block.size()));
    reader.join();
    EXPECT_TRUE(received == block);

    // A closed peer gives the broken-pipe text and no signal.
    p.server->close();
    const unsigned char one[] = {1};
    EXPECT_EQ(messageOf([&] { p.client->sendblock(one, 1); }), "send() failed: " + ns::error::getMessage(EPIPE));
}

TEST(Socket, BufferSizesOfAcceptedSockets)
{
    TempDir dir;
    SocketConfig c = unixConfig("");
    Pair plain = unixPair(dir.path + "/a.sock", c);
    ASSERT_NE(plain.server, nullptr);
    int fresh = ::socket(AF_UNIX, SOCK_STREAM, 0);
    int defaultSnd = socketOption(fresh, SO_SNDBUF);
    ::close(fresh);
    EXPECT_EQ(socketOption(plain.server->getHandle(), SO_SNDBUF), defaultSnd);

    c.sendBufferSize = 32768;
    c.recvBufferSize = 49152;
    Pair sized = unixPair(dir.path + "/b.sock", c);
    ASSERT_NE(sized.server, nullptr);
    // Linux reports twice the requested size.
    EXPECT_EQ(socketOption(sized.server->getHandle(), SO_SNDBUF), 2 * 32768);
    EXPECT_EQ(socketOption(sized.server->getHandle(), SO_RCVBUF), 2 * 49152);
    // The connecting side applies them too.
    EXPECT_EQ(socketOption(sized.client->getHandle(), SO_SNDBUF), 2 * 32768);
}

TEST(Socket, LowDescriptorsAreMovedUp)
{
    TempDir dir;
    SocketConfig c = unixConfig(dir.path + "/d.sock");
    Socket listener(1, c);
    Socket client(2, c);
    std::unique_ptr<Socket> server;

    int saved = dup(0);
    ASSERT_GE(saved, 0);
    ::close(0);
    listener.listen();
    int listenFd = listener.getHandle();
    ::close(0);  // in case listen left 0 free again
    client.connect();
    int clientFd = client.getHandle();
    ::close(0);
    server = acceptOne(listener);
    dup2(saved, 0);
    ::close(saved);

    EXPECT_GE(listenFd, 3);
    EXPECT_GE(clientFd, 3);
    ASSERT_NE(server, nullptr);
    EXPECT_GE(server->getHandle(), 3);
    EXPECT_TRUE(server->isConnected());
    const unsigned char x[] = {42};
    client.sendblock(x, 1);
    unsigned char b = 0;
    EXPECT_EQ(server->readsome(&b, 1), 1u);
    EXPECT_EQ(b, 42);
}

TEST(Socket, ManyConnectionsOnOneListener)
{
    const unsigned count = 1100;
    rlimit lim;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_cur < 2 * count + 64) {
        lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 2 * count + 64);
        setrlimit(RLIMIT_NOFILE, &lim);
        getrlimit(RLIMIT_NOFILE, &lim);
        if (lim.rlim_cur < 2 * count + 64)
            GTEST_SKIP() << "descriptor limit too low";
    }

    TempDir dir;
    SocketConfig c = unixConfig(dir.path + "/m.sock");
    c.readTimeout = 2;
    Socket listener(1, c);
    listener.listen();
    std::vector<std::unique_ptr<Socket>> clients, servers;
    for (unsigned i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<Socket>(i, c));
        clients.back()->connect();
        servers.push_back(acceptOne(listener));
        ASSERT_NE(servers.back(), nullptr);
        ASSERT_EQ(servers.back()->getId(), i);
    }
    EXPECT_GE(servers.back()->getHandle(), 1024);

    for (unsigned i = 0; i < count; ++i) {
        unsigned char v = static_cast<unsigned char>(i);
        clients[i]->sendblock(&v, 1);
    }
    for (unsigned i = 0; i < count; ++i) {
        unsigned char v = 0;
        ASSERT_EQ(servers[i]->readsome(&v, 1), 1u);
        ASSERT_EQ(v, static_cast<unsigned char>(i));
    }
    // A high descriptor with nothing to read still times out cleanly.
    EXPECT_TRUE(servers.back()->wait(true, 1));
    EXPECT_EQ(servers.back()->getRemoteEndpoint().pid, static_cast<uint32_t>(getpid()));
}

TEST(Socket, ConnectTimesOutOnFullBacklog)
{
    // A listener that never accepts, with the smallest backlog: once its
    // queue is full the kernel drops further handshakes.
    SocketConfig lc = tcpConfig("127.0.0.1", 0, false);
    lc.listenBacklog = 0;
    Socket listener(1, lc);
    listener.listen();
    SocketConfig c = tcpConfig("127.0.0.1", localPort(listener.getHandle()), false);
    c.connectTimeout = 1;
    std::vector<std::unique_ptr<Socket>> clients;
    std::string message;
    auto start = Clock::now();
    for (int i = 0; i < 6 && message.empty(); ++i) {
        clients.push_back(std::make_unique<Socket>(i, c));
        try {
            clients.back()->connect();
        } catch (const SocketError& e) {
            message = e.what();
            EXPECT_GE(secondsSince(start), 0.9);
        }
    }
    EXPECT_EQ(message, "connect() failed: wait() timed out");
}
