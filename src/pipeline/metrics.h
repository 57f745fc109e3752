// Counter records of the queue and the workers, and the report formatter.
//
// Each record serves twice: as a worker's live record (running totals) and as
// the record handed to a report, where getMetrics stores growth since the
// previous report or a current value. Counters are atomics so the background
// logger can read them while workers update them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace ns::metrics {

struct EventQueueMetrics {
    std::atomic<uint64_t> eventsProcessed{0};
    std::atomic<uint64_t> eventsQueued{0};
    std::atomic<uint64_t> eventsDropped{0};

    EventQueueMetrics() = default;
    EventQueueMetrics(const EventQueueMetrics&) = delete;
    EventQueueMetrics& operator=(const EventQueueMetrics&) = delete;
};

struct ReceiverMetrics {
    uint32_t id = 0;
    bool isUnix = false;
    bool useIpv6 = false;
    std::string path;
    std::string host;
    uint16_t port = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t pid = 0;
    std::atomic<uint64_t> bytesReceived{0};
    std::atomic<uint64_t> eventsReceived{0};

    ReceiverMetrics() = default;
    ReceiverMetrics(const ReceiverMetrics&) = delete;
    ReceiverMetrics& operator=(const ReceiverMetrics&) = delete;
};

struct ListenerMetrics {
    uint32_t id = 0;
    bool isUnix = false;
    bool useIpv6 = false;
    std::string path;
    std::string host;
    uint16_t port = 0;
    std::atomic<uint64_t> accepts{0};
    std::atomic<uint64_t> activeReceivers{0};
    std::atomic<uint64_t> peakReceivers{0};
    uint32_t receiverCount = 0;
    // Owned; only grows. Only the first receiverCount entries are current.
    std::vector<ReceiverMetrics*> receivers;

    ListenerMetrics() = default;
    ~ListenerMetrics();
    ListenerMetrics(const ListenerMetrics&) = delete;
    ListenerMetrics& operator=(const ListenerMetrics&) = delete;
};

struct ForwarderMetrics {
    uint32_t id = 0;
    bool useIpv6 = false;
    std::string host;
    uint16_t port = 0;
    bool connected = false;
    std::atomic<uint64_t> bytesSent{0};
    std::atomic<uint64_t> eventsSent{0};
    std::atomic<uint64_t> connects{0};
    std::atomic<uint64_t> dnstapErrors{0};

    ForwarderMetrics() = default;
    ForwarderMetrics(const ForwarderMetrics&) = delete;
    ForwarderMetrics& operator=(const ForwarderMetrics&) = delete;
};

// One growth counter of a report: reads the live counter once, keeps the
// value read in `reported` for the next report and returns the growth since
// the previous one. A counter that went backwards (a cleared queue) is
// reported as its own value.
uint64_t takeGrowth(const std::atomic<uint64_t>& live, std::atomic<uint64_t>& reported);

// One report. Owns every record its two vectors point to.
struct MetricsEvent {
    uint64_t seconds = 0;
    uint32_t nanoseconds = 0;
    uint32_t listenerCount = 0;
    std::vector<ListenerMetrics*> listeners;
    uint32_t forwarderCount = 0;
    std::vector<ForwarderMetrics*> forwarders;
    EventQueueMetrics queue;

    MetricsEvent() = default;
    ~MetricsEvent();
    MetricsEvent(const MetricsEvent&) = delete;
    MetricsEvent& operator=(const MetricsEvent&) = delete;
};

// Renders a report as one JSON object or one line of key=value text.
class MetricsEventFormatter {
public:
    MetricsEventFormatter() {}
    ~MetricsEventFormatter() {}

    // Appends the report to out; no newline; event is left unchanged.
    void format(std::vector<uint8_t>& out, MetricsEvent& event, bool json);
};

} // namespace ns::metrics
