#include "dns/formatter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>

#include "dns/psl.h"

// Lets a test make every heap allocation fail for the span of one call.
namespace {
bool failAllocations = false;
}

// The replacement pair is malloc/free based; GCC cannot see that they match.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
    if (failAllocations)
        throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using ns::event::format::EventFormatterConfig;
using ns::net::dns::DnsMessageEvent;
using ns::net::dns::DnsMessageEventFormatter;

// Builds DNS messages on the wire.
struct Wire {
    std::vector<uint8_t> b;

    Wire& u8(uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Wire& u16(uint16_t v) { return u8(v >> 8).u8(v & 0xFF); }
    Wire& u32(uint32_t v) { return u16(v >> 16).u16(v & 0xFFFF); }
    Wire& label(const std::string& l) {
        u8(static_cast<uint8_t>(l.size()));
        b.insert(b.end(), l.begin(), l.end());
        return *this;
    }
    Wire& ptr(uint16_t offset) { return u16(0xC000 | offset); }
    Wire& header(uint16_t id, uint16_t flags, uint16_t qd, uint16_t an, uint16_t ns, uint16_t ar) {
        return u16(id).u16(flags).u16(qd).u16(an).u16(ns).u16(ar);
    }
    // Fixed part of a record after its owner name.
    Wire& rr(uint16_t type, uint16_t cls, uint32_t ttl, uint16_t rdlength) {
        return u16(type).u16(cls).u32(ttl).u16(rdlength);
    }
    Wire& opt() { return u8(0).rr(41, 1232, 0, 0); }
};

// Question www.Example.co.uk A IN at offset 12 ("Example" at 16).
Wire& question(Wire& w) { return w.label("www").label("Example").label("co").label("uk").u8(0).u16(1).u16(1); }

// Client query with RD and an OPT record: 46 bytes.
std::vector<uint8_t> queryMessage() {
    Wire w;
    w.header(0x1234, 0x0100, 1, 0, 0, 1);
    question(w).opt();
    return w.b;
}

// Authoritative response: CNAME and A answers, NS authority, OPT and glue A
// additional: 114 bytes.
std::vector<uint8_t> responseMessage() {
    Wire w;
    w.header(0x1234, 0x8580, 1, 2, 1, 2);
    question(w);
    w.ptr(12).rr(5, 1, 300, 6).label("web").ptr(16);      // "web" at 47
    w.ptr(47).rr(1, 1, 300, 4).u8(192).u8(0).u8(2).u8(80); // ends at 69
    w.ptr(16).rr(2, 1, 3600, 6).label("ns1").ptr(16);     // "ns1" at 81
    w.opt();
    w.ptr(81).rr(1, 1, 3600, 4).u8(192).u8(0).u8(2).u8(2);
    return w.b;
}

std::string str(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }
std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

enum class Mode { All, Builtin, Config, None };
enum class Form { Json, Querylog5424, Querylog3164, Extended5424, Extended3164 };

EventFormatterConfig makeConfig(Form form, Mode mode, bool trailingDot) {
    EventFormatterConfig c;
    c.format = form == Form::Json ? 0 : 1;
    c.rfc3164 = form == Form::Querylog3164 || form == Form::Extended3164;
    c.querylogExtended = form == Form::Extended5424 || form == Form::Extended3164;
    c.pid = 7;
    c.host = bytes("h");
    c.domainSuffix = mode != Mode::None;
    c.builtinSuffixes = mode == Mode::All || mode == Mode::Builtin;
    c.configSuffixes = mode == Mode::All || mode == Mode::Config;
    c.fqdnTrailingDot = trailingDot;
    return c;
}

// Fills the suffix tables as configuration would: built-in rules plus the
// registered domain web.example.co.uk.
void loadSuffixes(bool trailingDot) {
    ns::net::dns::loadPslDomainSuffixes(trailingDot);
    ns::net::dns::config_domain_suffix_map.clear();
    ns::net::dns::addDomainSuffix("Web.Example.co.uk", trailingDot);
}

DnsMessageEvent makeEvent(uint64_t type, const std::vector<uint8_t>& message) {
    DnsMessageEvent e;
    e.type = type;
    e.isQuery = type % 2 == 1;
    e.timeSec = 1700000000;
    e.timeNsec = 123456789;
    e.socketProtocol = 1;
    e.clientAddress = bytes("192.0.2.1");
    e.serverAddress = bytes("192.0.2.53");
    e.clientPort = 5353;
    e.message = &message;
    return e;
}

const char JsonHeader[] = R"({"timestamp":"2023-11-14T22:13:20.123456Z","host":"h","schema":1)";
const char Header5424[] = "<30>1 2023-11-14T22:13:20.123456Z h quorvalex 7 - - ";
const char Header3164[] = "<30>Nov 14 22:13:20 h quorvalex[7]: ";

std::string headerOf(Form form) {
    switch (form) {
    case Form::Json:
        return JsonHeader;
    case Form::Querylog5424:
    case Form::Extended5424:
        return Header5424;
    default:
        return Header3164;
    }
}

struct Golden {
    const char* name;
    int event; // 0 client query, 1 TCP client response, 2 IPv6 auth query without server
    Form form;
    Mode mode;
    bool trailingDot;
    const char* body; // line after the header
};

const Golden goldens[] = {
    // Client query.
    {"query json all dot", 0, Form::Json, Mode::All, true,
     R"(,"type":"client-query","data":{"client":"192.0.2.1","server":"192.0.2.53","port":5353,"proto":"UDP","size":46,"txid":4660,"flags":{"rd":true},"qname":"www.Example.co.uk.","qdomain":"example.co.uk.","qclass":"IN","qtype":"A"}})"
     "\n"},
    {"query json builtin nodot", 0, Form::Json, Mode::Builtin, false,
     R"(,"type":"client-query","data":{"client":"192.0.2.1","server":"192.0.2.53","port":5353,"proto":"UDP","size":46,"txid":4660,"flags":{"rd":true},"qname":"www.Example.co.uk","qdomain":"example.co.uk","qclass":"IN","qtype":"A"}})"
     "\n"},
    {"query json config dot", 0, Form::Json, Mode::Config, true,
     R"(,"type":"client-query","data":{"client":"192.0.2.1","server":"192.0.2.53","port":5353,"proto":"UDP","size":46,"txid":4660,"flags":{"rd":true},"qname":"www.Example.co.uk.","qdomain":"uk.","qclass":"IN","qtype":"A"}})"
     "\n"},
    {"query json none", 0, Form::Json, Mode::None, true,
     R"(,"type":"client-query","data":{"client":"192.0.2.1","server":"192.0.2.53","port":5353,"proto":"UDP","size":46,"txid":4660,"flags":{"rd":true},"qname":"www.Example.co.uk.","qclass":"IN","qtype":"A"}})"
     "\n"},
    {"query standard 5424", 0, Form::Querylog5424, Mode::All, true,
     "queries: client 192.0.2.1#5353: query: www.Example.co.uk. IN A + (192.0.2.53)\n"},
    {"query standard 3164 nodot", 0, Form::Querylog3164, Mode::All, false,
     "queries: client 192.0.2.1#5353: query: www.Example.co.uk IN A + (192.0.2.53)\n"},
    {"query extended 5424 all", 0, Form::Extended5424, Mode::All, true,
     "queries: client 192.0.2.1#5353 %4660: query: www.Example.co.uk. [example.co.uk.] IN A + (192.0.2.53 46b)\n"},
    {"query extended 3164 config nodot", 0, Form::Extended3164, Mode::Config, false,
     "queries: client 192.0.2.1#5353 %4660: query: www.Example.co.uk [uk] IN A + (192.0.2.53 46b)\n"},
    {"query extended none", 0, Form::Extended3164, Mode::None, true,
     "queries: client 192.0.2.1#5353 %4660: query: www.Example.co.uk. [] IN A + (192.0.2.53 46b)\n"},

    // TCP client response with answers, authority, OPT and glue.
    {"response json all dot", 1, Form::Json, Mode::All, true,
     R"(,"type":"client-response","data":{"client":"192.0.2.1","server":"192.0.2.53","port":5353,"proto":"TCP","size":114,"txid":4660,"flags":{"rd":true,"ra":true,"aa":true,"tc":false},"qname":"www.Example.co.uk.","qdomain":"example.co.uk.","qclass":"IN","qtype":"A","rcode":"NOERROR",)"
     R"("answers":[{"name":"www.Example.co.uk.","domain":"example.co.uk.","ttl":300,"rrclass":"IN","rrtype":"CNAME","data":"web.Example.co.uk."},{"name":"web.Example.co.uk.","domain":"web.example.co.uk.","ttl":300,"rrclass":"IN","rrtype":"A","data":"192.0.2.80"}],)"
     R"("authority":[{"name":"Example.co.uk.","domain":"example.co.uk.","ttl":3600,"rrclass":"IN","rrtype":"NS","data":"ns1.Example.co.uk."}],)"
     R"("additional":[{"name":"ns1.Example.co.uk.","domain":"example.co.uk.","ttl":3600,"rrclass":"IN","rrtype":"A","data":"192.0.2.2"}]}})"
     "\n"},
    {"response json builtin nodot", 1, Form::Json, Mode::Builtin, false,
     R"(,"type":"client-response","data":{"client":"192.0.2.1","server":"192.0.2.53","port":5353,"proto":"TCP","size":114,"txid":4660,"flags":{"rd":true,"ra":true,"aa":true,"tc":false},"qname":"www.Example.co.uk","qdomain":"example.co.uk","qclass":"IN","qtype":"A","rcode":"NOERROR",)"
     R"("answers":[{"name":"www.Example.co.uk","domain":"example.co.uk","ttl":300,"rrclass":"IN","rrtype":"CNAME","data":"web.Example.co.uk"},{"name":"web.Example.co.uk","domain":"example.co.uk","ttl":300,"rrclass":"IN","rrtype":"A","data":"192.0.2.80"}],)"
     R"("authority":[{"name":"Example.co.uk","domain":"example.co.uk","ttl":3600,"rrclass":"IN","rrtype":"NS","data":"ns1.Example.co.uk"}],)"
     R"("additional":[{"name":"ns1.Example.co.uk","domain":"example.co.uk","ttl":3600,"rrclass":"IN","rrtype":"A","data":"192.0.2.2"}]}})"
     "\n"},
    {"response json config nodot", 1, Form::Json, Mode::Config, false,
     R"(,"type":"client-response","data":{"client":"192.0.2.1","server":"192.0.2.53","port":5353,"proto":"TCP","size":114,"txid":4660,"flags":{"rd":true,"ra":true,"aa":true,"tc":false},"qname":"www.Example.co.uk","qdomain":"uk","qclass":"IN","qtype":"A","rcode":"NOERROR",)"
     R"("answers":[{"name":"www.Example.co.uk","domain":"uk","ttl":300,"rrclass":"IN","rrtype":"CNAME","data":"web.Example.co.uk"},{"name":"web.Example.co.uk","domain":"web.example.co.uk","ttl":300,"rrclass":"IN","rrtype":"A","data":"192.0.2.80"}],)"
     R"("authority":[{"name":"Example.co.uk","domain":"uk","ttl":3600,"rrclass":"IN","rrtype":"NS","data":"ns1.Example.co.uk"}],)"
     R"("additional":[{"name":"ns1.Example.co.uk","domain":"uk","ttl":3600,"rrclass":"IN","rrtype":"A","data":"192.0.2.2"}]}})"
     "\n"},
    {"response json none", 1, Form::Json, Mode::None, true,
     R"(,"type":"client-response","data":{"client":"192.0.2.1","server":"192.0.2.53","port":5353,"proto":"TCP","size":114,"txid":4660,"flags":{"rd":true,"ra":true,"aa":true,"tc":false},"qname":"www.Example.co.uk.","qclass":"IN","qtype":"A","rcode":"NOERROR",)"
     R"("answers":[{"name":"www.Example.co.uk.","ttl":300,"rrclass":"IN","rrtype":"CNAME","data":"web.Example.co.uk."},{"name":"web.Example.co.uk.","ttl":300,"rrclass":"IN","rrtype":"A","data":"192.0.2.80"}],)"
     R"("authority":[{"name":"Example.co.uk.","ttl":3600,"rrclass":"IN","rrtype":"NS","data":"ns1.Example.co.uk."}],)"
     R"("additional":[{"name":"ns1.Example.co.uk.","ttl":3600,"rrclass":"IN","rrtype":"A","data":"192.0.2.2"}]}})"
     "\n"},
    {"response standard 5424", 1, Form::Querylog5424, Mode::All, true,
     "queries: client 192.0.2.1#5353: response: www.Example.co.uk. IN A +T (192.0.2.53) NOERROR"
     "; www.Example.co.uk. 300 IN CNAME web.Example.co.uk.; web.Example.co.uk. 300 IN A 192.0.2.80\n"},
    {"response standard 3164 nodot", 1, Form::Querylog3164, Mode::Builtin, false,
     "queries: client 192.0.2.1#5353: response: www.Example.co.uk IN A +T (192.0.2.53) NOERROR"
     "; www.Example.co.uk 300 IN CNAME web.Example.co.uk; web.Example.co.uk 300 IN A 192.0.2.80\n"},
    {"response extended 5424 all dot", 1, Form::Extended5424, Mode::All, true,
     "queries: client 192.0.2.1#5353 %4660: response: www.Example.co.uk. [example.co.uk.] IN A +T (192.0.2.53 114b) "
     "NOERROR; www.Example.co.uk. [example.co.uk.] 300 IN CNAME web.Example.co.uk.; "
     "web.Example.co.uk. [web.example.co.uk.] 300 IN A 192.0.2.80\n"},
    {"response extended 3164 builtin nodot", 1, Form::Extended3164, Mode::Builtin, false,
     "queries: client 192.0.2.1#5353 %4660: response: www.Example.co.uk [example.co.uk] IN A +T (192.0.2.53 114b) "
     "NOERROR; www.Example.co.uk [example.co.uk] 300 IN CNAME web.Example.co.uk; "
     "web.Example.co.uk [example.co.uk] 300 IN A 192.0.2.80\n"},
    {"response extended none", 1, Form::Extended5424, Mode::None, true,
     "queries: client 192.0.2.1#5353 %4660: response: www.Example.co.uk. [] IN A +T (192.0.2.53 114b) "
     "NOERROR; www.Example.co.uk. [] 300 IN CNAME web.Example.co.uk.; web.Example.co.uk. [] 300 IN A 192.0.2.80\n"},

    // IPv6 client of an authoritative server, no server address.
    {"ipv6 json", 2, Form::Json, Mode::All, true,
     R"(,"type":"auth-query","data":{"client":"2001:db8::1","server":"","port":5353,"proto":"UDP","size":46,"txid":4660,"flags":{"rd":true},"qname":"www.Example.co.uk.","qdomain":"example.co.uk.","qclass":"IN","qtype":"A"}})"
     "\n"},
    {"ipv6 standard", 2, Form::Querylog3164, Mode::All, true,
     "queries: client 2001:db8::1#5353: query: www.Example.co.uk. IN A + (<unknown>)\n"},
    {"ipv6 extended", 2, Form::Extended5424, Mode::All, false,
     "queries: client 2001:db8::1#5353 %4660: query: www.Example.co.uk [example.co.uk] IN A + (<unknown> 46b)\n"},
};

TEST(DnsMessageEventFormatterTest, GoldenLines) {
    const std::vector<uint8_t> query = queryMessage();
    const std::vector<uint8_t> response = responseMessage();
    ASSERT_EQ(query.size(), 46u);
    ASSERT_EQ(response.size(), 114u);
    for (const auto& g : goldens) {
        loadSuffixes(g.trailingDot);
        DnsMessageEventFormatter formatter(makeConfig(g.form, g.mode, g.trailingDot));
        DnsMessageEvent e;
        if (g.event == 0) {
            e = makeEvent(5, query);
        } else if (g.event == 1) {
            e = makeEvent(6, response);
            e.socketProtocol = 2;
        } else {
            e = makeEvent(1, query);
            e.clientAddress = bytes("2001:db8::1");
            e.serverAddress.clear();
        }
        std::vector<uint8_t> out = bytes("previous line\n");
        ASSERT_TRUE(formatter.format(out, e)) << g.name;
        EXPECT_EQ(str(out), "previous line\n" + headerOf(g.form) + g.body) << g.name;
    }
}

TEST(DnsMessageEventFormatterTest, AbsurdTimesRenderTheEpoch) {
    const std::vector<uint8_t> query = queryMessage();
    const std::pair<Form, std::string> headers[] = {
        {Form::Json, R"({"timestamp":"1970-01-01T00:00:00.000000Z","host":"h","schema":1)"},
        {Form::Querylog5424, "<30>1 1970-01-01T00:00:00.000000Z h quorvalex 7 - - "},
        {Form::Querylog3164, "<30>Jan  1 00:00:00 h quorvalex[7]: "},
    };
    for (const auto& [form, header] : headers) {
        DnsMessageEventFormatter formatter(makeConfig(form, Mode::None, true));
        for (uint64_t seconds : {uint64_t(INT64_MAX), uint64_t(INT64_MAX) + 1, UINT64_MAX}) {
            DnsMessageEvent e = makeEvent(5, query);
            e.timeSec = seconds;
            std::vector<uint8_t> out;
            ASSERT_TRUE(formatter.format(out, e));
            EXPECT_EQ(str(out).substr(0, header.size()), header) << seconds;
        }
    }
}

TEST(DnsMessageEventFormatterTest, UndecodableMessageGivesTheErrorRecord) {
    const std::vector<uint8_t> packet = {0x12, 0x34, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xAB};
    const std::string error = "Read DNS message failed: Read uint16_t failed: Offset 10 + 2 is out of bounds for data of 11 bytes";
    struct Case {
        Form form;
        const char* body;
    } cases[] = {
        {Form::Json, R"(,"type":"error","data":{"client":"192.0.2.1","server":"192.0.2.53","port":5353,"size":11,"packet":"12340100000000000000AB","text":")"},
        {Form::Querylog5424, "errors: "},
        {Form::Extended3164, "errors: "},
    };
    for (const auto& c : cases) {
        loadSuffixes(true);
        DnsMessageEventFormatter formatter(makeConfig(c.form, Mode::All, true));
        DnsMessageEvent e = makeEvent(5, packet);
        std::vector<uint8_t> out;
        ASSERT_TRUE(formatter.format(out, e));
        std::string expected = headerOf(c.form) + c.body + error;
        if (c.form == Form::Json)
            expected += "\"}}\n";
        else
            expected += ": client 192.0.2.1#5353: server 192.0.2.53: packet \\# 11 12340100000000000000AB\n";
        EXPECT_EQ(str(out), expected);
    }
}

TEST(DnsMessageEventFormatterTest, ErrorRecordEscapesTextAndShowsEmptyServer) {
    // QDCOUNT 2: decode fails on the question count.
    Wire w;
    w.header(1, 0, 2, 0, 0, 0);
    DnsMessageEventFormatter formatter(makeConfig(Form::Json, Mode::None, true));
    DnsMessageEvent e = makeEvent(6, w.b);
    e.serverAddress.clear();
    std::vector<uint8_t> out;
    ASSERT_TRUE(formatter.format(out, e));
    EXPECT_EQ(str(out), std::string(JsonHeader) +
                            R"(,"type":"error","data":{"client":"192.0.2.1","server":"","port":5353,"size":12,)"
                            R"("packet":"000100000002000000000000","text":"Read DNS message failed: No question RRs 2 is not 1"}})"
                            "\n");

    DnsMessageEventFormatter ql(makeConfig(Form::Querylog5424, Mode::None, true));
    out.clear();
    ASSERT_TRUE(ql.format(out, e));
    EXPECT_EQ(str(out), std::string(Header5424) +
                            "errors: Read DNS message failed: No question RRs 2 is not 1: client 192.0.2.1#5353: "
                            "server : packet \\# 12 000100000002000000000000\n");
}

TEST(DnsMessageEventFormatterTest, EventTypeNames) {
    const char* json[] = {"auth-query",      "auth-response",   "resolver-query", "resolver-response",
                          "client-query",    "client-response", "forwarder-query", "forwarder-response",
                          "stub-query",      "stub-response",   "tool-query",      "tool-response"};
    const char* prefix[] = {"client", "client", "resolver", "resolver", "client", "client",
                            "forwarder", "forwarder", "stub", "stub", "tool", "tool"};
    const std::vector<uint8_t> query = queryMessage();
    DnsMessageEventFormatter jf(makeConfig(Form::Json, Mode::None, true));
    DnsMessageEventFormatter qf(makeConfig(Form::Querylog5424, Mode::None, true));
    for (uint64_t type = 1; type <= 12; ++type) {
        DnsMessageEvent e = makeEvent(type, query);
        std::vector<uint8_t> out;
        ASSERT_TRUE(jf.format(out, e));
        EXPECT_EQ(str(out).substr(sizeof(JsonHeader) - 1, 11 + strlen(json[type - 1])),
                  std::string(",\"type\":\"") + json[type - 1] + "\",")
            << type;
        out.clear();
        ASSERT_TRUE(qf.format(out, e));
        const std::string line = str(out).substr(sizeof(Header5424) - 1);
        EXPECT_EQ(line.substr(0, 9 + strlen(prefix[type - 1]) + 10),
                  std::string("queries: ") + prefix[type - 1] + " 192.0.2.1")
            << type;
        EXPECT_NE(line.find(type % 2 ? ": query: " : ": response: "), std::string::npos) << type;
    }
}

TEST(DnsMessageEventFormatterTest, TcpMarkByProtocol) {
    const std::vector<uint8_t> query = queryMessage();
    Wire noRd;
    noRd.header(1, 0, 1, 0, 0, 0);
    question(noRd);
    struct Case {
        uint64_t protocol;
        const char* mark;
        const char* name;
    } cases[] = {
        {1, "", "UDP"}, {2, "T", "TCP"}, {3, "T", "DOT"}, {4, "T", "DOH"}, {5, "", "DNSCryptUDP"},
        {6, "T", "DNSCryptTCP"}, {7, "", "DOQ"}, {0, "", "PROTO0"}, {8, "", "PROTO8"},
        // Only the low 16 bits count, for the mark as for the name.
        {0x10002, "T", "TCP"}, {0x10001, "", "UDP"}, {0x10000, "", "PROTO0"},
    };
    DnsMessageEventFormatter qf(makeConfig(Form::Querylog5424, Mode::None, true));
    DnsMessageEventFormatter jf(makeConfig(Form::Json, Mode::None, true));
    for (const auto& c : cases) {
        for (bool rd : {true, false}) {
            DnsMessageEvent e = makeEvent(5, rd ? query : noRd.b);
            e.socketProtocol = c.protocol;
            std::vector<uint8_t> out;
            ASSERT_TRUE(qf.format(out, e));
            EXPECT_NE(str(out).find(std::string(" IN A ") + (rd ? "+" : "-") + c.mark + " (192.0.2.53)\n"),
                      std::string::npos)
                << c.protocol;
            out.clear();
            ASSERT_TRUE(jf.format(out, e));
            EXPECT_NE(str(out).find(std::string("\"proto\":\"") + c.name + "\""), std::string::npos) << c.protocol;
        }
    }
}

TEST(DnsMessageEventFormatterTest, UnlistedNumbersAndEmptySections) {
    // Response with RCODE 12, class 2, type 54, no answers; flags TC only.
    Wire w;
    w.header(7, 0x820C, 1, 0, 0, 0);
    w.label("a").u8(0).u16(54).u16(2);
    DnsMessageEvent e = makeEvent(4, w.b);
    e.socketProtocol = 9;

    DnsMessageEventFormatter jf(makeConfig(Form::Json, Mode::None, false));
    std::vector<uint8_t> out;
    ASSERT_TRUE(jf.format(out, e));
    EXPECT_EQ(str(out), std::string(JsonHeader) +
                            R"(,"type":"resolver-response","data":{"client":"192.0.2.1","server":"192.0.2.53","port":5353,"proto":"PROTO9","size":19,"txid":7,)"
                            R"("flags":{"rd":false,"ra":false,"aa":false,"tc":true},"qname":"a","qclass":"CLASS2","qtype":"TYPE54","rcode":"RCODE12","answers":[],"authority":[],"additional":[]}})"
                            "\n");

    DnsMessageEventFormatter qf(makeConfig(Form::Querylog3164, Mode::None, false));
    out.clear();
    ASSERT_TRUE(qf.format(out, e));
    EXPECT_EQ(str(out), std::string(Header3164) +
                            "queries: resolver 192.0.2.1#5353: response: a CLASS2 TYPE54 - (192.0.2.53) RCODE12\n");
}

TEST(DnsMessageEventFormatterTest, JsonEscapesNamesAndRecordData) {
    // Label a"b/c; TXT answer holding a\ and a tab.
    Wire w;
    w.header(1, 0x8000, 1, 1, 0, 0);
    w.label("a\"b/c").u8(0).u16(16).u16(1);
    w.ptr(12).rr(16, 1, 5, 4).label("x\\\t");
    DnsMessageEvent e = makeEvent(6, w.b);
    DnsMessageEventFormatter jf(makeConfig(Form::Json, Mode::None, true));
    std::vector<uint8_t> out;
    ASSERT_TRUE(jf.format(out, e));
    const std::string line = str(out);
    // The decoder writes a\"b/c. and "x\\\009"; JSON then escapes once more.
    EXPECT_NE(line.find(R"("qname":"a\\\"b\/c.")"), std::string::npos) << line;
    EXPECT_NE(line.find(R"("data":"\"x\\\\\\009\""})"), std::string::npos) << line;

    DnsMessageEventFormatter qf(makeConfig(Form::Querylog5424, Mode::None, true));
    out.clear();
    ASSERT_TRUE(qf.format(out, e));
    EXPECT_NE(str(out).find("response: a\\\"b/c. IN TXT -"), std::string::npos) << str(out);
}

TEST(DnsMessageEventFormatterTest, UnknownTypeLeavesBufferAsAtEntry) {
    const std::vector<uint8_t> query = queryMessage();
    for (Form form : {Form::Json, Form::Querylog5424, Form::Extended3164}) {
        DnsMessageEventFormatter f(makeConfig(form, Mode::All, true));
        for (uint64_t type : {0ull, 13ull, 200ull}) {
            DnsMessageEvent e = makeEvent(type, query);
            std::vector<uint8_t> out = bytes("kept");
            EXPECT_FALSE(f.format(out, e));
            EXPECT_EQ(str(out), "kept");
        }
    }
}

TEST(DnsMessageEventFormatterTest, DnstapFormatDeclinesWithoutDecoding) {
    EventFormatterConfig c;
    c.format = 2;
    DnsMessageEventFormatter f(c);
    EXPECT_TRUE(f.isFormatDnstap());
    const std::vector<uint8_t> query = queryMessage();
    DnsMessageEvent e = makeEvent(5, query);
    std::vector<uint8_t> out = bytes("x");
    EXPECT_FALSE(f.format(out, e));
    EXPECT_EQ(str(out), "x");
    EXPECT_EQ(f.dnsMessage.size, 0u);
    EXPECT_TRUE(f.dnsMessage.qname.empty());

    EXPECT_FALSE(DnsMessageEventFormatter(makeConfig(Form::Json, Mode::All, true)).isFormatDnstap());
    EXPECT_FALSE(DnsMessageEventFormatter(makeConfig(Form::Querylog5424, Mode::All, true)).isFormatDnstap());
}

TEST(DnsMessageEventFormatterTest, StoresRegisteredDomainOffsets) {
    loadSuffixes(true);
    const std::vector<uint8_t> response = responseMessage();
    DnsMessageEventFormatter f(makeConfig(Form::Json, Mode::All, true));
    DnsMessageEvent e = makeEvent(6, response);
    std::vector<uint8_t> out;
    ASSERT_TRUE(f.format(out, e));
    EXPECT_EQ(f.dnsMessage.qdomainOffset, 4u);               // www.|example.co.uk.
    EXPECT_EQ(f.dnsMessage.answers[0]->domainOffset, 4u);    // www.|example.co.uk.
    EXPECT_EQ(f.dnsMessage.answers[1]->domainOffset, 0u);    // web.example.co.uk. configured
    EXPECT_EQ(f.dnsMessage.authority[0]->domainOffset, 0u);  // example.co.uk.
    EXPECT_EQ(f.dnsMessage.additional[0]->domainOffset, 4u); // ns1.|example.co.uk.
}

TEST(DnsMessageEventFormatterTest, ReusedWorkspaceWritesOnlyTheCurrentRecords) {
    loadSuffixes(true);
    const std::vector<uint8_t> response = responseMessage();
    Wire one;
    one.header(9, 0x8100, 1, 1, 0, 0);
    one.label("b").u8(0).u16(1).u16(1);
    one.ptr(12).rr(1, 1, 1, 4).u8(10).u8(0).u8(0).u8(1);
    DnsMessageEventFormatter f(makeConfig(Form::Querylog5424, Mode::All, true));
    std::vector<uint8_t> out;
    DnsMessageEvent big = makeEvent(6, response);
    ASSERT_TRUE(f.format(out, big));
    out.clear();
    DnsMessageEvent small = makeEvent(6, one.b);
    ASSERT_TRUE(f.format(out, small));
    EXPECT_EQ(str(out), std::string(Header5424) +
                            "queries: client 192.0.2.1#5353: response: b. IN A + (192.0.2.53) NOERROR; b. 1 IN A 10.0.0.1\n");
}

TEST(DnsMessageEventFormatterTest, FailureMidwayRestoresTheBuffer) {
    const std::vector<uint8_t> response = responseMessage();
    for (Form form : {Form::Json, Form::Extended5424}) {
        loadSuffixes(true);
        DnsMessageEventFormatter f(makeConfig(form, Mode::All, true));
        DnsMessageEvent e = makeEvent(6, response);
        // Warm the workspace up so that only the output buffer can need memory.
        std::vector<uint8_t> scratch;
        ASSERT_TRUE(f.format(scratch, e));
        std::vector<uint8_t> header;
        if (form == Form::Json)
            ns::event::format::formatJsonHeader(header, f.config, 1700000000, 123456789);
        else
            ns::event::format::formatSyslogHeader(header, f.config, 1700000000, 123456789);

        // Room for the header, not for the rest of the line.
        std::vector<uint8_t> out = bytes("earlier");
        out.reserve(out.size() + header.size());
        failAllocations = true;
        bool threw = false;
        try {
            f.format(out, e);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        failAllocations = false;
        EXPECT_TRUE(threw);
        EXPECT_EQ(str(out), "earlier");
    }
}

} // namespace
