#include "pipeline/metrics.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ns::metrics;

namespace {

std::string render(MetricsEvent& e, bool json)
{
    std::vector<uint8_t> out = {'>'};
    MetricsEventFormatter().format(out, e, json);
    return std::string(out.begin() + 1, out.end()); // appended, never cleared
}

ListenerMetrics* unixListener(uint32_t id, const char* path)
{
    auto* l = new ListenerMetrics;
    l->id = id;
    l->isUnix = true;
    // Built then moved in: assigning the text into the string draws a false
    // -Wrestrict report from g++ 12 at -O3.
    l->path = std::string(path);
    return l;
}

ListenerMetrics* tcpListener(uint32_t id, bool v6, const char* host, uint16_t port)
{
    auto* l = new ListenerMetrics;
    l->id = id;
    l->useIpv6 = v6;
    l->host = host;
    l->port = port;
    return l;
}

ReceiverMetrics* addReceiver(ListenerMetrics& l, uint32_t id)
{
    auto* r = new ReceiverMetrics;
    r->id = id;
    l.receivers.push_back(r);
    l.receiverCount = uint32_t(l.receivers.size());
    return r;
}

ForwarderMetrics* forwarder(uint32_t id, bool v6, const char* host, uint16_t port, bool connected)
{
    auto* f = new ForwarderMetrics;
    f->id = id;
    f->useIpv6 = v6;
    f->host = host;
    f->port = port;
    f->connected = connected;
    return f;
}

void addListener(MetricsEvent& e, ListenerMetrics* l)
{
    e.listeners.push_back(l);
    e.listenerCount = uint32_t(e.listeners.size());
}

void addForwarder(MetricsEvent& e, ForwarderMetrics* f)
{
    e.forwarders.push_back(f);
    e.forwarderCount = uint32_t(e.forwarders.size());
}

} // namespace

TEST(MetricsEventFormatter, EmptyReport)
{
    MetricsEvent e;
    EXPECT_EQ(render(e, true),
        R"({"listeners":[],"queue":{"eventsProcessed":0,"eventsQueued":0,"eventsDropped":0},"forwarders":[]})");
    EXPECT_EQ(render(e, false), "queue[type=message eventsProcessed=0 eventsQueued=0 eventsDropped=0]");
}

TEST(MetricsEventFormatter, UnixListenerWithOneConnection)
{
    MetricsEvent e;
    ListenerMetrics* l = unixListener(0, "/run/x/dnstap.sock");
    l->accepts = 1;
    l->activeReceivers = 1;
    l->peakReceivers = 1;
    ReceiverMetrics* r = addReceiver(*l, 0);
    r->isUnix = true;
    r->path = "never-printed";
    r->uid = 101;
    r->gid = 102;
    r->pid = 4242;
    r->bytesReceived = 12345;
    r->eventsReceived = 67;
    addListener(e, l);
    ForwarderMetrics* f = forwarder(0, false, "127.0.0.1", 5353, true);
    f->connects = 1;
    f->bytesSent = 999;
    f->eventsSent = 60;
    f->dnstapErrors = 2;
    addForwarder(e, f);
    e.queue.eventsProcessed = 60;
    e.queue.eventsQueued = 7;
    e.queue.eventsDropped = 3;

    EXPECT_EQ(render(e, true),
        R"({"listeners":[{"id":0,"type":"unix","path":"\/run\/x\/dnstap.sock","accepts":1,"activeReceivers":1,"peakReceivers":1}],)"
        R"("receivers":[{"id":0,"listener":0,"type":"unix","uid":101,"gid":102,"pid":4242,"bytesReceived":12345,"eventsReceived":67}],)"
        R"("queue":{"eventsProcessed":60,"eventsQueued":7,"eventsDropped":3},)"
        R"("forwarders":[{"id":0,"type":"ipv4","host":"127.0.0.1","port":5353,"state":"connected","connects":1,"bytesSent":999,"eventsSent":60,"dnstapErrors":2}]})");
    EXPECT_EQ(render(e, false),
        "listener[id=0 type=unix path=/run/x/dnstap.sock accepts=1 activeReceivers=1 peakReceivers=1] "
        "receiver[id=0 listener=0 type=unix uid=101 gid=102 pid=4242 bytesReceived=12345 eventsReceived=67] "
        "queue[type=message eventsProcessed=60 eventsQueued=7 eventsDropped=3]"
        " forwarder[id=0 type=ipv4 host=127.0.0.1 port=5353 state=connected connects=1 bytesSent=999 eventsSent=60 "
        "dnstapErrors=2]");
}

TEST(MetricsEventFormatter, TcpListenersReceiversAndForwarders)
{
    MetricsEvent e;
    ListenerMetrics* a = tcpListener(0, true, "::1", 6000);
    ReceiverMetrics* r0 = addReceiver(*a, 3);
    r0->useIpv6 = true;
    r0->host = "::1";
    r0->port = 40000;
    r0->uid = 9; // not printed for TCP peers
    ReceiverMetrics* r1 = addReceiver(*a, 5);
    r1->host = "10.0.0.1";
    r1->port = 40001;
    r1->eventsReceived = 1;
    addReceiver(*a, 8); // left from an earlier report
    a->receiverCount = 2;
    addListener(e, a);

    ListenerMetrics* b = tcpListener(1, false, "0.0.0.0", 6001); // no connections
    addListener(e, b);
    ListenerMetrics* c = unixListener(2, "s");
    ReceiverMetrics* r2 = addReceiver(*c, 0);
    r2->host = "a\"b"; // escaped in JSON, unchanged in text
    r2->port = 1;
    addListener(e, c);

    addForwarder(e, forwarder(0, true, "fe80::1", 1, false));
    addForwarder(e, forwarder(1, false, "collector", 65535, true));

    EXPECT_EQ(render(e, true),
        R"({"listeners":[)"
        R"({"id":0,"type":"ipv6","host":"::1","port":6000,"accepts":0,"activeReceivers":0,"peakReceivers":0},)"
        R"({"id":1,"type":"ipv4","host":"0.0.0.0","port":6001,"accepts":0,"activeReceivers":0,"peakReceivers":0},)"
        R"({"id":2,"type":"unix","path":"s","accepts":0,"activeReceivers":0,"peakReceivers":0}],)"
        R"("receivers":[)"
        R"({"id":3,"listener":0,"type":"ipv6","host":"::1","port":40000,"bytesReceived":0,"eventsReceived":0},)"
        R"({"id":5,"listener":0,"type":"ipv4","host":"10.0.0.1","port":40001,"bytesReceived":0,"eventsReceived":1},)"
        R"({"id":0,"listener":2,"type":"ipv4","host":"a\"b","port":1,"bytesReceived":0,"eventsReceived":0}],)"
        R"("queue":{"eventsProcessed":0,"eventsQueued":0,"eventsDropped":0},"forwarders":[)"
        R"({"id":0,"type":"ipv6","host":"fe80::1","port":1,"state":"not-connected","connects":0,"bytesSent":0,"eventsSent":0,"dnstapErrors":0},)"
        R"({"id":1,"type":"ipv4","host":"collector","port":65535,"state":"connected","connects":0,"bytesSent":0,"eventsSent":0,"dnstapErrors":0}]})");
    EXPECT_EQ(render(e, false),
        "listener[id=0 type=ipv6 host=::1 port=6000 accepts=0 activeReceivers=0 peakReceivers=0] "
        "listener[id=1 type=ipv4 host=0.0.0.0 port=6001 accepts=0 activeReceivers=0 peakReceivers=0] "
        "listener[id=2 type=unix path=s accepts=0 activeReceivers=0 peakReceivers=0] "
        "receiver[id=3 listener=0 type=ipv6 host=::1 port=40000 bytesReceived=0 eventsReceived=0] "
        "receiver[id=5 listener=0 type=ipv4 host=10.0.0.1 port=40001 bytesReceived=0 eventsReceived=1] "
        "receiver[id=0 listener=2 type=ipv4 host=a\"b port=1 bytesReceived=0 eventsReceived=0] "
        "queue[type=message eventsProcessed=0 eventsQueued=0 eventsDropped=0]"
        " forwarder[id=0 type=ipv6 host=fe80::1 port=1 state=not-connected connects=0 bytesSent=0 eventsSent=0 dnstapErrors=0]"
        " forwarder[id=1 type=ipv4 host=collector port=65535 state=connected connects=0 bytesSent=0 eventsSent=0 dnstapErrors=0]");
}

TEST(MetricsEventFormatter, ListenersWithoutConnectionsHaveNoReceivers)
{
    MetricsEvent e;
    ListenerMetrics* l = tcpListener(4, false, "127.0.0.1", 53);
    addReceiver(*l, 0);
    l->receiverCount = 0; // all receivers ended since the last report
    addListener(e, l);
    const std::string json = render(e, true);
    EXPECT_EQ(json.find("receivers\""), std::string::npos) << json;
    EXPECT_EQ(render(e, false),
        "listener[id=4 type=ipv4 host=127.0.0.1 port=53 accepts=0 activeReceivers=0 peakReceivers=0] "
        "queue[type=message eventsProcessed=0 eventsQueued=0 eventsDropped=0]");
}

TEST(MetricsEventFormatter, LargeCountersAndCountsBeyondVectors)
{
    MetricsEvent e;
    e.queue.eventsProcessed = UINT64_MAX;
    e.listenerCount = 3; // more than the vector holds: only real records are read
    ListenerMetrics* l = unixListener(0, "p");
    l->receiverCount = 5;
    addReceiver(*l, 1)->isUnix = true;
    l->receiverCount = 5;
    e.listeners.push_back(l);
    e.forwarderCount = 2;
    EXPECT_EQ(render(e, false),
        "listener[id=0 type=unix path=p accepts=0 activeReceivers=0 peakReceivers=0] "
        "receiver[id=1 listener=0 type=unix uid=0 gid=0 pid=0 bytesReceived=0 eventsReceived=0] "
        "queue[type=message eventsProcessed=18446744073709551615 eventsQueued=0 eventsDropped=0]");
}
