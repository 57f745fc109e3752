// Per-event text encoders of the JSON line formatter.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "foundation/encoding/data.h"
#include "foundation/encoding/hex.h"
#include "foundation/encoding/ip.h"
#include "foundation/encoding/json.h"
#include "foundation/encoding/time.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Keeps the buffer's capacity, as a formatter reusing its buffer does.
void reset(Bytes& out) { out.clear(); }

void BM_JsonStrPlain(benchmark::State& state) {
    const std::string s = "www.example-domain.com. IN AAAA 2001:db8::1";
    Bytes out;
    out.reserve(4096);
    for (auto _ : state) {
        reset(out);
        ns::encoding::json::formatJsonStr(out, reinterpret_cast<const uint8_t*>(s.data()), uint32_t(s.size()));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.size()));
}
BENCHMARK(BM_JsonStrPlain);

void BM_JsonStrEscaped(benchmark::State& state) {
    const std::string s = "v=spf1 include:_spf.example.com/24 \"quoted\" ~all\tend";
    Bytes out;
    out.reserve(4096);
    for (auto _ : state) {
        reset(out);
        ns::encoding::json::formatJsonStr(out, reinterpret_cast<const uint8_t*>(s.data()), uint32_t(s.size()));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.size()));
}
BENCHMARK(BM_JsonStrEscaped);

void BM_JsonKey(benchmark::State& state) {
    Bytes out;
    out.reserve(4096);
    for (auto _ : state) {
        reset(out);
        ns::encoding::json::formatJsonKey(out, "query_name", false);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_JsonKey);

void BM_TimeIso(benchmark::State& state) {
    Bytes out;
    out.reserve(4096);
    int64_t s = 1700000000;
    for (auto _ : state) {
        reset(out);
        ns::encoding::time::formatTimeIso(out, s++, 123456789);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_TimeIso)->Threads(1)->Threads(8);

// Reference: the C library route (reentrant conversion and printf).
void BM_TimeIsoLibc(benchmark::State& state) {
    char buf[64];
    time_t s = 1700000000;
    for (auto _ : state) {
        struct tm tm;
        gmtime_r(&s, &tm);
        ++s;
        int n = std::snprintf(buf, sizeof(buf), "%04d-%02d-%02dT%02d:%02d:%02d.%06uZ", tm.tm_year + 1900,
                              tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 123456u);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buf);
    }
}
BENCHMARK(BM_TimeIsoLibc)->Threads(1)->Threads(8);

void BM_Ipv6(benchmark::State& state) {
    const uint8_t a[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0x12, 0x34};
    Bytes out;
    out.reserve(4096);
    for (auto _ : state) {
        reset(out);
        ns::encoding::ip::formatIpv6(out, a);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_Ipv6);

void BM_Ipv4(benchmark::State& state) {
    const uint8_t a[4] = {192, 168, 100, 254};
    Bytes out;
    out.reserve(4096);
    for (auto _ : state) {
        reset(out);
        ns::encoding::ip::formatIpv4(out, a);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_Ipv4);

void BM_Uint(benchmark::State& state) {
    Bytes out;
    out.reserve(4096);
    uint64_t v = 1234567;
    for (auto _ : state) {
        reset(out);
        ns::encoding::data::formatUint(out, v++);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_Uint);

void BM_Hex(benchmark::State& state) {
    const Bytes in(size_t(state.range(0)), 0xA5);
    Bytes out;
    out.reserve(in.size() * 2 + 16);
    for (auto _ : state) {
        reset(out);
        ns::encoding::hex::formatHex(out, in.data(), uint32_t(in.size()));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_Hex)->Arg(100)->Arg(4096);

} // namespace

BENCHMARK_MAIN();
