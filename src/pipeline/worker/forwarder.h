// Forwarder settings: one record per `forwarder` entry, and its parser; and
// the forwarder worker, which delivers queued events to one collector.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "dns/dnstap.h"
#include "dns/event.h"
#include "foundation/error.h"
#include "net/fstrm.h"
#include "net/net.h"
#include "net/tls.h"
#include "pipeline/metrics.h"

namespace ns::event::queue {
class EventQueue;
}
namespace ns::net::dns {
class DnsMessageEventFormatter;
}

namespace ns::worker::forwarder {

NS_DECLARE_ERROR(ForwarderError);

// Settings of one collector connection; copied by value into its forwarder.
struct ForwarderConfig {
    uint32_t id = 0;
    uint32_t batchSize = 100;  // most events taken from the queue per send
    bool requeue = true;       // unsent events of a batch go back after an error
    bool durable = false;      // the batch sent just before an error goes back too
    bool forceStdout = false;  // run-stdout mode; never set by the parser
    ns::net::SocketConfig socketConfig;
    ns::net::tls::TlsSocketConfig tlsSocketConfig;
    ns::net::fstrm::FstrmSocketConfig fstrmSocketConfig;
};

struct ForwardersConfig {
    std::vector<ForwarderConfig> forwarders;
};

// Reads "ipv4|ipv6 host port [name=value ...]" into config; fields the text
// does not name keep their values. Throws ForwarderError at the first
// rejected token, leaving config partly filled.
void parseForwarder(const char* text, ForwarderConfig& config);

struct ForwarderContext {
    ns::event::queue::EventQueue* eventQueue = nullptr;        // not owned
    ns::net::dns::DnsMessageEventFormatter* formatter = nullptr;  // not owned; used by this forwarder alone
};

// Events taken from the queue for one send. `raw` holds the payloads of the
// kept events back to back, so they can be returned to the queue after a
// connection error.
struct ForwarderBatch {
    explicit ForwarderBatch(uint32_t batchSize) : limit(batchSize) {}

    // Room for n lengths from index i on. The array grows with the events
    // actually taken, up to the batch size, so that a huge batch-size costs
    // nothing until that many events are waiting.
    uint32_t* lengthsAt(uint32_t i, size_t n)
    {
        if (lengths.size() < i + n)
            lengths.resize(std::min<size_t>(limit, std::max<size_t>(i + n, 2 * lengths.size())));
        return lengths.data() + i;
    }

    void clear()
    {
        raw.clear();
        bytes = 0;
        count = 0;
        extracted = 0;
    }

    std::vector<unsigned char> raw;
    uint32_t bytes = 0;             // sendBuffer length after the last kept event
    uint32_t count = 0;             // kept events
    std::vector<uint32_t> lengths;  // per extracted event: payload length, 0 if skipped
    uint32_t extracted = 0;
    uint32_t limit;                 // the batch size
};

// Delivers events from the queue to one collector on a thread of its own,
// reconnecting after errors and returning events per its recovery mode.
//
// The transport stack belongs to the forwarder thread once it runs; the
// background logger reads only the atomic counters and `connected`.
class Forwarder {
public:
    Forwarder(ForwarderConfig config, ForwarderContext context);
    ~Forwarder();
    Forwarder(const Forwarder&) = delete;
    Forwarder& operator=(const Forwarder&) = delete;

    uint32_t getId() const { return config.id; }
    std::string getHost() const { return config.socketConfig.host; }
    uint16_t getPort() const { return config.socketConfig.port; }
    bool getUseIpv6() const { return config.socketConfig.useIpv6; }

    // Counters since the previous call and the current connection state.
    void getMetrics(ns::metrics::ForwarderMetrics& out);

    void startProcessLoopThread();
    // Sets the stop flag and wakes forwarders asleep on the queue; no join.
    void stopProcessLoopThread();
    void joinProcessLoopThread();

    void processLoop();

private:
    void connect(bool& connectedSinceError);
    bool fillBatch();
    void sendBatch();
    void disconnect();
    void requeueData();
    void returnBatch(const ForwarderBatch& batch, const char* which);
    void writeStdout();

    ForwarderConfig config;
    ForwarderContext context;
    ns::net::Socket* socket;
    ns::net::tls::TlsSocket* tlsSocket;
    ns::net::fstrm::FstrmSocket* fstrmSocket;
    std::vector<unsigned char> sendBuffer;
    ForwarderBatch* current;
    ForwarderBatch* previous;
    std::thread* thread = nullptr;
    std::atomic<bool> stop{false};
    // Mirrors the socket's state for the logger thread.
    std::atomic<bool> connected{false};
    std::string prefix;  // "Forwarder[id]: "
    std::vector<unsigned char> stdoutLine;
    // Decoding workspace of this thread, reused for every event.
    ns::encoding::dnstap::DnstapEvent dnstapEvent;
    ns::net::dns::DnsMessageEvent messageEvent;
    ns::metrics::ForwarderMetrics metrics;
    ns::metrics::ForwarderMetrics lastReported;
};

void Forwarder_processLoop(Forwarder* forwarder);

} // namespace ns::worker::forwarder
