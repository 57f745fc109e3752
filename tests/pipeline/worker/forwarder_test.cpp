// Forwarder worker against in-test collectors: plain TCP line collectors and
// a Frame Streams receiver on 127.0.0.1, and standard output for run-stdout.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dns/dnstap.h"
#include "dns/formatter.h"
#include "net/fstrm.h"
#include "pipeline/queue.h"
#include "pipeline/worker/dnstap_sender.h"
#include "pipeline/worker/forwarder.h"

using dnstap_sender::LogCapture;
using ns::event::queue::EventQueue;
using ns::net::dns::DnsMessageEventFormatter;
using ns::worker::forwarder::Forwarder;
using ns::worker::forwarder::ForwarderConfig;
using ns::worker::forwarder::ForwarderContext;
using Clock = std::chrono::steady_clock;

namespace {

bool waitFor(const std::function<bool()>& ready, int ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline) {
        if (ready())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return ready();
}

long elapsedMs(Clock::time_point since)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

std::string be32(uint32_t v) { return dnstap_sender::be32(v); }

// ---- payloads ---------------------------------------------------------------

// A query for name/A, written by hand.
std::vector<unsigned char> dnsQuery(uint16_t id, const std::string& name)
{
    std::vector<unsigned char> m = {uint8_t(id >> 8), uint8_t(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    size_t start = 0;
    while (start < name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos)
            dot = name.size();
        m.push_back(uint8_t(dot - start));
        m.insert(m.end(), name.begin() + long(start), name.begin() + long(dot));
        start = dot + 1;
    }
    m.insert(m.end(), {0, 0, 1, 0, 1});
    return m;
}

// A CLIENT_QUERY dnstap payload carrying `message` (none when empty).
std::string clientQuery(const std::vector<unsigned char>& message)
{
    ns::encoding::dnstap::DnstapEvent e{};
    ns::encoding::dnstap::resetDnstapEvent(e, true);
    e.type = 5;
    e.socket_family = 1;
    e.socket_protocol = 1;
    e.query_address = {192, 0, 2, 7};
    e.response_address = {192, 0, 2, 53};
    e.query_port = 40000;
    e.query_time_sec = 1700000000;
    e.query_time_nsec = 5000;
    e.query_message = message;
    std::vector<unsigned char> out;
    ns::encoding::dnstap::encodeDnstapEvent(out, e);
    return std::string(out.begin(), out.end());
}

// Formatted as one JSON line.
std::string goodEvent(uint16_t id) { return clientQuery(dnsQuery(id, "host" + std::to_string(id) + ".example.com")); }
// Decodes, but holds no DNS message: skipped without counting an error.
std::string emptyEvent() { return clientQuery({}); }
// Not a dnstap frame: counted in dnstapErrors and skipped.
std::string garbageEvent() { return std::string("\xff\xff\xff\xff\xff", 5); }
// A DNS message that cannot be parsed: still written, as an error record
// carrying the whole packet in hexadecimal, so its line is large.
std::string bigEvent()
{
    std::vector<unsigned char> m = {0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    m.resize(60000, 0x3f);
    return clientQuery(m);
}

void append(EventQueue& queue, const std::string& payload)
{
    queue.append(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
}

std::vector<std::string> drain(EventQueue& queue) { return dnstap_sender::drain(queue); }

ns::event::queue::EventQueueConfig queueConfig() { return dnstap_sender::smallQueue(); }

// ---- collectors -------------------------------------------------------------

// A TCP collector on 127.0.0.1 with an ephemeral port. Every wait is bounded.
class Collector {
public:
    explicit Collector(int recvBuffer = 0)
    {
        listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        // Inherited by accepted connections, also by those never accepted.
        if (recvBuffer)
            setsockopt(listenFd, SOL_SOCKET, SO_RCVBUF, &recvBuffer, sizeof(recvBuffer));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(listenFd, 16) != 0)
            std::abort();
        socklen_t len = sizeof(a);
        getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Collector()
    {
        closeConnection();
        closeListener();
    }

    bool accept(int ms = 5000)
    {
        pollfd p{listenFd, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1)
            return false;
        connFd = ::accept(listenFd, nullptr, nullptr);
        return connFd >= 0;
    }

    // Exactly n bytes, or fewer when the peer closes or time runs out.
    std::string read(size_t n, int ms = 5000)
    {
        std::string s;
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (s.size() < n) {
            const long left = long(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            if (left <= 0)
                break;
            pollfd p{connFd, POLLIN, 0};
            if (::poll(&p, 1, int(left)) != 1)
                break;
            char buf[65536];
            const ssize_t r = ::recv(connFd, buf, std::min(sizeof(buf), n - s.size()), 0);
            if (r <= 0)
                break;
            s.append(buf, size_t(r));
        }
        return s;
    }

    // Reads until `lines` newlines have arrived.
    std::string readLines(size_t lines, int ms = 5000)
    {
        std::string s;
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (std::count(s.begin(), s.end(), '\n') < long(lines) && Clock::now() < deadline)
            s += read(1, 50);
        return s;
    }

    // True when nothing arrives within ms and the peer keeps the connection.
    bool quiet(int ms)
    {
        pollfd p{connFd, POLLIN, 0};
        return ::poll(&p, 1, ms) == 0;
    }

    // True when the peer closed the connection (end of stream) within ms.
    bool closedByPeer(int ms = 5000)
    {
        pollfd p{connFd, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1)
            return false;
        char c;
        return ::recv(connFd, &c, 1, 0) == 0;
    }

    void send(const std::string& bytes) { (void)!::send(connFd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

    // Aborts the connection: the peer's next send fails.
    void reset()
    {
        if (connFd < 0)
            return;
        linger l{1, 0};
        setsockopt(connFd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
        closeConnection();
    }
    void closeConnection()
    {
        if (connFd >= 0)
            ::close(connFd);
        connFd = -1;
    }
    void closeListener()
    {
        if (listenFd >= 0)
            ::close(listenFd);
        listenFd = -1;
    }

    // Frame Streams receiving side.
    // One control frame after its escape: the control type and its body.
    uint32_t readControl(std::string* body = nullptr)
    {
        const std::string escape = read(4);
        if (escape != be32(0))
            return 0xffffffff;
        const std::string len = read(4);
        if (len.size() != 4)
            return 0xffffffff;
        const uint32_t n = (uint8_t(len[0]) << 24) | (uint8_t(len[1]) << 16) | (uint8_t(len[2]) << 8) | uint8_t(len[3]);
        const std::string frame = read(n);
        if (frame.size() != n || n < 4)
            return 0xffffffff;
        if (body)
            *body = frame.substr(4);
        return (uint8_t(frame[0]) << 24) | (uint8_t(frame[1]) << 16) | (uint8_t(frame[2]) << 8) | uint8_t(frame[3]);
    }
    // The receiver's half of the opening handshake.
    bool openStream(bool bidirectional)
    {
        if (bidirectional) {
            if (readControl() != ns::net::fstrm::FSTRM_CONTROL_READY)
                return false;
            send(dnstap_sender::control(ns::net::fstrm::FSTRM_CONTROL_ACCEPT));
        }
        return readControl() == ns::net::fstrm::FSTRM_CONTROL_START;
    }

    int listenFd = -1;
    int connFd = -1;
    uint16_t port = 0;
};

// Redirects descriptor 1 into a file while alive; the log goes to a
// LogCapture meanwhile, so only event output reaches the file.
class StdoutCapture {
public:
    StdoutCapture()
    {
        char name[] = "/tmp/fwdtest-stdout-XXXXXX";
        fd = mkstemp(name);
        path = name;
        std::fflush(stdout);
        saved = dup(1);
        dup2(fd, 1);
    }
    ~StdoutCapture() { restore(); }
    std::string restore()
    {
        if (saved >= 0) {
            std::fflush(stdout);
            dup2(saved, 1);
            ::close(saved);
            saved = -1;
        }
        std::string s;
        if (fd >= 0) {
            lseek(fd, 0, SEEK_SET);
            char buf[65536];
            ssize_t r;
            while ((r = ::read(fd, buf, sizeof(buf))) > 0)
                s.append(buf, size_t(r));
            ::close(fd);
            fd = -1;
            unlink(path.c_str());
            content = s;
            // Failure messages printed meanwhile went into the file too.
            if (::testing::Test::HasFailure())
                std::fprintf(stderr, "captured standard output:\n%s\n", s.substr(0, 4000).c_str());
        }
        return content;
    }

private:
    int fd = -1;
    int saved = -1;
    std::string path;
    std::string content;
};

std::vector<std::string> splitLines(const std::string& s)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl = s.find('\n'); nl != std::string::npos; nl = s.find('\n', start)) {
        lines.push_back(s.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

std::string hexToBytes(const std::string& hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(char(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// Payloads of the Frame Streams data frames back to back in `bytes`.
std::vector<std::string> splitFrames(const std::string& bytes)
{
    std::vector<std::string> frames;
    size_t at = 0;
    while (at + 4 <= bytes.size()) {
        const uint32_t n = (uint8_t(bytes[at]) << 24) | (uint8_t(bytes[at + 1]) << 16) | (uint8_t(bytes[at + 2]) << 8) |
                           uint8_t(bytes[at + 3]);
        frames.push_back(bytes.substr(at + 4, n));
        at += 4 + n;
    }
    return frames;
}

// ---- the forwarder under test -------------------------------------------------

struct Totals {
    uint64_t bytesSent = 0, eventsSent = 0, connects = 0, dnstapErrors = 0;
    bool connected = false;
};

class ForwarderTest : public ::testing::Test {
protected:
    ForwarderConfig config(uint16_t port)
    {
        ForwarderConfig c;
        c.id = 0;
        c.socketConfig.isUnix = false;
        c.socketConfig.host = "127.0.0.1";
        c.socketConfig.port = port;
        c.socketConfig.connectTimeout = 2;
        c.socketConfig.readTimeout = 3;
        c.socketConfig.writeTimeout = 5;
        return c;
    }

    void start(ForwarderConfig c, uint32_t format)
    {
        ns::event::format::EventFormatterConfig fc;
        fc.format = format;
        fc.domainSuffix = false;
        fc.builtinSuffixes = false;
        fc.configSuffixes = false;
        formatter = std::make_unique<DnsMessageEventFormatter>(fc);
        ForwarderContext context;
        context.eventQueue = &queue;
        context.formatter = formatter.get();
        forwarder = std::make_unique<Forwarder>(c, context);
        forwarder->startProcessLoopThread();
    }

    // Stops and joins; returns the milliseconds the join took.
    long stop()
    {
        const auto t = Clock::now();
        forwarder->stopProcessLoopThread();
        forwarder->joinProcessLoopThread();
        return elapsedMs(t);
    }

    void TearDown() override
    {
        if (forwarder)
            stop();
        forwarder.reset();
    }

    // Sums of every getMetrics since the start; this test is its one caller.
    Totals totals()
    {
        ns::metrics::ForwarderMetrics m;
        forwarder->getMetrics(m);
        sums.bytesSent += m.bytesSent;
        sums.eventsSent += m.eventsSent;
        sums.connects += m.connects;
        sums.dnstapErrors += m.dnstapErrors;
        sums.connected = m.connected;
        return sums;
    }

    LogCapture log;
    EventQueue queue{queueConfig()};
    std::unique_ptr<DnsMessageEventFormatter> formatter;
    std::unique_ptr<Forwarder> forwarder;
    Totals sums;
};

constexpr uint32_t JSON = 0;
constexpr uint32_t DNSTAP = 2;

} // namespace

// ---- framing and batches -------------------------------------------------------

TEST_F(ForwarderTest, DnstapFrameOfOnePayload)
{
    Collector collector;
    ForwarderConfig c = config(collector.port);
    c.fstrmSocketConfig.bidirectional = false;
    start(c, DNSTAP);
    ASSERT_TRUE(collector.accept());
    ASSERT_TRUE(collector.openStream(false));

    const std::string payload = dnstap_sender::payload(300, 3);
    append(queue, payload);
    const std::string got = collector.read(304);
    EXPECT_EQ(got, std::string("\x00\x00\x01\x2c", 4) + payload);
    ASSERT_TRUE(waitFor([&] { return sums.eventsSent >= 1 || totals().eventsSent >= 1; }, 3000));
    EXPECT_EQ(sums.bytesSent, 304u);
    EXPECT_EQ(sums.eventsSent, 1u);
    EXPECT_EQ(sums.connects, 1u);
    EXPECT_TRUE(sums.connected);
    EXPECT_TRUE(log.has("Forwarder[0]: Configured target is 127.0.0.1:" + std::to_string(collector.port)));
}

TEST_F(ForwarderTest, DnstapEventsArriveInOrderAsFrames)
{
    Collector collector;
    ForwarderConfig c = config(collector.port);
    c.fstrmSocketConfig.bidirectional = true;
    std::vector<std::string> payloads;
    for (int i = 0; i < 250; ++i) {
        payloads.push_back(dnstap_sender::payload(size_t(1 + i % 40), i));
        append(queue, payloads.back());
    }
    start(c, DNSTAP);
    ASSERT_TRUE(collector.accept());
    ASSERT_TRUE(collector.openStream(true));
    size_t total = 0;
    for (const auto& p : payloads)
        total += 4 + p.size();
    EXPECT_EQ(splitFrames(collector.read(total)), payloads);
    ASSERT_TRUE(waitFor([&] { return totals().eventsSent >= 250; }, 3000));
    EXPECT_EQ(sums.bytesSent, total);
}

TEST_F(ForwarderTest, StdoutBatchSizesFollowBatchSize)
{
    struct Case {
        uint32_t batchSize;
        int events;
        std::vector<size_t> framesPerLine;
    };
    const Case cases[] = {
        {1, 3, {1, 1, 1}},
        {100, 250, {100, 100, 50}},
        {7, 7, {7}},
        // Beyond one queue call's worth of events, and the largest setting,
        // whose batch memory must grow with what is taken.
        {5000, 10001, {5000, 5000, 1}},
        {UINT32_MAX, 10000, {10000}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE("batchSize " + std::to_string(k.batchSize));
        EventQueue q(queueConfig());
        std::vector<std::string> payloads;
        for (int i = 0; i < k.events; ++i) {
            payloads.push_back(dnstap_sender::payload(size_t(1 + i % 5), i));
            append(q, payloads.back());
        }
        ns::event::format::EventFormatterConfig fc;
        fc.format = DNSTAP;
        DnsMessageEventFormatter f(fc);
        ForwarderConfig c = config(9);
        c.batchSize = k.batchSize;
        c.forceStdout = true;
        Forwarder fwd(c, ForwarderContext{&q, &f});
        std::string out;
        uint64_t events = 0;
        {
            StdoutCapture capture;
            fwd.startProcessLoopThread();
            ns::metrics::ForwarderMetrics m;
            ASSERT_TRUE(waitFor([&] {
                fwd.getMetrics(m);
                events += m.eventsSent;
                return events >= uint64_t(k.events);
            }, 5000));
            fwd.stopProcessLoopThread();
            fwd.joinProcessLoopThread();
            out = capture.restore();
        }
        const auto lines = splitLines(out);
        ASSERT_EQ(lines.size(), k.framesPerLine.size()) << out.substr(0, 200);
        std::vector<std::string> all;
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].find_first_not_of("0123456789ABCDEF"), std::string::npos);
            auto frames = splitFrames(hexToBytes(lines[i]));
            EXPECT_EQ(frames.size(), k.framesPerLine[i]);
            all.insert(all.end(), frames.begin(), frames.end());
        }
        EXPECT_EQ(all, payloads);
        EXPECT_EQ(out.size(), out.find_last_of('\n') + 1) << "output ends with a newline";
    }
}

TEST_F(ForwarderTest, StdoutDnstapLineIsUpperCaseHexOfFrames)
{
    append(queue, "\xaa");
    append(queue, "\xbb\xcc");
    ForwarderConfig c = config(9);
    c.forceStdout = true;
    std::string out;
    {
        StdoutCapture capture;
        start(c, DNSTAP);
        ASSERT_TRUE(waitFor([&] { return totals().eventsSent >= 2; }, 5000));
        stop();
        out = capture.restore();
    }
    EXPECT_EQ(out, "00000001AA00000002BBCC\n");
    // The bytes of the batch, before hexadecimal rendering; never a connect.
    EXPECT_EQ(sums.bytesSent, 11u);
    EXPECT_EQ(totals().connects, 0u);
    EXPECT_FALSE(sums.connected);
    EXPECT_FALSE(log.has("Connected"));
}

TEST_F(ForwarderTest, StdoutTextLinesAsFormatted)
{
    append(queue, goodEvent(1));
    append(queue, emptyEvent());
    append(queue, goodEvent(2));
    ForwarderConfig c = config(9);
    c.forceStdout = true;
    std::string out;
    {
        StdoutCapture capture;
        start(c, JSON);
        ASSERT_TRUE(waitFor([&] { return totals().eventsSent >= 2; }, 5000));
        stop();
        out = capture.restore();
    }
    const auto lines = splitLines(out);
    ASSERT_EQ(lines.size(), 2u) << out;
    EXPECT_NE(lines[0].find("host1.example.com"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("host2.example.com"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[0].front(), '{');
    EXPECT_EQ(sums.bytesSent, out.size());
    EXPECT_EQ(sums.connects, 0u);
}

// ---- per-event failures -------------------------------------------------------

TEST_F(ForwarderTest, BatchOfUndecodableEventsSendsNothingAndGoesOn)
{
    Collector collector;
    ForwarderConfig c = config(collector.port);
    c.batchSize = 3;
    for (int i = 0; i < 3; ++i)
        append(queue, garbageEvent());
    append(queue, goodEvent(7));
    start(c, JSON);
    ASSERT_TRUE(collector.accept());
    const std::string got = collector.readLines(1);
    ASSERT_EQ(splitLines(got).size(), 1u) << got;
    EXPECT_NE(got.find("host7.example.com"), std::string::npos);
    EXPECT_TRUE(collector.quiet(200));
    ASSERT_TRUE(waitFor([&] { return totals().eventsSent >= 1; }, 3000));
    EXPECT_EQ(sums.dnstapErrors, 3u);
    EXPECT_EQ(sums.eventsSent, 1u);
    EXPECT_EQ(sums.bytesSent, got.size());
}

TEST_F(ForwarderTest, SkippedEventsLeaveNoTextBehind)
{
    Collector collector;
    ForwarderConfig c = config(collector.port);
    append(queue, emptyEvent());
    append(queue, goodEvent(1));
    append(queue, garbageEvent());
    append(queue, goodEvent(2));
    append(queue, emptyEvent());
    start(c, JSON);
    ASSERT_TRUE(collector.accept());
    const std::string got = collector.readLines(2);
    const auto lines = splitLines(got);
    ASSERT_EQ(lines.size(), 2u) << got;
    for (const auto& line : lines) {
        EXPECT_EQ(line.front(), '{');
        EXPECT_EQ(line.back(), '}');
    }
    ASSERT_TRUE(waitFor([&] { return totals().eventsSent >= 2; }, 3000));
    EXPECT_EQ(sums.dnstapErrors, 1u);
    EXPECT_EQ(sums.bytesSent, got.size());
}

// ---- connection errors, recovery and reconnects ----------------------------

namespace {

struct RecoveryCase {
    const char* name;
    bool requeue;
    bool durable;
    // Indexes into the queued events expected back in the queue, in order.
    std::vector<int> returned;
    std::vector<std::string> lines;
    std::vector<std::string> absent;
};

} // namespace

// Batch 1 (sent): a1, skipped, a2. Batch 2 (its send fails): undecodable,
// big. The big line cannot fit the collector's small buffers, so its send is
// still under way when the collector aborts the connection.
TEST_F(ForwarderTest, RecoveryModesAfterFailedSend)
{
    const RecoveryCase cases[] = {
        {"drop", false, false, {}, {}, {"Returning"}},
        {"best-effort", true, false, {4}, {"Forwarder[0]: Returning 1 current events back to the event queue"},
         {"previous events"}},
        {"durable", true, true, {0, 2, 4},
         {"Forwarder[0]: Returning 2 previous events back to the event queue",
          "Forwarder[0]: Returning 1 current events back to the event queue"},
         {}},
    };
    const std::vector<std::string> events = {goodEvent(1), emptyEvent(), goodEvent(2), garbageEvent(), bigEvent()};

    for (const RecoveryCase& k : cases) {
        SCOPED_TRACE(k.name);
        LogCapture caseLog;
        EventQueue q(queueConfig());
        for (const auto& e : events)
            append(q, e);
        Collector collector(4096);
        ForwarderConfig c = config(collector.port);
        c.batchSize = 3;
        c.requeue = k.requeue;
        c.durable = k.durable;
        c.socketConfig.sendBufferSize = 4096;
        ns::event::format::EventFormatterConfig fc;
        fc.domainSuffix = false;
        DnsMessageEventFormatter f(fc);
        Forwarder fwd(c, ForwarderContext{&q, &f});
        fwd.startProcessLoopThread();

        ASSERT_TRUE(collector.accept());
        uint64_t sent = 0, connects = 0;
        ns::metrics::ForwarderMetrics m;
        auto poll = [&] {
            fwd.getMetrics(m);
            sent += m.eventsSent;
            connects += m.connects;
        };
        ASSERT_TRUE(waitFor([&] { poll(); return sent >= 2; }, 5000));
        // Batch 2 is taken and its send is stuck on the full buffers.
        ASSERT_TRUE(waitFor([&] { return q.getReadOffset() == q.getWriteOffset(); }, 3000));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        poll();
        ASSERT_EQ(sent, 2u) << "the big batch went through; buffers too large for this test";

        // The listener goes first: the reconnect that follows the reset must
        // be refused, not completed by the kernel's accept queue.
        collector.closeListener();
        const auto broken = Clock::now();
        collector.reset();
        // The broken connection reconnects at once; that refused attempt pauses.
        ASSERT_TRUE(waitFor([&] { return caseLog.count("Forwarder[0]: Connection error: ") >= 2; }, 3000))
            << caseLog.all();
        EXPECT_LT(elapsedMs(broken), 1500);
        poll();
        EXPECT_EQ(connects, 2u);
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        poll();
        EXPECT_EQ(connects, 2u) << "no attempt during the pause";
        EXPECT_EQ(caseLog.count("Forwarder[0]: Connection error: "), 2u);

        // A stop during the pause ends it within a second.
        const auto t = Clock::now();
        fwd.stopProcessLoopThread();
        fwd.joinProcessLoopThread();
        EXPECT_LT(elapsedMs(t), 2000);
        poll();
        EXPECT_EQ(connects, 2u);
        EXPECT_EQ(sent, 2u);
        EXPECT_FALSE(m.connected);

        std::vector<std::string> expected;
        for (int i : k.returned)
            expected.push_back(events[size_t(i)]);
        EXPECT_EQ(drain(q), expected);
        size_t last = 0;
        for (const auto& line : k.lines) {
            const size_t at = caseLog.all().find(line);
            EXPECT_NE(at, std::string::npos) << line << "\n" << caseLog.all();
            if (at != std::string::npos) {
                EXPECT_GE(at, last) << "out of order: " << line;
                last = at;
            }
            EXPECT_EQ(caseLog.count(line), 1u) << line;
        }
        for (const auto& text : k.absent)
            EXPECT_FALSE(caseLog.has(text)) << text;
        EXPECT_TRUE(caseLog.has("Forwarder[0]: Finished process loop"));
    }
}

TEST_F(ForwarderTest, WorkingConnectionBrokenReconnectsAtOnce)
{
    Collector collector;
    ForwarderConfig c = config(collector.port);
    c.requeue = true;
    start(c, JSON);
    ASSERT_TRUE(collector.accept());
    ASSERT_TRUE(waitFor([&] { return log.has("Connected to 127.0.0.1"); }, 3000));
    collector.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const auto t = Clock::now();
    append(queue, goodEvent(3));
    // The send fails; the event goes back and the reconnect comes at once.
    ASSERT_TRUE(collector.accept(3000)) << log.all();
    EXPECT_LT(elapsedMs(t), 2000);
    const std::string got = collector.readLines(1);
    EXPECT_NE(got.find("host3.example.com"), std::string::npos) << got;
    ASSERT_TRUE(waitFor([&] { return totals().eventsSent >= 1; }, 3000));
    EXPECT_EQ(sums.connects, 2u);
    EXPECT_EQ(sums.eventsSent, 1u);
    EXPECT_EQ(log.count("Forwarder[0]: Connection error: "), 1u);
    EXPECT_TRUE(log.has("Forwarder[0]: Returning 1 current events back to the event queue"));
}

TEST_F(ForwarderTest, FirstConnectFailurePausesAndStopEndsThePause)
{
    uint16_t port;
    {
        Collector closed;
        port = closed.port;
    }
    append(queue, goodEvent(1));
    start(config(port), JSON);
    ASSERT_TRUE(waitFor([&] { return log.has("Forwarder[0]: Connection error: "); }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_EQ(totals().connects, 1u) << "the first failed attempt after start pauses";
    EXPECT_EQ(log.count("Forwarder[0]: Connection error: "), 1u);
    EXPECT_LT(stop(), 2000);
    EXPECT_EQ(totals().connects, 1u);
    EXPECT_TRUE(log.has("Forwarder[0]: Finished process loop"));
    // Nothing was taken: the event stays queued for the queue file.
    EXPECT_EQ(drain(queue).size(), 1u);
}

TEST_F(ForwarderTest, RefusedFrameStreamsHandshakePauses)
{
    Collector collector;
    ForwarderConfig c = config(collector.port);
    c.fstrmSocketConfig.bidirectional = true;
    start(c, DNSTAP);
    ASSERT_TRUE(collector.accept());
    ASSERT_EQ(collector.readControl(), ns::net::fstrm::FSTRM_CONTROL_READY);
    collector.send(dnstap_sender::control(ns::net::fstrm::FSTRM_CONTROL_FINISH, true));
    ASSERT_TRUE(waitFor([&] { return log.has("Forwarder[0]: Connection error: "); }, 3000));
    EXPECT_TRUE(log.has("Forwarder[0]: Connection error: Expected ACCEPT(1) control message but got 5")) << log.all();
    EXPECT_TRUE(collector.closedByPeer(2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(totals().connects, 1u) << "an unestablished connection pauses";
    EXPECT_FALSE(sums.connected);
    EXPECT_LT(stop(), 2000);
}

// ---- stopping -------------------------------------------------------------

TEST_F(ForwarderTest, StopWakesIdleForwarderAndEndsStream)
{
    for (bool bidirectional : {true, false}) {
        SCOPED_TRACE(bidirectional ? "bidirectional" : "unidirectional");
        Collector collector;
        ForwarderConfig c = config(collector.port);
        c.fstrmSocketConfig.bidirectional = bidirectional;
        start(c, DNSTAP);
        ASSERT_TRUE(collector.accept());
        ASSERT_TRUE(collector.openStream(bidirectional));
        ASSERT_TRUE(waitFor([&] { return totals().connected; }, 3000));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

        const auto t = Clock::now();
        forwarder->stopProcessLoopThread();
        EXPECT_EQ(collector.readControl(), ns::net::fstrm::FSTRM_CONTROL_STOP);
        if (bidirectional)
            collector.send(dnstap_sender::control(ns::net::fstrm::FSTRM_CONTROL_FINISH, false));
        forwarder->joinProcessLoopThread();
        EXPECT_LT(elapsedMs(t), 2000);
        EXPECT_TRUE(collector.closedByPeer(2000));
        EXPECT_FALSE(log.has("Connection error")) << log.all();
        EXPECT_FALSE(totals().connected);
        forwarder.reset();
        sums = Totals();
    }
}

TEST_F(ForwarderTest, StopOfIdleStdoutForwarder)
{
    ForwarderConfig c = config(9);
    c.forceStdout = true;
    start(c, JSON);
    ASSERT_TRUE(waitFor([&] { return log.has("Forwarder[0]: Configured target is 127.0.0.1:9"); }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_LT(stop(), 1000);
    EXPECT_TRUE(log.has("Forwarder[0]: Finished process loop"));
}

TEST_F(ForwarderTest, DestructorStopsARunningThread)
{
    ForwarderConfig c = config(9);
    c.forceStdout = true;
    start(c, JSON);
    ASSERT_TRUE(waitFor([&] { return log.has("Forwarder[0]: Starting process loop"); }, 3000));
    const auto t = Clock::now();
    forwarder.reset();
    EXPECT_LT(elapsedMs(t), 1000);
    EXPECT_TRUE(log.has("Forwarder[0]: Finished process loop"));
}

TEST_F(ForwarderTest, GetMetricsReportsGrowthSincePreviousCall)
{
    append(queue, "\x01\x02\x03");
    ForwarderConfig c = config(9);
    c.forceStdout = true;
    {
        StdoutCapture capture;
        start(c, DNSTAP);
        ASSERT_TRUE(waitFor([&] { return totals().eventsSent >= 1; }, 3000));
        append(queue, "\x04");
        ASSERT_TRUE(waitFor([&] { return totals().eventsSent >= 2; }, 3000));
        stop();
        capture.restore();
    }
    ns::metrics::ForwarderMetrics m;
    forwarder->getMetrics(m);
    EXPECT_EQ(m.eventsSent, 0u);
    EXPECT_EQ(m.bytesSent, 0u);
    EXPECT_EQ(sums.bytesSent, 7u + 5u);
    EXPECT_EQ(sums.eventsSent, 2u);
}
