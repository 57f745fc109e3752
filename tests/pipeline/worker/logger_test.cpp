// Background logger: report schedule, the last report on stop, and what a
// report holds.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dns/formatter.h"
#include "foundation/log.h"
#include "pipeline/queue.h"
#include "pipeline/worker/dnstap_sender.h"
#include "pipeline/worker/forwarder.h"
#include "pipeline/worker/logger.h"

using dnstap_sender::LogCapture;
using ns::event::queue::EventQueue;
using ns::worker::logger::BackgroundLogger;
using ns::worker::logger::BackgroundLoggerConfig;
using ns::worker::logger::BackgroundLoggerContext;
using Clock = std::chrono::steady_clock;

namespace {

bool waitFor(const std::function<bool()>& ready, int ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline) {
        if (ready())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return ready();
}

long elapsedMs(Clock::time_point since)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

std::vector<std::string> metricsLines(LogCapture& log)
{
    std::vector<std::string> lines;
    const std::string all = log.info();
    size_t start = 0;
    for (size_t nl = all.find('\n'); nl != std::string::npos; nl = all.find('\n', start)) {
        std::string line = all.substr(start, nl - start);
        if (line.rfind("[INFO] Metrics: ", 0) == 0)
            lines.push_back(line);
        start = nl + 1;
    }
    return lines;
}

void append(EventQueue& queue, const std::string& payload)
{
    queue.append(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
}

class LoggerTest : public ::testing::Test {
protected:
    void start(uint32_t interval, bool json = false, std::vector<ns::worker::forwarder::Forwarder*> forwarders = {})
    {
        BackgroundLoggerConfig config;
        config.interval = interval;
        config.json = json;
        BackgroundLoggerContext context;
        context.eventQueue = &queue;
        context.forwarders = std::move(forwarders);
        logger = std::make_unique<BackgroundLogger>(config, context);
        logger->startProcessLoopThread();
    }

    void TearDown() override
    {
        if (logger) {
            logger->stopProcessLoopThread();
            logger->joinProcessLoopThread();
            logger.reset();
        }
    }

    // Stops during the wait: the thread must be past its start-up first.
    long stopInWait()
    {
        EXPECT_TRUE(waitFor([&] { return log.has("BackgroundLogger: Starting process loop"); }, 3000));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const auto t = Clock::now();
        logger->stopProcessLoopThread();
        logger->joinProcessLoopThread();
        return elapsedMs(t);
    }

    LogCapture log;
    EventQueue queue{dnstap_sender::smallQueue()};
    std::unique_ptr<BackgroundLogger> logger;
};

} // namespace

TEST_F(LoggerTest, IntervalOfOneReportsEverySecond)
{
    start(1);
    std::vector<Clock::time_point> seen;
    for (size_t n = 1; n <= 3; ++n) {
        ASSERT_TRUE(waitFor([&] { return metricsLines(log).size() >= n; }, 3000)) << log.all();
        seen.push_back(Clock::now());
    }
    for (size_t i = 1; i < seen.size(); ++i) {
        const long gap = long(std::chrono::duration_cast<std::chrono::milliseconds>(seen[i] - seen[i - 1]).count());
        EXPECT_GT(gap, 700);
        EXPECT_LT(gap, 1300);
    }
}

// The wait is counted in whole seconds from the moment it begins, so a
// report comes within the second that follows a multiple of the interval.
TEST_F(LoggerTest, ReportFollowsAMultipleOfTheInterval)
{
    start(2);
    ASSERT_TRUE(waitFor([&] { return metricsLines(log).size() >= 1; }, 4000)) << log.all();
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    const long second = ms / 1000;
    // Seen in the second after an even one, or just past its end.
    EXPECT_TRUE(second % 2 == 0 || ms % 1000 < 100) << "report seen at " << ms << " ms";
}

TEST_F(LoggerTest, StopDuringWaitReportsOnceMoreAtOnce)
{
    start(3600);
    EXPECT_LT(stopInWait(), 1000);
    const auto lines = metricsLines(log);
    ASSERT_EQ(lines.size(), 1u) << log.all();
    const std::string all = log.info();
    const size_t report = all.find("[INFO] Metrics: ");
    const size_t finished = all.find("[INFO] BackgroundLogger: Finished process loop\n");
    ASSERT_NE(finished, std::string::npos) << all;
    EXPECT_LT(report, finished);
    EXPECT_EQ(finished + std::string("[INFO] BackgroundLogger: Finished process loop\n").size(), all.size())
        << "nothing after the finish line";
    EXPECT_FALSE(log.has("failed"));
}

TEST_F(LoggerTest, StopBeforeFirstCycleWritesNoReport)
{
    {
        // The thread blocks on its first log line until the stop is in.
        std::lock_guard<std::mutex> hold(ns::log::mtx);
        start(1);
        logger->stopProcessLoopThread();
    }
    logger->joinProcessLoopThread();
    EXPECT_TRUE(log.has("[INFO] BackgroundLogger: Starting process loop\n"));
    EXPECT_TRUE(log.has("[INFO] BackgroundLogger: Finished process loop\n"));
    EXPECT_TRUE(metricsLines(log).empty()) << log.all();
}

TEST_F(LoggerTest, WithoutWorkersOnlyQueueCounters)
{
    for (int i = 0; i < 3; ++i)
        append(queue, "abc");
    std::vector<unsigned char> out;
    queue.extract(out);
    for (bool json : {false, true}) {
        SCOPED_TRACE(json ? "json" : "kv");
        LogCapture caseLog;
        start(3600, json);
        EXPECT_TRUE(waitFor([&] { return caseLog.has("BackgroundLogger: Starting process loop"); }, 3000));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        logger->stopProcessLoopThread();
        logger->joinProcessLoopThread();
        logger.reset();
        const auto lines = metricsLines(caseLog);
        ASSERT_EQ(lines.size(), 1u) << caseLog.all();
        // The second run reports only what changed since the first one.
        if (!json)
            EXPECT_EQ(lines[0], "[INFO] Metrics: queue[type=message eventsProcessed=1 eventsQueued=2 eventsDropped=0]");
        else
            EXPECT_EQ(lines[0], "[INFO] Metrics: "
                                R"({"listeners":[],"queue":{"eventsProcessed":0,"eventsQueued":2,"eventsDropped":0},"forwarders":[]})");
    }
}

TEST_F(LoggerTest, ReportsCoverCountsSinceThePreviousOne)
{
    for (int i = 0; i < 5; ++i)
        append(queue, "abc");
    start(1);
    ASSERT_TRUE(waitFor([&] { return metricsLines(log).size() >= 1; }, 3000));
    std::vector<unsigned char> out;
    queue.extract(out);
    queue.extract(out);
    ASSERT_TRUE(waitFor([&] { return metricsLines(log).size() >= 2; }, 3000));
    const auto lines = metricsLines(log);
    EXPECT_EQ(lines[0], "[INFO] Metrics: queue[type=message eventsProcessed=0 eventsQueued=5 eventsDropped=0]");
    EXPECT_EQ(lines[1], "[INFO] Metrics: queue[type=message eventsProcessed=2 eventsQueued=3 eventsDropped=0]");
}

TEST_F(LoggerTest, ForwardersAreReportedAndOwned)
{
    ns::event::format::EventFormatterConfig fc;
    fc.format = 2;
    ns::net::dns::DnsMessageEventFormatter formatter(fc);
    std::vector<ns::worker::forwarder::Forwarder*> forwarders;
    for (uint32_t id = 0; id < 2; ++id) {
        ns::worker::forwarder::ForwarderConfig c;
        c.id = id;
        c.socketConfig.isUnix = false;
        c.socketConfig.host = "127.0.0.1";
        c.socketConfig.port = uint16_t(6000 + id);
        forwarders.push_back(new ns::worker::forwarder::Forwarder(c, {&queue, &formatter}));
    }
    start(3600, false, forwarders);
    EXPECT_LT(stopInWait(), 1000);
    const auto lines = metricsLines(log);
    ASSERT_EQ(lines.size(), 1u) << log.all();
    EXPECT_EQ(lines[0],
              "[INFO] Metrics: queue[type=message eventsProcessed=0 eventsQueued=0 eventsDropped=0]"
              " forwarder[id=0 type=ipv4 host=127.0.0.1 port=6000 state=not-connected connects=0 bytesSent=0 "
              "eventsSent=0 dnstapErrors=0]"
              " forwarder[id=1 type=ipv4 host=127.0.0.1 port=6001 state=not-connected connects=0 bytesSent=0 "
              "eventsSent=0 dnstapErrors=0]");
    // The logger deletes the forwarders (a leak or double free shows under
    // the sanitizers).
    logger.reset();
}

TEST_F(LoggerTest, DestructorStopsARunningThread)
{
    start(3600);
    ASSERT_TRUE(waitFor([&] { return log.has("BackgroundLogger: Starting process loop"); }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto t = Clock::now();
    logger.reset();
    EXPECT_LT(elapsedMs(t), 1000);
    EXPECT_TRUE(log.has("BackgroundLogger: Finished process loop"));
}
