#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/stack_fixture.h"
#include "pipeline/queue.h"
#include "pipeline/worker/dnstap_sender.h"
#include "pipeline/worker/listener.h"

using namespace dnstap_sender;
using ns::event::queue::EventQueue;
using ns::worker::listener::Listener;
using ns::worker::listener::ListenerConfig;
using ns::worker::listener::ListenerContext;
using stack_fixture::TempDir;
using stack_fixture::waitFor;
using Clock = std::chrono::steady_clock;

namespace {

double since(Clock::time_point begin) { return std::chrono::duration<double>(Clock::now() - begin).count(); }

// Holds the first log line that contains `marker` until open(): its thread
// stops there, holding the log's lock, so nothing else may log meanwhile.
class LogGate : public std::streambuf {
public:
    explicit LogGate(std::string marker) : marker(std::move(marker))
    {
        std::lock_guard<std::mutex> lock(ns::log::mtx);
        inner = std::cout.rdbuf(this);
    }
    ~LogGate() override
    {
        open();
        std::lock_guard<std::mutex> lock(ns::log::mtx);
        std::cout.rdbuf(inner);
    }
    bool engaged()
    {
        std::lock_guard<std::mutex> lock(m);
        return holding;
    }
    void open()
    {
        std::lock_guard<std::mutex> lock(m);
        opened = true;
        cv.notify_all();
    }

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        if (std::string_view(s, size_t(n)).find(marker) != std::string_view::npos) {
            std::unique_lock<std::mutex> lock(m);
            holding = true;
            cv.wait(lock, [this] { return opened; });
        }
        return inner->sputn(s, n);
    }
    int overflow(int c) override { return c == traits_type::eof() ? 0 : inner->sputc(char(c)); }
    int sync() override { return inner->pubsync(); }

private:
    std::string marker;
    std::streambuf* inner = nullptr;
    std::mutex m;
    std::condition_variable cv;
    bool holding = false;
    bool opened = false;
};

// Sockets of senders that never log: while a gate holds the log, a log line
// on the test's own thread would wait for ever.
int rawConnect(const ns::net::SocketConfig& config)
{
    int fd = -1;
    int rc = -1;
    if (config.isUnix) {
        fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, config.path.c_str(), sizeof(a.sun_path) - 1);
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    } else {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(config.port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    EXPECT_EQ(rc, 0) << std::strerror(errno);
    return fd;
}

void rawSend(int fd, const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        ASSERT_GT(n, 0) << std::strerror(errno);
        sent += size_t(n);
    }
}

// True when the peer closed the connection with nothing more sent.
bool rawClosedByPeer(int fd)
{
    timeval t{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof(t));
    char byte;
    return ::recv(fd, &byte, 1, 0) == 0;
}

class ListenerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        certDir = new TempDir();
        certs = new stack_fixture::Certificates(stack_fixture::makeCertificates(certDir->path()));
    }
    static void TearDownTestSuite()
    {
        delete certs;
        delete certDir;
    }

    ListenerConfig unixListener(const std::string& options = "")
    {
        ListenerConfig config;
        std::string text = "unix /placeholder read-timeout=1 group=" + stack_fixture::ownGroup() + " mode=600 " + options;
        ns::worker::listener::parseListener(text.c_str(), config);
        // The parser lower-cases paths; the temporary folder's name is mixed-case.
        config.socketConfig.path = dir.file("l.sock");
        return config;
    }

    void start(ListenerConfig config)
    {
        clientConfig = config.socketConfig;
        clientConfig.writeTimeout = 2;
        listener = std::make_unique<Listener>(config, ListenerContext{&queue});
        listener->startProcessLoopThread();
        std::string where = config.socketConfig.isUnix ? config.socketConfig.path
                                                       : config.socketConfig.host + ":" +
                                                             std::to_string(config.socketConfig.port);
        ASSERT_TRUE(waitFor([&] { return log.has("Socket[" + std::to_string(config.id) + "]: Listening on " + where); }));
    }

    std::unique_ptr<Sender> connect(bool useTls = false)
    {
        auto sender = std::make_unique<Sender>(100, clientConfig, useTls);
        sender->connect();
        return sender;
    }

    // Opens a unidirectional stream and waits until the listener counts it.
    std::unique_ptr<Sender> openStream(uint64_t acceptsBefore)
    {
        auto sender = connect();
        sender->send(control(2));
        EXPECT_TRUE(waitFor([&] { return log.count("]: Handling connection\n") > acceptsBefore; }));
        return sender;
    }

    void stopAndJoin()
    {
        listener->stopProcessLoopThread();
        listener->joinProcessLoopThread();
    }

    void TearDown() override
    {
        if (listener)
            stopAndJoin();
    }

    static TempDir* certDir;
    static stack_fixture::Certificates* certs;

    LogCapture log;
    TempDir dir;
    EventQueue queue{smallQueue()};
    ns::net::SocketConfig clientConfig;
    std::unique_ptr<Listener> listener;
};

TempDir* ListenerTest::certDir = nullptr;
stack_fixture::Certificates* ListenerTest::certs = nullptr;

TEST_F(ListenerTest, UnixListenerServesAndRemovesFinishedReceivers)
{
    start(unixListener());
    EXPECT_TRUE(log.has("Listener[0]: Starting process loop"));
    EXPECT_TRUE(log.has("Listener[0]: Listening on path is " + dir.file("l.sock")));

    for (int round = 0; round < 2; ++round) {
        auto sender = connect();
        sender->send(control(4));
        EXPECT_EQ(sender->read(42), control(1));
        sender->send(control(2) + data(payload(64, round)) + control(3, false));
        EXPECT_EQ(sender->read(12), control(5, false));
        std::string finished = "Listener[0]: Receiver[" + std::to_string(round) + "] Is finished";
        ASSERT_TRUE(waitFor([&] { return log.has(finished); })) << log.all();
        // Deleted by the listener: the connection is closed.
        EXPECT_TRUE(sender->closedByPeer());
    }
    auto events = drain(queue);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], payload(64, 1));

    ns::metrics::ListenerMetrics m;
    listener->getMetrics(m);
    EXPECT_EQ(m.accepts.load(), 2u);
    EXPECT_EQ(m.activeReceivers.load(), 0u);
    EXPECT_EQ(m.peakReceivers.load(), 1u);
    EXPECT_EQ(m.receiverCount, 0u);
    EXPECT_TRUE(m.isUnix);
    EXPECT_EQ(m.path, dir.file("l.sock"));
    listener->getMetrics(m);
    EXPECT_EQ(m.accepts.load(), 0u);

    stopAndJoin();
    EXPECT_TRUE(log.has("Listener[0]: Finished process loop"));
    EXPECT_EQ(log.errors(), "");
}

TEST_F(ListenerTest, TcpListenerMetricsListReceiversInIdOrder)
{
    uint16_t port = stack_fixture::freePort();
    ListenerConfig config;
    std::string text = "ipv4 127.0.0.1 " + std::to_string(port) + " read-timeout=1";
    ns::worker::listener::parseListener(text.c_str(), config);
    config.id = 3;
    start(config);
    EXPECT_TRUE(log.has("Listener[3]: Listening on 127.0.0.1:" + std::to_string(port)));

    std::vector<std::unique_ptr<Sender>> senders;
    for (uint64_t i = 0; i < 3; ++i)
        senders.push_back(openStream(i));
    senders[1]->send(data("hello") + data("world"));
    ASSERT_TRUE(waitFor([&] { return queue.getWriteOffset() == 16; }));

    ns::metrics::ListenerMetrics m;
    listener->getMetrics(m);
    EXPECT_EQ(m.accepts.load(), 3u);
    EXPECT_EQ(m.activeReceivers.load(), 3u);
    EXPECT_EQ(m.peakReceivers.load(), 3u);
    EXPECT_FALSE(m.isUnix);
    EXPECT_EQ(m.host, "127.0.0.1");
    EXPECT_EQ(m.port, port);
    ASSERT_EQ(m.receiverCount, 3u);
    ASSERT_EQ(m.receivers.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(m.receivers[i]->id, i);
        EXPECT_EQ(m.receivers[i]->host, "127.0.0.1");
        EXPECT_EQ(m.receivers[i]->port, stack_fixture::boundPort(senders[i]->socket.getHandle()));
    }
    EXPECT_EQ(m.receivers[1]->eventsReceived.load(), 2u);
    EXPECT_EQ(m.receivers[1]->bytesReceived.load(), 18u);
    EXPECT_EQ(m.receivers[0]->eventsReceived.load(), 0u);

    // Receiver 0 ends by itself: the table shrinks, the record vector does not.
    senders[0]->send(control(3, false));
    ASSERT_TRUE(waitFor([&] { return log.has("Listener[3]: Receiver[0] Is finished"); }));
    ASSERT_TRUE(waitFor([&] {
        ns::metrics::ListenerMetrics probe;
        listener->getMetrics(probe);
        return probe.activeReceivers.load() == 2;
    }));
    listener->getMetrics(m);
    EXPECT_EQ(m.activeReceivers.load(), 2u);
    EXPECT_EQ(m.peakReceivers.load(), 3u);
    EXPECT_EQ(m.receiverCount, 2u);
    EXPECT_EQ(m.receivers.size(), 3u);
    EXPECT_EQ(m.receivers[0]->id, 1u);
    EXPECT_EQ(m.receivers[0]->eventsReceived.load(), 0u);
    EXPECT_EQ(m.receivers[1]->id, 2u);
}

TEST_F(ListenerTest, ConnectionOverTheLimitIsClosedSilently)
{
    start(unixListener("max-connections=1"));
    auto first = openStream(0);

    auto second = connect();
    EXPECT_TRUE(second->closedByPeer());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(log.count("Handling connection\n"), 1u);
    ns::metrics::ListenerMetrics m;
    listener->getMetrics(m);
    EXPECT_EQ(m.accepts.load(), 1u);
    EXPECT_EQ(m.activeReceivers.load(), 1u);

    first->send(control(3, false));
    ASSERT_TRUE(waitFor([&] { return log.has("Listener[0]: Receiver[0] Is finished"); }));
    // The closed connection took id 1.
    auto third = openStream(1);
    third->send(data("after") + control(3, false));
    ASSERT_TRUE(waitFor([&] { return log.has("Listener[0]: Receiver[2] Is finished"); }));
    auto events = drain(queue);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], "after");
}

TEST_F(ListenerTest, StopWithOpenConnectionsJoinsEveryReceiver)
{
    start(unixListener());
    std::vector<std::unique_ptr<Sender>> senders;
    for (uint64_t i = 0; i < 3; ++i)
        senders.push_back(openStream(i));
    // One more in the middle of a handshake, one bidirectional and idle.
    senders.push_back(connect());
    auto bidi = connect();
    bidi->send(control(4));
    EXPECT_EQ(bidi->read(42), control(1));
    bidi->send(control(2));
    ASSERT_TRUE(waitFor([&] { return log.count("Handling connection\n") == 5; }));

    auto begin = Clock::now();
    stopAndJoin();
    // The one still in its handshake waits out its 1 s read time-out.
    EXPECT_LT(since(begin), 2.0);
    EXPECT_EQ(log.count("Is finished"), 0u);
    EXPECT_EQ(log.count("Finished process loop"), 1u + 5u);

    // The stop closed the connections, without FINISH...
    EXPECT_TRUE(bidi->closedByPeer());
    EXPECT_TRUE(senders[0]->closedByPeer());
    // ...and the receivers stay in the table until the listener is destroyed.
    ns::metrics::ListenerMetrics m;
    listener->getMetrics(m);
    EXPECT_EQ(m.receiverCount, 5u);
}

TEST_F(ListenerTest, IdleListenerAndIdleReceiversStopAtOnce)
{
    // Waits of 3 s (listener) and 5 s (receivers) must not hold the stop.
    for (int streams : {0, 2}) {
        SCOPED_TRACE(streams);
        ListenerConfig config = unixListener("read-timeout=5");
        config.id = uint32_t(streams);  // its own "Listening on" line
        start(config);
        std::vector<std::unique_ptr<Sender>> senders;
        for (int i = 0; i < streams; ++i)
            senders.push_back(openStream(uint64_t(i)));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        auto begin = Clock::now();
        stopAndJoin();
        EXPECT_LT(since(begin), 0.5);
        for (auto& sender : senders)
            EXPECT_TRUE(sender->closedByPeer());
        listener.reset();
    }
}

TEST_F(ListenerTest, ConnectionsAreRefusedFromTheStopOn)
{
    start(unixListener());
    auto idle = openStream(0);
    idle->send(data("kept"));
    // Never finishes its handshake: its receiver holds the join for its 1 s
    // read time-out.
    auto stuck = connect();
    ASSERT_TRUE(waitFor([&] { return log.count("Handling connection\n") == 2; }));
    ASSERT_TRUE(waitFor([&] { return queue.getWriteOffset() == 3 + 4; }));

    auto begin = Clock::now();
    listener->stopProcessLoopThread();
    std::atomic<bool> joined{false};
    std::thread joiner([&] {
        listener->joinProcessLoopThread();
        joined = true;
    });
    auto refused = [&] {
        try {
            connect();
            return false;
        } catch (const ns::net::SocketError& e) {
            return std::string(e.what()).find("Connection refused") != std::string::npos;
        }
    };
    // By the time a sender sees its connection end, a new one is refused;
    // the receivers are still being joined then.
    EXPECT_TRUE(idle->closedByPeer());
    EXPECT_LT(since(begin), 0.5);
    EXPECT_TRUE(refused());
    EXPECT_FALSE(joined.load());
    joiner.join();
    EXPECT_LT(since(begin), 2.0);
    EXPECT_TRUE(refused());
    EXPECT_EQ(log.count("Handling connection\n"), 2u);
    EXPECT_EQ(drain(queue), std::vector<std::string>{"kept"});
}

TEST_F(ListenerTest, ConnectionsWaitingAtTheStopAreTakenIn)
{
    for (bool overUnix : {true, false}) {
        SCOPED_TRACE(overUnix);
        ListenerConfig config;
        if (overUnix) {
            config = unixListener("read-timeout=5");
        } else {
            std::string text = "ipv4 127.0.0.1 " + std::to_string(stack_fixture::freePort()) + " read-timeout=5";
            ns::worker::listener::parseListener(text.c_str(), config);
            config.id = 1;
        }
        start(config);
        std::vector<int> fds;
        std::vector<std::string> written;
        {
            // Receiver 0 ends by itself and is held in its last log line: the
            // listener's thread then waits to join it before it accepts again.
            LogGate gate("Receiver[0]: Finished process loop");
            fds.push_back(rawConnect(clientConfig));
            rawSend(fds.back(), control(2) + control(3, false));
            ASSERT_TRUE(waitFor([&] { return gate.engaged(); }));

            // Meanwhile senders connect and write; nobody accepts them.
            for (int i = 0; i < 20; ++i) {
                std::string frames = control(2);
                for (int k = 0; k < 5; ++k) {
                    written.push_back(std::string("w").append(std::to_string(i)).append(":").append(std::to_string(k)));
                    frames += dnstap_sender::data(written.back());  // not std::data
                }
                fds.push_back(rawConnect(clientConfig));
                rawSend(fds.back(), frames + be32(90) + "cut");
            }
            // One never writes, one waits for ACCEPT.
            fds.push_back(rawConnect(clientConfig));
            fds.push_back(rawConnect(clientConfig));
            rawSend(fds.back(), control(4));

            // The stop comes first (it waits for no accept, unless the
            // listener's thread got to one before the gate: then the stop
            // follows it).
            std::atomic<bool> stopped{false};
            std::thread stopper([&] {
                listener->stopProcessLoopThread();
                stopped = true;
            });
            EXPECT_TRUE(waitFor([&] { return stopped.load(); }, 2000));
            gate.open();
            stopper.join();
        }
        auto begin = Clock::now();
        listener->joinProcessLoopThread();
        // Neither the silent sender nor the one after ACCEPT is waited for.
        EXPECT_LT(since(begin), 3.0);

        std::vector<std::string> events = drain(queue);
        std::sort(events.begin(), events.end());
        std::sort(written.begin(), written.end());
        EXPECT_EQ(events, written);
        EXPECT_EQ(log.count(std::string("Listener[").append(std::to_string(config.id)).append("]: Handling connection\n")),
                  1u + 22u);
        EXPECT_EQ(log.errors(), "") << log.all();
        // Closed without ACCEPT: that sender keeps its events for the next
        // connection.
        EXPECT_TRUE(rawClosedByPeer(fds.back()));
        for (int fd : fds)
            ::close(fd);
        listener.reset();
    }
}

TEST_F(ListenerTest, ReceiversEndingAtShutdownAreStillJoined)
{
    start(unixListener());
    std::vector<std::unique_ptr<Sender>> senders;
    for (uint64_t i = 0; i < 8; ++i)
        senders.push_back(openStream(i));
    // Half end by themselves while the stop runs; a receiver that has
    // already stopped taking input refuses the STOP.
    std::thread closer([&] {
        for (size_t i = 0; i < senders.size(); i += 2) {
            try {
                senders[i]->send(control(3, false));
            } catch (const ns::net::SocketError&) {
            }
        }
    });
    listener->stopProcessLoopThread();
    closer.join();
    listener->joinProcessLoopThread();
    EXPECT_EQ(log.count("Finished process loop"), 1u + 8u);
}

TEST_F(ListenerTest, ListenErrorIsRetriedAndStopEndsThePause)
{
    ListenerConfig config;
    ns::worker::listener::parseListener("ipv4 not-an-address 5353", config);
    listener = std::make_unique<Listener>(config, ListenerContext{&queue});
    auto begin = Clock::now();
    listener->startProcessLoopThread();
    ASSERT_TRUE(waitFor([&] { return log.count("Listener0: Listen error: Parse IPv4 address failed: ") >= 2; }, 8000))
        << log.all();
    double retry = since(begin);
    EXPECT_GE(retry, 2.5);
    EXPECT_LT(retry, 5.0);
    EXPECT_EQ(log.count("Listener[0]: Listen error"), 0u);

    begin = Clock::now();
    stopAndJoin();
    EXPECT_LT(since(begin), 1.5);
    EXPECT_TRUE(log.has("Listener[0]: Finished process loop"));
}

TEST_F(ListenerTest, TlsOnAUnixListenerIsServed)
{
    start(unixListener("tls=on tls-certificate-cert-file=" + certs->server.cert +
                       " tls-certificate-key-file=" + certs->server.key + " tls-validate=off"));
    auto sender = connect(true);
    sender->send(control(4));
    EXPECT_EQ(sender->read(42), control(1));
    sender->send(control(2) + data("secret") + control(3, false));
    EXPECT_EQ(sender->read(12), control(5, false));
    ASSERT_TRUE(waitFor([&] { return log.has("Listener[0]: Receiver[0] Is finished"); }));
    auto events = drain(queue);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], "secret");
    EXPECT_EQ(log.errors(), "");
}

} // namespace
