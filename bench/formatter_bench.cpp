// Events per second of the event formatter on one core, for three payload
// mixes and every text form, with the registered-domain lookup on. Heap
// allocations are counted through a replaced operator new; in the steady
// state a formatted event must allocate nothing.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "dns/dnstap.h"
#include "dns/event.h"
#include "dns/formatter.h"
#include "dns/psl.h"

namespace {
std::atomic<uint64_t> allocations{0};
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using ns::encoding::dnstap::DnstapEvent;
using ns::event::format::EventFormatterConfig;
using ns::net::dns::DnsMessageEvent;
using ns::net::dns::DnsMessageEventFormatter;

struct Wire {
    std::vector<uint8_t> b;
    void u8(uint8_t v) { b.push_back(v); }
    void u16(uint16_t v) {
        u8(v >> 8);
        u8(v & 0xFF);
    }
    void u32(uint32_t v) {
        u16(v >> 16);
        u16(v & 0xFFFF);
    }
    // Uncompressed name; returns its offset.
    uint16_t name(const std::string& text) {
        const auto at = static_cast<uint16_t>(b.size());
        size_t start = 0;
        while (start < text.size()) {
            size_t dot = text.find('.', start);
            if (dot == std::string::npos)
                dot = text.size();
            u8(static_cast<uint8_t>(dot - start));
            b.insert(b.end(), text.begin() + start, text.begin() + dot);
            start = dot + 1;
        }
        u8(0);
        return at;
    }
    void ptr(uint16_t offset) { u16(0xC000 | offset); }
    void rr(uint16_t type, uint32_t ttl, uint16_t rdlength) {
        u16(type);
        u16(1);
        u32(ttl);
        u16(rdlength);
    }
    void a(uint16_t owner, uint32_t ttl, uint32_t address) {
        ptr(owner);
        rr(1, ttl, 4);
        u32(address);
    }
    void opt() {
        u8(0);
        u16(41);
        u16(1232);
        u32(0);
        u16(0);
    }
};

const char* const Hosts[] = {"www", "mail", "api", "cdn", "static", "img", "login", "m"};
const char* const Domains[] = {"example.com",   "Example.co.uk", "shop.example.de", "news.example.org",
                               "service.io",    "bank.com.au",   "city.kobe.jp",    "portal.gov.br",
                               "video.net",     "app.example.fr", "data.edu",       "mirror.example.nl"};

std::string domainOf(int i) { return Domains[i % 12]; }
std::string qnameOf(int i) { return std::string(Hosts[i % 8]) + "." + domainOf(i / 8); }

std::vector<uint8_t> query(int i) {
    Wire w;
    w.u16(static_cast<uint16_t>(i));
    w.u16(0x0100);
    w.u16(1);
    w.u16(0);
    w.u16(0);
    w.u16(1);
    w.name(qnameOf(i));
    w.u16(i % 3 == 0 ? 28 : 1);
    w.u16(1);
    w.opt();
    return w.b;
}

// 1 to 5 answers; from 3 on the first is a CNAME to an edge name.
std::vector<uint8_t> answers(int i) {
    const int n = 1 + i % 5;
    Wire w;
    w.u16(static_cast<uint16_t>(i));
    w.u16(0x8180);
    w.u16(1);
    w.u16(static_cast<uint16_t>(n));
    w.u16(0);
    w.u16(0);
    const uint16_t q = w.name(qnameOf(i));
    w.u16(1);
    w.u16(1);
    uint16_t owner = q;
    int left = n;
    if (n >= 3) {
        w.ptr(q);
        const size_t rdlengthAt = w.b.size() + 8;
        w.rr(5, 300, 0);
        const size_t start = w.b.size();
        owner = w.name("edge" + std::to_string(i % 16) + ".cdn.provider.net");
        const auto len = static_cast<uint16_t>(w.b.size() - start);
        w.b[rdlengthAt] = static_cast<uint8_t>(len >> 8);
        w.b[rdlengthAt + 1] = static_cast<uint8_t>(len & 0xFF);
        --left;
    }
    for (int k = 0; k < left; ++k)
        w.a(owner, 60, 0xC0000200u + static_cast<uint32_t>(k + i % 200));
    return w.b;
}

// One answer, two NS records in authority, glue and OPT in additional.
std::vector<uint8_t> authority(int i) {
    Wire w;
    w.u16(static_cast<uint16_t>(i));
    w.u16(0x8580);
    w.u16(1);
    w.u16(1);
    w.u16(2);
    w.u16(3);
    const std::string domain = domainOf(i / 8);
    const uint16_t q = w.name(qnameOf(i));
    w.u16(1);
    w.u16(1);
    w.a(q, 3600, 0xC6336401u + static_cast<uint32_t>(i % 200));
    const uint16_t zone = static_cast<uint16_t>(q + 1 + std::string(Hosts[i % 8]).size());
    uint16_t ns[2];
    for (int k = 0; k < 2; ++k) {
        w.ptr(zone);
        w.rr(2, 86400, 6);
        ns[k] = static_cast<uint16_t>(w.b.size());
        w.u8(3);
        w.u8('n');
        w.u8('s');
        w.u8(static_cast<uint8_t>('1' + k));
        w.ptr(zone);
    }
    w.opt();
    w.a(ns[0], 86400, 0xC0000235u);
    w.a(ns[1], 86400, 0xC0000236u);
    return w.b;
}

enum Mix { Queries, Answers, Authority };
enum Form { Json, Standard, Extended };

constexpr int PayloadCount = 96;

struct Setup {
    std::vector<std::vector<uint8_t>> messages;
    std::vector<std::vector<unsigned char>> payloads; // the same events as dnstap frames
    uint64_t type;
};

Setup makeSetup(Mix mix) {
    Setup s;
    s.type = mix == Queries ? 5 : 6;
    for (int i = 0; i < PayloadCount; ++i) {
        s.messages.push_back(mix == Queries ? query(i) : mix == Answers ? answers(i) : authority(i));
        DnstapEvent d{};
        d.type = s.type;
        d.socket_family = 1;
        d.socket_protocol = i % 4 == 0 ? 2 : 1;
        d.query_address = {10, 0, static_cast<unsigned char>(i), 7};
        d.response_address = {10, 0, 0, 53};
        d.query_port = 40000 + static_cast<uint64_t>(i);
        d.response_port = 53;
        d.query_time_sec = d.response_time_sec = 1700000000 + static_cast<uint64_t>(i);
        d.query_time_nsec = d.response_time_nsec = 123456000;
        (s.type == 5 ? d.query_message : d.response_message) = s.messages.back();
        s.payloads.emplace_back();
        ns::encoding::dnstap::encodeDnstapEvent(s.payloads.back(), d);
    }
    return s;
}

EventFormatterConfig makeConfig(Form form) {
    EventFormatterConfig c;
    c.format = form == Json ? 0 : 1;
    c.querylogExtended = form == Extended;
    c.pid = 4242;
    const std::string host = "collector-01.example.net";
    c.host.assign(host.begin(), host.end());
    return c; // domain-suffix-mode "all", trailing dots
}

void loadSuffixes() {
    static bool loaded = false;
    if (!loaded) {
        ns::net::dns::loadPslDomainSuffixes(true);
        ns::net::dns::addDomainSuffix("example.co.uk", true);
        loaded = true;
    }
}

// format() alone, on events already extracted.
void BM_Format(benchmark::State& state, Mix mix, Form form) {
    loadSuffixes();
    Setup s = makeSetup(mix);
    DnsMessageEventFormatter formatter(makeConfig(form));
    std::vector<DnsMessageEvent> events(PayloadCount);
    std::vector<DnstapEvent> frames(PayloadCount);
    for (int i = 0; i < PayloadCount; ++i) {
        ns::encoding::dnstap::decodeDnstapEvent(frames[i], s.payloads[i].data(),
                                                static_cast<unsigned>(s.payloads[i].size()), 0);
        if (!ns::net::dns::extractDnsMessageEventFromDnstapEvent(events[i], frames[i]))
            state.SkipWithError("event not extracted");
    }
    std::vector<uint8_t> out;
    out.reserve(1 << 16);
    for (auto& e : events) // warm the workspace up
        formatter.format(out, e);
    out.clear();

    size_t i = 0;
    uint64_t bytes = 0;
    const uint64_t before = allocations.load(std::memory_order_relaxed);
    for (auto _ : state) {
        out.clear();
        formatter.format(out, events[i]);
        bytes += out.size();
        if (++i == events.size())
            i = 0;
    }
    const uint64_t allocated = allocations.load(std::memory_order_relaxed) - before;
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["allocs_per_event"] = benchmark::Counter(static_cast<double>(allocated) / state.iterations());
}

// The forwarder's whole text path: dnstap decode, extraction, format.
void BM_DecodeAndFormat(benchmark::State& state, Mix mix, Form form) {
    loadSuffixes();
    Setup s = makeSetup(mix);
    DnsMessageEventFormatter formatter(makeConfig(form));
    DnstapEvent frame{};
    DnsMessageEvent event;
    std::vector<uint8_t> out;
    out.reserve(1 << 16);
    auto one = [&](size_t k) {
        const auto& p = s.payloads[k];
        ns::encoding::dnstap::decodeDnstapEvent(frame, p.data(), static_cast<unsigned>(p.size()), 0);
        if (ns::net::dns::extractDnsMessageEventFromDnstapEvent(event, frame))
            formatter.format(out, event);
    };
    for (size_t k = 0; k < s.payloads.size(); ++k)
        one(k);
    size_t i = 0;
    const uint64_t before = allocations.load(std::memory_order_relaxed);
    for (auto _ : state) {
        out.clear();
        one(i);
        if (++i == s.payloads.size())
            i = 0;
    }
    const uint64_t allocated = allocations.load(std::memory_order_relaxed) - before;
    state.SetItemsProcessed(state.iterations());
    state.counters["allocs_per_event"] = benchmark::Counter(static_cast<double>(allocated) / state.iterations());
}

BENCHMARK_CAPTURE(BM_Format, queries_json, Queries, Json);
BENCHMARK_CAPTURE(BM_Format, queries_querylog, Queries, Standard);
BENCHMARK_CAPTURE(BM_Format, queries_querylog_extended, Queries, Extended);
BENCHMARK_CAPTURE(BM_Format, answers_json, Answers, Json);
BENCHMARK_CAPTURE(BM_Format, answers_querylog, Answers, Standard);
BENCHMARK_CAPTURE(BM_Format, answers_querylog_extended, Answers, Extended);
BENCHMARK_CAPTURE(BM_Format, authority_json, Authority, Json);
BENCHMARK_CAPTURE(BM_Format, authority_querylog, Authority, Standard);
BENCHMARK_CAPTURE(BM_Format, authority_querylog_extended, Authority, Extended);
BENCHMARK_CAPTURE(BM_DecodeAndFormat, queries_json, Queries, Json);
BENCHMARK_CAPTURE(BM_DecodeAndFormat, answers_json, Answers, Json);
BENCHMARK_CAPTURE(BM_DecodeAndFormat, authority_json, Authority, Json);

} // namespace

BENCHMARK_MAIN();
