#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "net/fstrm.h"
#include "net/stack_fixture.h"
#include "pipeline/queue.h"
#include "pipeline/worker/dnstap_sender.h"
#include "pipeline/worker/receiver.h"

using namespace dnstap_sender;
using ns::event::queue::EventQueue;
using ns::worker::receiver::Receiver;
using ns::worker::receiver::ReceiverConfig;
using ns::worker::receiver::ReceiverContext;
using stack_fixture::acceptOne;
using stack_fixture::boundPort;
using stack_fixture::TempDir;
using stack_fixture::waitFor;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    bool overUnix = false;
    bool tls = false;
    uint32_t readTimeout = 1;
    uint32_t keepalive = 20;
    uint32_t dataFrameMaxSize = 262144;
};

// One receiver over a fresh loopback connection, with the sending side.
class ReceiverTest : public ::testing::Test {
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

    void start(const Options& options)
    {
        ns::net::SocketConfig config = options.overUnix ? stack_fixture::unixConfig(dir.file("r.sock"), options.readTimeout)
                                                    : stack_fixture::tcpConfig(0, options.readTimeout);
        config.keepalive = options.keepalive;
        listenAndPrepareSender(config, options.tls);

        ReceiverConfig rc;
        rc.socketConfig = config;
        rc.tlsSocketConfig.enabled = options.tls;
        rc.tlsSocketConfig.validate = false;
        rc.tlsSocketConfig.certFile = certs->server.cert;
        rc.tlsSocketConfig.keyFile = certs->server.key;
        rc.fstrmSocketConfig.dataFrameMaxSize = options.dataFrameMaxSize;
        ReceiverContext context;
        context.doneCallback = &ReceiverTest::onDone;
        context.doneCallbackArg = this;
        context.eventQueue = &queue;

        // The TLS handshake needs both sides running, so connect from a thread.
        stack_fixture::Side connector([this] { sender->connect(); });
        std::unique_ptr<ns::net::Socket> accepted = acceptOne(*listenSocket);
        rc.id = accepted->getId();
        receiver = std::make_unique<Receiver>(rc, context, accepted.release());
        receiver->startProcessLoopThread();
        ASSERT_EQ(connector.join(), "");
    }

    // A listening socket and a sender for it, not connected yet.
    void listenAndPrepareSender(const ns::net::SocketConfig& config, bool tls = false)
    {
        listenSocket = std::make_unique<ns::net::Socket>(0, config);
        listenSocket->listen();
        ns::net::SocketConfig clientConfig = config;
        if (!config.isUnix)
            clientConfig.port = boundPort(listenSocket->getHandle());
        sender = std::make_unique<Sender>(9, clientConfig, tls);
    }

    void TearDown() override
    {
        if (receiver) {
            receiver->stopProcessLoopThread();
            receiver->joinProcessLoopThread();
        }
    }

    static void onDone(Receiver* r, void* arg)
    {
        auto* self = static_cast<ReceiverTest*>(arg);
        self->doneWith = r;
        self->done.fetch_add(1);
    }

    bool waitDone(int ms = 8000)
    {
        return waitFor([this] { return done.load() > 0; }, ms);
    }

    static TempDir* certDir;
    static stack_fixture::Certificates* certs;

    LogCapture log;
    TempDir dir;
    EventQueue queue{smallQueue()};
    std::unique_ptr<ns::net::Socket> listenSocket;
    std::unique_ptr<Sender> sender;
    std::unique_ptr<Receiver> receiver;
    std::atomic<int> done{0};
    std::atomic<Receiver*> doneWith{nullptr};
};

TempDir* ReceiverTest::certDir = nullptr;
stack_fixture::Certificates* ReceiverTest::certs = nullptr;

TEST_F(ReceiverTest, UnidirectionalSenderGetsNoAnswers)
{
    start({});
    sender->send(control(2));
    std::string frames;
    for (int i = 0; i < 3; ++i)
        frames += data(payload(100 + i, i));
    sender->send(frames + control(3, false));
    ASSERT_TRUE(waitDone());
    EXPECT_EQ(doneWith.load(), receiver.get());

    auto events = drain(queue);
    ASSERT_EQ(events.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(events[i], payload(100 + i, i));

    // Neither ACCEPT nor FINISH: after STOP the connection stays open and silent.
    EXPECT_TRUE(sender->quiet(1));
    receiver->joinProcessLoopThread();
    receiver.reset();
    EXPECT_TRUE(sender->closedByPeer());

    EXPECT_TRUE(log.has("Receiver[0]: Starting process loop"));
    EXPECT_TRUE(log.has("Receiver[0]: Handling connection from 127.0.0.1:"));
    EXPECT_TRUE(log.has("Receiver[0]: Finished process loop"));
    EXPECT_EQ(log.errors(), "");
}

TEST_F(ReceiverTest, BidirectionalSenderGetsAcceptAndFinish)
{
    start({});
    sender->send(control(4));
    EXPECT_EQ(sender->read(42), control(1));
    sender->send(control(2) + data("abc") + control(3, false));
    EXPECT_EQ(sender->read(12), control(5, false));
    ASSERT_TRUE(waitDone());
    auto events = drain(queue);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], "abc");
}

TEST_F(ReceiverTest, RealFrameStreamsClientBothModes)
{
    for (bool bidirectional : {true, false}) {
        SCOPED_TRACE(bidirectional);
        done = 0;
        start({});
        ns::net::fstrm::FstrmSocketConfig fc;
        fc.bidirectional = bidirectional;
        ns::net::fstrm::FstrmSocket fstrm(9, fc, sender->socket, sender->tls);
        fstrm.sendstart();
        std::string batch = data("one") + data("two");
        fstrm.sendblock(reinterpret_cast<const unsigned char*>(batch.data()), uint32_t(batch.size()));
        fstrm.sendstop();
        ASSERT_TRUE(waitDone());
        auto events = drain(queue);
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[1], "two");
        receiver->joinProcessLoopThread();
        receiver.reset();
    }
}

TEST_F(ReceiverTest, UnexpectedControlFramesEndTheConnection)
{
    struct Case {
        std::string opening;
        std::string message;
    };
    const Case cases[] = {
        {control(2) + data("x") + control(2), "Unexpected control message type 2"},
        {control(3), "Unexpected control message type 3"},
        {control(4), "Unexpected control message type 4"},  // READY answered, then READY again
        {control(2) + control(5, false), "Unexpected control message type 5"},
        {control(2, true, "protobuf:other.Type"), "Expected content type of protobuf:dnstap.Dnstap"},
        {be32(7), "Expected control message preamble of 0 but got 7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        done = 0;
        start({});
        sender->send(c.opening);
        if (c.opening == control(4)) {
            EXPECT_EQ(sender->read(42), control(1));
            sender->send(control(4));
        }
        ASSERT_TRUE(waitDone());
        EXPECT_TRUE(log.has("Receiver[0]: Process loop failed: " + c.message)) << log.errors();
        // The failure path closes the connection at once.
        if (c.opening != control(4)) {
            EXPECT_TRUE(sender->closedByPeer());
        }
        receiver->joinProcessLoopThread();
        receiver.reset();
    }
}

TEST_F(ReceiverTest, MetricsCountPayloadPlusLengthWord)
{
    start({});
    sender->send(control(2) + data(payload(10, 1)) + data(payload(300, 2)));
    ASSERT_TRUE(waitFor([this] { return queue.getWriteOffset() == 3 + 10 + 3 + 300; }));
    ns::metrics::ReceiverMetrics m;
    receiver->getMetrics(m);
    EXPECT_EQ(m.eventsReceived.load(), 2u);
    EXPECT_EQ(m.bytesReceived.load(), 10u + 4 + 300 + 4);
    receiver->getMetrics(m);
    EXPECT_EQ(m.eventsReceived.load(), 0u);
    EXPECT_EQ(m.bytesReceived.load(), 0u);

    sender->send(data("z") + control(3, false));
    ASSERT_TRUE(waitDone());
    receiver->getMetrics(m);
    EXPECT_EQ(m.eventsReceived.load(), 1u);
    EXPECT_EQ(m.bytesReceived.load(), 5u);

    ns::net::RemoteEndpoint peer = receiver->getRemoteEndpoint();
    EXPECT_FALSE(peer.isUnix);
    EXPECT_EQ(peer.host, "127.0.0.1");
    EXPECT_EQ(peer.port, boundPort(sender->socket.getHandle()));
}

TEST_F(ReceiverTest, DataFrameLimitIsInclusive)
{
    start({.dataFrameMaxSize = 100});
    sender->send(control(2) + data(payload(100, 3)));
    ASSERT_TRUE(waitFor([this] { return queue.getWriteOffset() == 103; }));
    sender->send(data(payload(101, 4)));
    ASSERT_TRUE(waitDone());
    EXPECT_TRUE(log.has("Receiver[0]: Process loop failed: Data frame length 101 is larger than the configured limit 100"));
    EXPECT_EQ(drain(queue).size(), 1u);
}

TEST_F(ReceiverTest, SilentConnectionEndsAfterKeepalivePlusOneWaits)
{
    for (uint32_t keepalive : {0u, 2u}) {
        SCOPED_TRACE(keepalive);
        done = 0;
        start({.readTimeout = 1, .keepalive = keepalive});
        sender->send(control(2));
        auto begin = Clock::now();
        ASSERT_TRUE(waitDone(10000));
        double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        EXPECT_GE(seconds, keepalive + 0.8);
        EXPECT_LT(seconds, keepalive + 3.0);
        EXPECT_TRUE(log.has("Receiver[0]: Process loop failed: Connection timed out"));
        receiver->joinProcessLoopThread();
        receiver.reset();
    }
}

TEST_F(ReceiverTest, DataFrameRestoresTheAllowance)
{
    // keepalive 1 with 1 s waits: two silent waits in a row end the connection;
    // frames every 1.5 s keep it alive.
    start({.readTimeout = 1, .keepalive = 1});
    sender->send(control(2));
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        ASSERT_EQ(done.load(), 0) << "ended before frame " << i;
        sender->send(data("k"));
    }
    ASSERT_TRUE(waitDone());
    EXPECT_EQ(drain(queue).size(), 3u);
    EXPECT_TRUE(log.has("Connection timed out"));
}

TEST_F(ReceiverTest, StopWhileIdleEndsWithoutCallbackOrFinish)
{
    start({.readTimeout = 1});
    sender->send(control(4));
    EXPECT_EQ(sender->read(42), control(1));
    sender->send(control(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto begin = Clock::now();
    receiver->stopProcessLoopThread();
    receiver->joinProcessLoopThread();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - begin).count(), 2.5);
    EXPECT_EQ(done.load(), 0);
    EXPECT_TRUE(log.has("Receiver[0]: Finished process loop"));
    // Closed by the stop, without FINISH.
    EXPECT_TRUE(sender->closedByPeer());
    EXPECT_EQ(log.errors(), "");
}

TEST_F(ReceiverTest, StopQueuesEveryWholeFrameReceivedThenCloses)
{
    start({.overUnix = true, .readTimeout = 2});
    sender->send(control(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // Told to stop while idle; the frames arrive before it notices. One
    // write, small enough for one socket buffer: all of it is received at
    // once. The last frame is cut short.
    receiver->stopProcessLoopThread();
    std::string frames;
    for (int i = 0; i < 200; ++i)
        frames += data(payload(90, i));
    sender->send(frames + be32(90) + payload(40, 0));
    receiver->joinProcessLoopThread();

    auto events = drain(queue);
    ASSERT_EQ(events.size(), 200u);
    EXPECT_EQ(events[199], payload(90, 199));
    EXPECT_EQ(done.load(), 0);
    // The cut frame is no failure; the connection is closed, and further
    // writes of the sender fail rather than count as delivered.
    EXPECT_EQ(log.errors(), "");
    EXPECT_TRUE(sender->closedByPeer());
    EXPECT_THROW(sender->send(data("late")), ns::net::SocketError);
}

TEST_F(ReceiverTest, StoppedBeforeItRunsTakesWhatWasWrittenAndWaitsForNothing)
{
    // A connection that waited to be accepted until the stop: what its
    // sender wrote meanwhile is taken in; nothing more is waited for
    // (read-timeout 5 s would show).
    struct Case {
        const char* what;
        std::string written;
        size_t events;
    };
    const Case cases[] = {
        {"frames, the last one cut", control(2) + data("a") + data("b") + be32(9) + "cut", 2},
        {"nothing yet", "", 0},
        {"READY: no ACCEPT, so the sender keeps its events", control(4), 0},
    };
    for (bool overUnix : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (overUnix ? " over Unix" : " over TCP"));
            ns::net::SocketConfig config = overUnix ? stack_fixture::unixConfig(dir.file("r.sock"), 5)
                                                    : stack_fixture::tcpConfig(0, 5);
            listenAndPrepareSender(config);
            sender->connect();
            if (!c.written.empty())
                sender->send(c.written);
            ReceiverConfig rc;
            rc.socketConfig = config;
            ReceiverContext context{&ReceiverTest::onDone, this, &queue};
            receiver = std::make_unique<Receiver>(rc, context, acceptOne(*listenSocket).release());

            auto begin = Clock::now();
            receiver->startProcessLoopThread(true);
            receiver->joinProcessLoopThread();
            EXPECT_LT(std::chrono::duration<double>(Clock::now() - begin).count(), 2.5);
            EXPECT_EQ(drain(queue).size(), c.events);
            EXPECT_TRUE(sender->closedByPeer());
            EXPECT_EQ(done.load(), 0);
            receiver.reset();
            listenSocket.reset();
        }
    }
    EXPECT_EQ(log.errors(), "");
}

TEST_F(ReceiverTest, EndsOfStreamAtAFrameBoundaryAreNoFailure)
{
    struct Case {
        const char* what;
        Options options;
        bool bidirectional;
        std::string tail;  // after START and one frame
        std::string line;
        bool failure;
        size_t events;
    };
    const std::string closedWithoutStop = "Receiver[0]: Sender closed the connection without STOP";
    const std::string closedBeforeFinish = "Receiver[0]: Sender closed the connection before FINISH";
    const std::string closedInsideFrame = "Receiver[0]: Process loop failed: recv() failed: socket closed";
    const Case cases[] = {
        {"close without STOP, Unix", {.overUnix = true}, false, "", closedWithoutStop, false, 1},
        {"close without STOP, TCP", {}, false, data("two"), closedWithoutStop, false, 2},
        {"close notification without STOP, TLS", {.tls = true}, false, data("two"), closedWithoutStop, false, 2},
        // The sender reads nothing after its STOP: FINISH cannot be sent.
        {"STOP, then gone before FINISH", {.overUnix = true}, true, control(3, false), closedBeforeFinish, false, 1},
        {"close inside a length word", {.overUnix = true}, false, be32(7).substr(0, 2), closedInsideFrame, true, 1},
        {"close inside a payload", {}, false, be32(7) + "sev", closedInsideFrame, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture caseLog;
        done = 0;
        start(c.options);
        if (c.bidirectional) {
            sender->send(control(4));
            EXPECT_EQ(sender->read(42), control(1));
            ::shutdown(sender->socket.getHandle(), SHUT_RD);
        }
        sender->send(control(2) + data("one") + c.tail);
        if (c.options.tls)
            sender->tls.close();
        if (!c.bidirectional)
            sender->socket.close();
        ASSERT_TRUE(waitDone());
        EXPECT_TRUE(caseLog.has(c.line)) << caseLog.all();
        EXPECT_EQ(caseLog.errors().empty(), !c.failure) << caseLog.errors();
        EXPECT_EQ(drain(queue).size(), c.events);
        receiver->joinProcessLoopThread();
        receiver.reset();
    }
}

TEST_F(ReceiverTest, UnixPeerIsLoggedWithItsCredentials)
{
    start({.overUnix = true});
    sender->send(control(2) + data("u") + control(3, false));
    ASSERT_TRUE(waitDone());
    std::string expected = "Receiver[0]: Handling connection from uid=" + std::to_string(getuid()) +
                           " gid=" + std::to_string(getgid()) + " pid=" + std::to_string(getpid());
    EXPECT_TRUE(log.has(expected)) << log.info();
    ns::net::RemoteEndpoint peer = receiver->getRemoteEndpoint();
    EXPECT_TRUE(peer.isUnix);
    EXPECT_EQ(peer.pid, uint32_t(getpid()));
    EXPECT_EQ(peer.host, "");
    EXPECT_EQ(drain(queue).size(), 1u);
}

TEST_F(ReceiverTest, TlsOverTcpAndOverUnix)
{
    for (bool overUnix : {false, true}) {
        SCOPED_TRACE(overUnix);
        done = 0;
        start({.overUnix = overUnix, .tls = true});
        sender->send(control(4));
        EXPECT_EQ(sender->read(42), control(1));
        sender->send(control(2));
        sender->send(data(payload(2000, 5)));
        sender->send(control(3, false));
        EXPECT_EQ(sender->read(12), control(5, false));
        ASSERT_TRUE(waitDone());
        auto events = drain(queue);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0], payload(2000, 5));
        EXPECT_TRUE(log.has("TlsSocket[0]: TLS handshake complete"));
        receiver->joinProcessLoopThread();
        receiver.reset();
    }
    EXPECT_EQ(log.errors(), "");
}

TEST_F(ReceiverTest, FramesInOneTlsRecordAreQueuedWithoutWaiting)
{
    // keepalive 0: a wait on the descriptor while frames sit in the TLS layer
    // would end the connection after 2 s with one frame queued.
    start({.tls = true, .readTimeout = 2, .keepalive = 0});
    sender->send(control(2));
    std::string record;
    for (int i = 0; i < 5; ++i)
        record += data(payload(50, i));
    sender->send(record);
    auto begin = Clock::now();
    ASSERT_TRUE(waitFor([this] { return queue.getWriteOffset() == 5 * 53; }, 1500)) << log.all();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - begin).count(), 1.5);
    EXPECT_EQ(done.load(), 0);
}

TEST_F(ReceiverTest, HandshakeFailureIsLoggedAfterThePeerLine)
{
    // The sender speaks plain Frame Streams to a TLS receiver.

    ns::net::SocketConfig config = stack_fixture::tcpConfig(0, 1);
    listenAndPrepareSender(config);
    sender->connect();
    ReceiverConfig rc;
    rc.socketConfig = config;
    rc.tlsSocketConfig.enabled = true;
    rc.tlsSocketConfig.validate = false;
    rc.tlsSocketConfig.certFile = certs->server.cert;
    rc.tlsSocketConfig.keyFile = certs->server.key;
    ReceiverContext context{&ReceiverTest::onDone, this, &queue};
    receiver = std::make_unique<Receiver>(rc, context, acceptOne(*listenSocket).release());
    receiver->startProcessLoopThread();
    sender->send(control(4));
    ASSERT_TRUE(waitDone());
    std::string all = log.info();
    size_t peerLine = all.rfind("Receiver[0]: Handling connection from 127.0.0.1:");
    EXPECT_NE(peerLine, std::string::npos);
    EXPECT_TRUE(log.has("Receiver[0]: Process loop failed: TLS handshake failed: ")) << log.errors();
}

TEST_F(ReceiverTest, FailedPeerLookupEndsLikeAnyFailure)
{
    // A peer that resets the connection before the receiver asks for it.
    ns::net::SocketConfig config = stack_fixture::tcpConfig(0, 1);
    listenAndPrepareSender(config);
    sender->connect();
    std::unique_ptr<ns::net::Socket> accepted = acceptOne(*listenSocket);
    linger hard{1, 0};
    setsockopt(sender->socket.getHandle(), SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    sender->socket.close();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    ReceiverConfig rc;
    rc.socketConfig = config;
    ReceiverContext context{&ReceiverTest::onDone, this, &queue};
    receiver = std::make_unique<Receiver>(rc, context, accepted.release());
    receiver->startProcessLoopThread();
    ASSERT_TRUE(waitDone());
    EXPECT_TRUE(log.has("Receiver[0]: Process loop failed: getpeername() failed: ")) << log.errors();
    // The metrics side neither throws nor touches the closed descriptor.
    ns::net::RemoteEndpoint peer;
    EXPECT_NO_THROW(peer = receiver->getRemoteEndpoint());
    EXPECT_EQ(peer.host, "");
}

} // namespace
