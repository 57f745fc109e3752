#include "pipeline/worker/logger.h"

#include <chrono>
#include <ctime>
#include <memory>
#include <string>

#include "foundation/log.h"
#include "pipeline/queue.h"
#include "pipeline/worker/forwarder.h"
#include "pipeline/worker/listener.h"

namespace ns::worker::logger {

BackgroundLogger::BackgroundLogger(BackgroundLoggerConfig config_, BackgroundLoggerContext context)
    : config(config_), listeners(context.listeners), eventQueue(context.eventQueue),
      forwarders(context.forwarders)
{
    // The logger divides by the interval.
    if (config.interval == 0)
        config.interval = 1;
}

BackgroundLogger::~BackgroundLogger()
{
    if (thread) {
        stopProcessLoopThread();
        joinProcessLoopThread();
    }
    for (auto* forwarder : forwarders)
        delete forwarder;
    delete thread;
}

void BackgroundLogger::startProcessLoopThread()
{
    if (thread)
        return;
    stop = false;
    thread = new std::thread(BackgroundLogger_processLoop, this);
}

void BackgroundLogger::stopProcessLoopThread()
{
    if (!thread)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    cond.notify_all();
}

void BackgroundLogger::joinProcessLoopThread()
{
    if (thread && thread->joinable())
        thread->join();
}

void BackgroundLogger::processLoop()
{
    auto report = std::make_unique<ns::metrics::MetricsEvent>();
    for (auto* listener : listeners) {
        auto* m = new ns::metrics::ListenerMetrics;
        report->listeners.push_back(m);
        m->id = listener->getId();
        m->isUnix = listener->getIsUnix();
        m->useIpv6 = listener->getUseIpv6();
        m->path = listener->getPath();
        m->host = listener->getHost();
        m->port = listener->getPort();
    }
    for (auto* forwarder : forwarders) {
        auto* m = new ns::metrics::ForwarderMetrics;
        report->forwarders.push_back(m);
        m->id = forwarder->getId();
        m->useIpv6 = forwarder->getUseIpv6();
        m->host = forwarder->getHost();
        m->port = forwarder->getPort();
    }
    std::vector<uint8_t> text;

    if (stop)
        return;
    do {
        const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
        const uint64_t wait = config.interval - now % config.interval;
        {
            std::unique_lock<std::mutex> lock(mutex);
            const auto deadline = std::chrono::system_clock::now() + std::chrono::seconds(wait);
            while (!stop && cond.wait_until(lock, deadline) != std::cv_status::timeout) {
            }
        }
        try {
            const auto clock = std::chrono::system_clock::now().time_since_epoch();
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(clock).count();
            report->seconds = static_cast<uint64_t>(ns / 1000000000);
            report->nanoseconds = static_cast<uint32_t>(ns % 1000000000);
            report->listenerCount = static_cast<uint32_t>(listeners.size());
            for (size_t i = 0; i < listeners.size(); ++i)
                listeners[i]->getMetrics(*report->listeners[i]);
            eventQueue->getMetrics(report->queue);
            report->forwarderCount = static_cast<uint32_t>(forwarders.size());
            for (size_t i = 0; i < forwarders.size(); ++i)
                forwarders[i]->getMetrics(*report->forwarders[i]);
            text.clear();
            formatter.format(text, *report, config.json);
            std::string line = "Metrics: ";
            line.append(text.begin(), text.end());
            ns::log::info(line.c_str());
        } catch (const std::exception& e) {
            ns::log::error((std::string("BackgroundLogger: Report metrics failed: ") + e.what()).c_str());
        }
    } while (!stop);
}

void BackgroundLogger_processLoop(BackgroundLogger* logger)
{
    try {
        ns::log::info("BackgroundLogger: Starting process loop");
        logger->processLoop();
        ns::log::info("BackgroundLogger: Finished process loop");
    } catch (const std::exception& e) {
        ns::log::error((std::string("BackgroundLogger: Process loop failed: ") + e.what()).c_str());
    }
}

} // namespace ns::worker::logger
