#include "dns/dns.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <cstdlib>
#include <new>
#include <random>

#include "dns/dns_wire.h"
#include "foundation/encoding/data.h"

// Counts heap allocations made while `countAllocations` is set, to prove that
// a warmed-up workspace decodes without allocating.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static std::atomic<bool> countAllocations{false};
static std::atomic<size_t> allocations{0};

void* operator new(size_t n) {
    if (countAllocations.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

using namespace ns::net::dns;
using dnstest::text;
using dnstest::Wire;

const std::string Failed = "Read DNS message failed: ";

void decode(const Wire& w, DnsMessage& m, bool dot = false) { decodeDnsMessage(w.b.data(), w.size(), m, dot); }

std::string fqdn(const Wire& w, uint32_t offset, bool dot, uint32_t* end = nullptr) {
    std::vector<unsigned char> out;
    uint32_t e = decodeDnsMessageFqdn(offset, w.b.data(), w.size(), out, dot);
    if (end)
        *end = e;
    return text(out);
}

std::string fqdnError(const Wire& w, uint32_t offset) {
    std::vector<unsigned char> out;
    try {
        decodeDnsMessageFqdn(offset, w.b.data(), w.size(), out, false);
    } catch (const DnsError& e) {
        return e.what();
    } catch (const ns::encoding::data::DataError& e) {
        return std::string("DataError: ") + e.what();
    }
    return "no error";
}

const std::vector<uint8_t> A1234 = {1, 2, 3, 4};

TEST(DnsMessage, HeaderQuestionAndSections) {
    Wire w;
    w.header(0xBEEF, 0x8180, 1, 2, 1, 1).question("WwW.Example.COM", 28, 1);
    w.ptr(12).rrFields(5, 1, 3600, Wire().name("web.example.com").b);
    w.rr("web.example.com", 1, A1234, 60);
    w.rr("example.com", 2, Wire().name("ns1.example.com").b);
    w.rr("ns1.example.com", 1, {192, 0, 2, 1});
    DnsMessage m;
    decode(w, m, true);
    ASSERT_EQ(m.error, "");
    EXPECT_EQ(m.size, w.size());
    EXPECT_EQ(m.id, 0xBEEF);
    EXPECT_EQ(m.flags, 0x8180);
    EXPECT_EQ(m.qdcount, 1);
    EXPECT_EQ(m.ancount, 2);
    EXPECT_EQ(m.nscount, 1);
    EXPECT_EQ(m.arcount, 1);
    EXPECT_EQ(text(m.qname), "WwW.Example.COM.");
    EXPECT_EQ(text(m.qnameLower), "www.example.com.");
    EXPECT_EQ(m.qtype, 28);
    EXPECT_EQ(m.qclass, 1);
    ASSERT_EQ(m.answers.size(), 2u);
    EXPECT_EQ(text(m.answers[0]->name), "WwW.Example.COM.");
    EXPECT_EQ(text(m.answers[0]->nameLower), "www.example.com.");
    EXPECT_EQ(m.answers[0]->type, 5);
    EXPECT_EQ(m.answers[0]->rrclass, 1);
    EXPECT_EQ(m.answers[0]->ttl, 3600u);
    EXPECT_EQ(text(m.answers[0]->rdata), "web.example.com.");
    EXPECT_EQ(text(m.answers[1]->rdata), "1.2.3.4");
    EXPECT_EQ(m.answers[1]->ttl, 60u);
    ASSERT_EQ(m.authority.size(), 1u);
    EXPECT_EQ(text(m.authority[0]->rdata), "ns1.example.com.");
    ASSERT_EQ(m.additional.size(), 1u);
    EXPECT_EQ(text(m.additional[0]->rdata), "192.0.2.1");
}

TEST(DnsMessage, HeaderErrors) {
    struct Case {
        Wire w;
        std::string error;
    };
    std::vector<Case> cases;
    cases.push_back({Wire().bytes({0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0}),
                     Failed + "Read uint16_t failed: Offset 10 + 2 is out of bounds for data of 11 bytes"});
    cases.push_back({Wire().header(1, 0, 0, 0, 0, 0), Failed + "No question RRs 0 is not 1"});
    cases.push_back({Wire().header(1, 0, 2, 0, 0, 0).question("a").question("b"), Failed + "No question RRs 2 is not 1"});
    cases.push_back({Wire(), Failed + "Read uint16_t failed: Offset 0 + 2 is out of bounds for data of 0 bytes"});
    // Question name complete but its type missing.
    cases.push_back({Wire().header(1, 0, 1, 0, 0, 0).name("a").u8(0),
                     Failed + "Read uint16_t failed: Offset 15 + 2 is out of bounds for data of 16 bytes"});
    // Announced answer missing entirely.
    cases.push_back({Wire().header(1, 0, 1, 1, 0, 0).question("a"),
                     Failed + "Read uint8_t failed: Offset 19 + 1 is out of bounds for data of 19 bytes"});
    for (auto& c : cases) {
        DnsMessage m;
        decode(c.w, m);
        EXPECT_EQ(m.error, c.error);
        EXPECT_EQ(m.size, c.w.size());
    }
}

TEST(DnsName, TextForm) {
    struct Case {
        Wire w;
        bool dot;
        std::string out;
    };
    std::vector<Case> cases = {
        {Wire().name("a.b.c"), true, "a.b.c."},
        {Wire().name("a.b.c"), false, "a.b.c"},
        {Wire().name(""), true, "."},
        {Wire().name(""), false, ""},
        {Wire().u8(3).text("a.b").u8(0), false, "a.b"},
        {Wire().u8(3).bytes({'x', 0x00, 0xFF}).u8(0), false, "x\\000\\255"},
        {Wire().u8(4).bytes({'"', '\\', ' ', 0x7F}).u8(0), false, "\\\"\\\\ \\127"},
        {Wire().u8(2).bytes({0x1F, 0x7E}).u8(0), true, "\\031~."},
    };
    for (auto& c : cases) {
        uint32_t end = 0;
        EXPECT_EQ(fqdn(c.w, 0, c.dot, &end), c.out);
        EXPECT_EQ(end, c.w.size());
    }
}

TEST(DnsName, AppendsWithoutClearing) {
    Wire w = Wire().name("x.y");
    std::vector<unsigned char> out = {'>', ' '};
    decodeDnsMessageFqdn(0, w.b.data(), w.size(), out, false);
    EXPECT_EQ(text(out), "> x.y");
}

TEST(DnsName, Compression) {
    Wire w;
    w.name("example.com");              // 0..12
    w.u8(3).text("www").ptr(0);          // 13..18: www + pointer
    w.ptr(13);                           // 19: pointer to a name that itself is compressed
    w.u8(0);                             // 21: pad so pointer bytes are not last
    uint32_t end = 0;
    EXPECT_EQ(fqdn(w, 13, true, &end), "www.example.com.");
    EXPECT_EQ(end, 19u); // just past the first pointer met
    EXPECT_EQ(fqdn(w, 19, false, &end), "www.example.com");
    EXPECT_EQ(end, 21u); // a name that begins with a pointer: no leading dot, ends after it
}

TEST(DnsName, PointerLimit) {
    // Chain of 127 pointers, each to the next, ending in the root.
    Wire ok;
    for (uint32_t i = 0; i < 127; ++i)
        ok.ptr(2 * (i + 1));
    ok.u8(0);
    uint32_t end = 0;
    EXPECT_EQ(fqdn(ok, 0, true, &end), ".");
    EXPECT_EQ(end, 2u);

    Wire longer = ok;
    longer.b.insert(longer.b.begin(), {0xC0, 0x00});
    for (uint32_t i = 0; i < 128; ++i) {
        longer.b[2 * i] = uint8_t(0xC0 | ((2 * (i + 1)) >> 8));
        longer.b[2 * i + 1] = uint8_t(2 * (i + 1));
    }
    EXPECT_EQ(fqdnError(longer, 0), "Read FQDN failed: DNS name has at least 128 label pointers which is more "
                                    "than the maximum allowed of 127");

    Wire self = Wire().header(1, 0, 1, 0, 0, 0).ptr(12).u16(1).u16(1);
    EXPECT_EQ(fqdnError(self, 12), "Read FQDN failed: DNS name has at least 128 label pointers which is more "
                                   "than the maximum allowed of 127");
    DnsMessage m;
    decode(self, m);
    EXPECT_EQ(m.error, Failed + "Read FQDN failed: DNS name has at least 128 label pointers which is more than "
                                "the maximum allowed of 127");
}

TEST(DnsName, Errors) {
    struct Case {
        Wire w;
        uint32_t offset;
        std::string error;
    };
    std::vector<Case> cases = {
        {Wire().u8(1).text("a").ptr(100), 0, "Read FQDN failed: DNS name uses pointer offset 100 which is past packet len 4"},
        {Wire().ptr(4).u16(0), 0, "Read FQDN failed: DNS name uses pointer offset 4 which is past packet len 4"},
        // Reserved 01 form: 0x40 ^ 0xC0 = 0x80 -> target from 32768 up.
        {Wire().u8(0x40).u8(0x01).u8(0), 0, "Read FQDN failed: DNS name uses pointer offset 32769 which is past packet len 3"},
        {Wire().u8(0x80).u8(0x00).u8(0), 0, "Read FQDN failed: DNS name uses pointer offset 16384 which is past packet len 3"},
        // A label must leave room for a further byte.
        {Wire().u8(3).text("abc"), 0, "Read FQDN failed: DNS name offset + label length 4 which is past packet len 4"},
        {Wire().u8(63).text("ab"), 0, "Read FQDN failed: DNS name offset + label length 64 which is past packet len 3"},
        {Wire().u8(1).text("a"), 0, "Read FQDN failed: DNS name offset + label length 2 which is past packet len 2"},
        {Wire().u8(0xC0), 0, "DataError: Read uint8_t failed: Offset 1 + 1 is out of bounds for data of 1 bytes"},
        {Wire().u8(0), 1, "DataError: Read uint8_t failed: Offset 1 + 1 is out of bounds for data of 1 bytes"},
    };
    for (auto& c : cases)
        EXPECT_EQ(fqdnError(c.w, c.offset), c.error);
}

TEST(DnsName, LengthLimit) {
    // 255 wire octets is the longest name: 3 labels of 63, one of 61, the root.
    auto build = [](uint32_t lastLabel) {
        Wire w;
        for (int i = 0; i < 3; ++i)
            w.str(std::string(63, 'a'));
        w.str(std::string(lastLabel, 'b'));
        w.u8(0);
        return w;
    };
    Wire ok = build(61);
    ASSERT_EQ(ok.size(), 255u);
    EXPECT_EQ(fqdn(ok, 0, false).size(), 253u);
    EXPECT_EQ(fqdnError(build(62), 0),
              "Read FQDN failed: DNS name has at least 256 octets which is more than the maximum allowed of 255");

    // The limit also holds across pointers: a label looping back on itself.
    Wire loop = Wire().u8(1).text("a").ptr(0);
    EXPECT_EQ(fqdnError(loop, 0),
              "Read FQDN failed: DNS name has at least 257 octets which is more than the maximum allowed of 255");

    // Many pointers each re-entering a long name.
    Wire fan;
    fan.str(std::string(60, 'x')).str(std::string(60, 'y')).name("z"); // 0..124
    fan.u8(60).text(std::string(60, 'w')).ptr(0);                       // 125: w + pointer
    fan.u8(60).text(std::string(60, 'v')).ptr(125);                     // 188
    fan.u8(10).text(std::string(10, 'u')).ptr(188);                     // 251
    EXPECT_EQ(fqdn(fan, 188, false).size(), 60u * 4 + 1 + 4);
    EXPECT_EQ(fqdnError(fan, 251),
              "Read FQDN failed: DNS name has at least 256 octets which is more than the maximum allowed of 255");
}

TEST(DnsMessage, AdditionalPseudoRecordsDropped) {
    std::vector<uint8_t> opt;
    {
        DnsMessage m;
        Wire w;
        w.header(7, 0, 1, 0, 0, 1).question("a");
        w.name("").rrFields(41, 1232, 0, opt);
        decode(w, m);
        ASSERT_EQ(m.error, "");
        EXPECT_EQ(m.arcount, 0);
    }
    {
        DnsMessage m;
        Wire w;
        w.header(7, 0, 1, 0, 0, 3).question("a");
        w.name("").rrFields(41, 1232, 0, {0, 10, 0, 2, 1, 2});
        w.rr("host", 1, A1234);
        w.rr("key", 250, {1, 2, 3}); // TSIG
        decode(w, m, true);
        ASSERT_EQ(m.error, "");
        EXPECT_EQ(m.arcount, 1);
        EXPECT_EQ(text(m.additional[0]->name), "host.");
        EXPECT_EQ(text(m.additional[0]->rdata), "1.2.3.4");
    }
    {
        // SIG dropped too; only in the additional section.
        DnsMessage m;
        Wire w;
        w.header(7, 0, 1, 1, 0, 1).question("a");
        w.rr("x", 24, {9, 9});
        w.rr("y", 24, {9, 9});
        decode(w, m);
        ASSERT_EQ(m.error, "");
        EXPECT_EQ(m.ancount, 1);
        EXPECT_EQ(text(m.answers[0]->rdata), "\\# 2 0909");
        EXPECT_EQ(m.arcount, 0);
    }
    {
        // Bounds are tested before the type.
        DnsMessage m;
        Wire w;
        w.header(7, 0, 1, 0, 0, 1).question("a");
        w.name("").u16(41).u16(512).u32(0).u16(5).bytes({1, 2});
        decode(w, m);
        EXPECT_EQ(m.error, Failed + "Offset 30 + record data length 5 is out of bounds for packet of 32 bytes");
    }
}

TEST(DnsMessage, RecordDataBounds) {
    Wire w;
    w.header(1, 0, 1, 1, 0, 0).question("a");
    w.rr("b", 99, {1, 2, 3});
    DnsMessage m;
    decode(w, m);
    EXPECT_EQ(m.error, "");
    EXPECT_EQ(text(m.answers[0]->rdata), "\\# 3 010203");

    Wire shortBy1 = w;
    shortBy1.b.pop_back();
    decode(shortBy1, m);
    EXPECT_EQ(m.error, Failed + "Offset 32 + record data length 3 is out of bounds for packet of 34 bytes");

    // Trailing bytes after the last record are ignored.
    Wire trailing = w;
    trailing.bytes({0xFF, 0xFF, 0xFF});
    decode(trailing, m);
    EXPECT_EQ(m.error, "");
    EXPECT_EQ(m.size, trailing.size());

    // Record fields cut short.
    Wire cut = Wire().header(1, 0, 1, 1, 0, 0).question("a").name("b").u16(1).u16(1).u16(0);
    decode(cut, m);
    EXPECT_EQ(m.error, Failed + "Read uint32_t failed: Offset 26 + 4 is out of bounds for data of 28 bytes");
}

TEST(DnsMessage, RenderErrorBecomesErrorText) {
    Wire w;
    w.header(1, 0, 1, 1, 0, 0).question("a");
    w.rr("b", 1, {1, 2, 3, 4, 5});
    DnsMessage m;
    decode(w, m);
    EXPECT_EQ(m.error, Failed + "A record data length is 5 but should be 4");
}

TEST(DnsMessage, WorkspaceReuse) {
    Wire three;
    three.header(1, 0, 1, 3, 0, 0).question("first.example");
    three.rr("a.example", 1, {10, 0, 0, 1});
    three.rr("b.example", 1, {10, 0, 0, 2});
    three.rr("c.example", 1, {10, 0, 0, 3});
    Wire one;
    one.header(2, 0, 1, 1, 0, 0).question("second");
    one.rr("Z", 16, Wire().str("hi").b);

    DnsMessage m;
    decode(three, m);
    ASSERT_EQ(m.error, "");
    DnsRecord* slot0 = m.answers[0];
    DnsRecord* slot2 = m.answers[2];
    decode(one, m);
    ASSERT_EQ(m.error, "");
    ASSERT_EQ(m.answers.size(), 3u);
    EXPECT_EQ(m.ancount, 1);
    EXPECT_EQ(m.answers[0], slot0);
    EXPECT_EQ(text(m.answers[0]->name), "Z");
    EXPECT_EQ(text(m.answers[0]->nameLower), "z");
    EXPECT_EQ(text(m.answers[0]->rdata), "\"hi\"");
    EXPECT_EQ(text(m.qname), "second");
    EXPECT_EQ(text(slot2->name), "c.example"); // left over from the earlier message

    // After a failure the next decode clears the error.
    decode(Wire().header(1, 0, 0, 0, 0, 0), m);
    EXPECT_NE(m.error, "");
    decode(one, m);
    EXPECT_EQ(m.error, "");
}

TEST(DnsMessage, SteadyStateDecodeDoesNotAllocate) {
    Wire w;
    w.header(1, 0x8180, 1, 2, 1, 2).question("www.example.com", 1);
    w.ptr(12).rrFields(5, 1, 60, Wire().name("cdn.example.net").b);
    w.name("cdn.example.net").rrFields(1, 1, 60, A1234);
    w.rr("example.net", 6, Wire().name("ns.example.net").name("host.example.net").u32(1).u32(2).u32(3).u32(4).u32(5).b);
    w.name("").rrFields(41, 1232, 0, {});
    w.rr("ns.example.net", 28, std::vector<uint8_t>(16, 0x20));
    DnsMessage m;
    decode(w, m);
    ASSERT_EQ(m.error, "");
    decode(w, m, true);
    allocations = 0;
    countAllocations = true;
    for (int i = 0; i < 10; ++i)
        decode(w, m, i % 2 == 0);
    countAllocations = false;
    EXPECT_EQ(m.error, "");
    EXPECT_EQ(allocations.load(), 0u);
}

// Messages captured from a real DNS server, with their decoded header,
// question and records checked against the server's own presentation text.
std::string dataPath(const char* name) {
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/data/" + name;
}

std::vector<uint8_t> fromHex(const std::string& h) {
    std::vector<uint8_t> b;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        b.push_back(uint8_t(std::stoi(h.substr(i, 2), nullptr, 16)));
    return b;
}

struct Captured {
    std::string comment;
    std::vector<uint8_t> query, response;
};

std::vector<Captured> loadCaptured() {
    std::ifstream in(dataPath("knot_messages.txt"));
    std::vector<Captured> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("## ", 0) == 0)
            continue; // file comment
        if (line.rfind("# ", 0) == 0)
            out.push_back({line, {}, {}});
        else if (line.rfind("query ", 0) == 0)
            out.back().query = fromHex(line.substr(6));
        else if (line.rfind("response ", 0) == 0)
            out.back().response = fromHex(line.substr(9));
    }
    return out;
}

std::string dump(const DnsMessage& m) {
    std::ostringstream o;
    o << "err=" << m.error << " id=" << m.id << " flags=" << m.flags << " q=" << text(m.qname) << " " << m.qtype
      << " an=" << m.ancount << " ns=" << m.nscount << " ar=" << m.arcount << "\n";
    auto section = [&](const char* tag, const std::vector<DnsRecord*>& v, int n) {
        for (int i = 0; i < n; ++i)
            o << "  " << tag << " " << text(v[i]->name) << " " << v[i]->type << " " << v[i]->ttl << " | "
              << text(v[i]->rdata) << "\n";
    };
    section("an", m.answers, m.ancount);
    section("ns", m.authority, m.nscount);
    section("ar", m.additional, m.arcount);
    return o.str();
}

TEST(DnsMessage, CapturedServerMessages) {
    std::vector<Captured> captured = loadCaptured();
    ASSERT_EQ(captured.size(), 27u);
    std::ifstream expectedFile(dataPath("knot_messages.expected"));
    std::stringstream expected;
    expected << expectedFile.rdbuf();
    std::string actual;
    DnsMessage m;
    for (const auto& c : captured) {
        decodeDnsMessage(c.query.data(), uint32_t(c.query.size()), m, true);
        EXPECT_EQ(m.error, "") << c.comment;
        EXPECT_EQ(m.arcount, 0) << c.comment; // the query's OPT record is dropped
        EXPECT_EQ(text(m.qname) + " ", c.comment.substr(2, c.comment.find(' ', 2) - 2) + ". ");
        decodeDnsMessage(c.response.data(), uint32_t(c.response.size()), m, true);
        actual += c.comment + "\n" + dump(m);
    }
    EXPECT_EQ(actual, expected.str());
}

// Hostile input: every truncation and many random mutations of a rich message,
// plain random bytes and crafted worst cases must decode or fail cleanly.
TEST(DnsMessage, Robustness) {
    Wire w;
    w.header(0x1234, 0x8180, 1, 6, 1, 2).question("www.example.com", 65);
    w.ptr(12).rrFields(65, 1, 60, Wire().u16(1).u8(0).u16(1).u16(6).str("h2").str("h3").u16(3).u16(2).u16(443).b);
    w.ptr(12).rrFields(16, 1, 60, Wire().str("v=spf1").str("x\"y").b);
    w.ptr(12).rrFields(15, 1, 60, Wire().u16(10).ptr(12).b);
    w.ptr(12).rrFields(50, 1, 60, Wire().u8(1).u8(0).u16(0).u8(0).u8(2).u16(0xFFFF).u8(0).u8(1).u8(0x22).b);
    w.ptr(12).rrFields(46, 1, 60, Wire().u16(1).u8(8).u8(2).u32(60).u32(0).u32(0).u16(7).ptr(16).bytes({1, 2, 3}).b);
    w.ptr(12).rrFields(45, 1, 60, Wire().u8(1).u8(3).u8(2).ptr(16).bytes({5, 6}).b);
    w.ptr(16).rrFields(6, 1, 60, Wire().ptr(16).ptr(12).u32(1).u32(2).u32(3).u32(4).u32(5).b);
    w.name("").rrFields(41, 1232, 0, {});
    w.rr("x", 257, Wire().u8(0).str("issue").text("ca").b);
    DnsMessage m;
    decode(w, m);
    ASSERT_EQ(m.error, "");

    auto check = [&](const std::vector<uint8_t>& b) {
        // A heap copy of exactly the given size lets sanitizers catch overreads.
        std::unique_ptr<uint8_t[]> copy(new uint8_t[b.size() + 1]);
        std::copy(b.begin(), b.end(), copy.get());
        decodeDnsMessage(copy.get(), uint32_t(b.size()), m, true);
        if (!m.error.empty()) {
            ASSERT_EQ(m.error.rfind(Failed, 0), 0u) << m.error;
        }
        ASSERT_EQ(m.size, b.size());
    };
    for (size_t n = 0; n <= w.b.size(); ++n)
        check(std::vector<uint8_t>(w.b.begin(), w.b.begin() + n));

    std::vector<std::vector<uint8_t>> seeds = {w.b};
    for (const auto& c : loadCaptured())
        seeds.push_back(c.response);
    std::mt19937 rng(12345);
    for (int i = 0; i < 40000; ++i) {
        std::vector<uint8_t> b = seeds[i % seeds.size()];
        int flips = 1 + int(rng() % 4);
        for (int f = 0; f < flips; ++f)
            b[rng() % b.size()] = uint8_t(rng());
        check(b);
    }
    for (int i = 0; i < 5000; ++i) {
        std::vector<uint8_t> b(rng() % 300);
        for (auto& x : b)
            x = uint8_t(rng());
        if (b.size() > 5) {
            b[4] = 0;
            b[5] = 1;
        }
        check(b);
    }

    // Worst case: a full-size packet of records whose names re-enter a
    // maximal chain; bounded by the name limits, it decodes at once.
    Wire big;
    big.header(1, 0, 1, 0xFFFF, 0, 0);
    big.u8(63).text(std::string(63, 'a')).u8(63).text(std::string(63, 'b')).u8(63).text(std::string(63, 'c'));
    big.u8(61).text(std::string(61, 'd')).u8(0).u16(1).u16(1);
    while (big.size() + 12 < 65535)
        big.ptr(12).rrFields(2, 1, 0, Wire().ptr(12).b);
    decode(big, m, true);
    EXPECT_EQ(m.error.rfind(Failed, 0), 0u);
    EXPECT_EQ(text(m.answers[0]->rdata).size(), 254u);
}

} // namespace
