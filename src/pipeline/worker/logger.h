// The background logger: writes the metrics report of the listeners, the
// queue and the forwarders to the log at every wall-clock multiple of its
// interval, and once more when stopped. It owns the forwarders.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "pipeline/metrics.h"

namespace ns::event::queue {
class EventQueue;
}
namespace ns::worker::listener {
class Listener;
}
namespace ns::worker::forwarder {
class Forwarder;
}

namespace ns::worker::logger {

struct BackgroundLoggerConfig {
    uint32_t interval = 600;  // seconds between reports; at least 1
    bool json = false;        // JSON report instead of key=value text
};

struct BackgroundLoggerContext {
    std::vector<ns::worker::listener::Listener*> listeners;    // not owned
    ns::event::queue::EventQueue* eventQueue = nullptr;        // not owned
    std::vector<ns::worker::forwarder::Forwarder*> forwarders;  // owned by the logger
};

class BackgroundLogger {
public:
    BackgroundLogger(BackgroundLoggerConfig config, BackgroundLoggerContext context);
    // Deletes the forwarders; joins the thread first if it still runs.
    ~BackgroundLogger();
    BackgroundLogger(const BackgroundLogger&) = delete;
    BackgroundLogger& operator=(const BackgroundLogger&) = delete;

    void startProcessLoopThread();
    // Sets the stop flag under the mutex and wakes the wait; no join.
    void stopProcessLoopThread();
    void joinProcessLoopThread();

    void processLoop();

private:
    BackgroundLoggerConfig config;
    ns::metrics::MetricsEventFormatter formatter;
    std::vector<ns::worker::listener::Listener*> listeners;
    ns::event::queue::EventQueue* eventQueue;
    std::vector<ns::worker::forwarder::Forwarder*> forwarders;
    std::thread* thread = nullptr;
    std::atomic<bool> stop{false};
    std::condition_variable cond;  // the wait between reports
    std::mutex mutex;              // guards the wait on cond and the stop request
};

void BackgroundLogger_processLoop(BackgroundLogger* logger);

} // namespace ns::worker::logger
