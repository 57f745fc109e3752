#include "pipeline/metrics.h"

#include <algorithm>

#include "foundation/encoding/data.h"
#include "foundation/encoding/json.h"

namespace ns::metrics {

using ns::encoding::data::formatBytes;
using ns::encoding::data::formatChar;
using ns::encoding::data::formatChars;
using ns::encoding::data::formatUint;
using ns::encoding::json::formatJsonKey;
using ns::encoding::json::formatJsonStr;

ListenerMetrics::~ListenerMetrics()
{
    for (ReceiverMetrics* r : receivers)
        delete r;
}

uint64_t takeGrowth(const std::atomic<uint64_t>& live, std::atomic<uint64_t>& reported)
{
    const uint64_t now = live.load();
    const uint64_t before = reported.load();
    reported = now;
    return now >= before ? now - before : now;
}

MetricsEvent::~MetricsEvent()
{
    for (ListenerMetrics* l : listeners)
        delete l;
    for (ForwarderMetrics* f : forwarders)
        delete f;
}

namespace {

using Out = std::vector<uint8_t>;

// The counts are kept apart from the vectors; never walk past either.
uint32_t listenerTotal(const MetricsEvent& e)
{
    return uint32_t(std::min<size_t>(e.listenerCount, e.listeners.size()));
}

uint32_t forwarderTotal(const MetricsEvent& e)
{
    return uint32_t(std::min<size_t>(e.forwarderCount, e.forwarders.size()));
}

uint32_t receiverTotal(const ListenerMetrics& l)
{
    return uint32_t(std::min<size_t>(l.receiverCount, l.receivers.size()));
}

void jsonText(Out& out, const std::string& s)
{
    formatJsonStr(out, reinterpret_cast<const uint8_t*>(s.data()), uint32_t(s.size()));
}

void rawText(Out& out, const std::string& s)
{
    formatBytes(out, reinterpret_cast<const uint8_t*>(s.data()), uint32_t(s.size()));
}

void jsonUint(Out& out, const char* key, uint64_t value)
{
    formatJsonKey(out, key, false);
    formatUint(out, value);
}

void jsonName(Out& out, const char* key, const char* name)
{
    formatJsonKey(out, key, false);
    formatChar(out, '"');
    formatChars(out, name);
    formatChar(out, '"');
}

void textUint(Out& out, const char* key, uint64_t value)
{
    formatChars(out, key);
    formatUint(out, value);
}

// Opens a record: '{' and its id as the first key.
void jsonOpen(Out& out, uint32_t id)
{
    formatChar(out, '{');
    formatJsonKey(out, "id", true);
    formatUint(out, id);
}

// The type, host and port of a TCP listener, receiver or forwarder.
void jsonTcp(Out& out, bool useIpv6, const std::string& host, uint16_t port)
{
    jsonName(out, "type", useIpv6 ? "ipv6" : "ipv4");
    formatJsonKey(out, "host", false);
    jsonText(out, host);
    jsonUint(out, "port", port);
}

void textTcp(Out& out, bool useIpv6, const std::string& host, uint16_t port)
{
    formatChars(out, useIpv6 ? " type=ipv6 host=" : " type=ipv4 host=");
    rawText(out, host);
    textUint(out, " port=", port);
}

void formatJson(Out& out, const MetricsEvent& event)
{
    formatChar(out, '{');
    formatJsonKey(out, "listeners", true);
    formatChar(out, '[');
    uint64_t receivers = 0;
    for (uint32_t i = 0; i < listenerTotal(event); ++i) {
        const ListenerMetrics& l = *event.listeners[i];
        receivers += receiverTotal(l);
        if (i != 0)
            formatChar(out, ',');
        jsonOpen(out, l.id);
        if (l.isUnix) {
            jsonName(out, "type", "unix");
            formatJsonKey(out, "path", false);
            jsonText(out, l.path);
        } else {
            jsonTcp(out, l.useIpv6, l.host, l.port);
        }
        jsonUint(out, "accepts", l.accepts.load());
        jsonUint(out, "activeReceivers", l.activeReceivers.load());
        jsonUint(out, "peakReceivers", l.peakReceivers.load());
        formatChar(out, '}');
    }
    formatChar(out, ']');

    if (receivers > 0) {
        formatJsonKey(out, "receivers", false);
        formatChar(out, '[');
        bool first = true;
        for (uint32_t i = 0; i < listenerTotal(event); ++i) {
            const ListenerMetrics& l = *event.listeners[i];
            for (uint32_t j = 0; j < receiverTotal(l); ++j) {
                const ReceiverMetrics& r = *l.receivers[j];
                if (!first)
                    formatChar(out, ',');
                first = false;
                jsonOpen(out, r.id);
                jsonUint(out, "listener", l.id);
                if (r.isUnix) {
                    jsonName(out, "type", "unix");
                    jsonUint(out, "uid", r.uid);
                    jsonUint(out, "gid", r.gid);
                    jsonUint(out, "pid", r.pid);
                } else {
                    jsonTcp(out, r.useIpv6, r.host, r.port);
                }
                jsonUint(out, "bytesReceived", r.bytesReceived.load());
                jsonUint(out, "eventsReceived", r.eventsReceived.load());
                formatChar(out, '}');
            }
        }
        formatChar(out, ']');
    }

    formatJsonKey(out, "queue", false);
    formatChar(out, '{');
    formatJsonKey(out, "eventsProcessed", true);
    formatUint(out, event.queue.eventsProcessed.load());
    jsonUint(out, "eventsQueued", event.queue.eventsQueued.load());
    jsonUint(out, "eventsDropped", event.queue.eventsDropped.load());
    formatChar(out, '}');

    formatJsonKey(out, "forwarders", false);
    formatChar(out, '[');
    for (uint32_t i = 0; i < forwarderTotal(event); ++i) {
        const ForwarderMetrics& f = *event.forwarders[i];
        if (i != 0)
            formatChar(out, ',');
        jsonOpen(out, f.id);
        jsonTcp(out, f.useIpv6, f.host, f.port);
        jsonName(out, "state", f.connected ? "connected" : "not-connected");
        jsonUint(out, "connects", f.connects.load());
        jsonUint(out, "bytesSent", f.bytesSent.load());
        jsonUint(out, "eventsSent", f.eventsSent.load());
        jsonUint(out, "dnstapErrors", f.dnstapErrors.load());
        formatChar(out, '}');
    }
    formatChar(out, ']');
    formatChar(out, '}');
}

void formatText(Out& out, const MetricsEvent& event)
{
    for (uint32_t i = 0; i < listenerTotal(event); ++i) {
        const ListenerMetrics& l = *event.listeners[i];
        textUint(out, "listener[id=", l.id);
        if (l.isUnix) {
            formatChars(out, " type=unix path=");
            rawText(out, l.path);
        } else {
            textTcp(out, l.useIpv6, l.host, l.port);
        }
        textUint(out, " accepts=", l.accepts.load());
        textUint(out, " activeReceivers=", l.activeReceivers.load());
        textUint(out, " peakReceivers=", l.peakReceivers.load());
        formatChars(out, "] ");
    }

    for (uint32_t i = 0; i < listenerTotal(event); ++i) {
        const ListenerMetrics& l = *event.listeners[i];
        for (uint32_t j = 0; j < receiverTotal(l); ++j) {
            const ReceiverMetrics& r = *l.receivers[j];
            textUint(out, "receiver[id=", r.id);
            textUint(out, " listener=", l.id);
            if (r.isUnix) {
                formatChars(out, " type=unix");
                textUint(out, " uid=", r.uid);
                textUint(out, " gid=", r.gid);
                textUint(out, " pid=", r.pid);
            } else {
                textTcp(out, r.useIpv6, r.host, r.port);
            }
            textUint(out, " bytesReceived=", r.bytesReceived.load());
            textUint(out, " eventsReceived=", r.eventsReceived.load());
            formatChars(out, "] ");
        }
    }

    textUint(out, "queue[type=message eventsProcessed=", event.queue.eventsProcessed.load());
    textUint(out, " eventsQueued=", event.queue.eventsQueued.load());
    textUint(out, " eventsDropped=", event.queue.eventsDropped.load());
    formatChar(out, ']');

    for (uint32_t i = 0; i < forwarderTotal(event); ++i) {
        const ForwarderMetrics& f = *event.forwarders[i];
        textUint(out, " forwarder[id=", f.id);
        textTcp(out, f.useIpv6, f.host, f.port);
        formatChars(out, f.connected ? " state=connected" : " state=not-connected");
        textUint(out, " connects=", f.connects.load());
        textUint(out, " bytesSent=", f.bytesSent.load());
        textUint(out, " eventsSent=", f.eventsSent.load());
        textUint(out, " dnstapErrors=", f.dnstapErrors.load());
        formatChar(out, ']');
    }
}

} // namespace

void MetricsEventFormatter::format(std::vector<uint8_t>& out, MetricsEvent& event, bool json)
{
    if (json)
        formatJson(out, event);
    else
        formatText(out, event);
}

} // namespace ns::metrics
