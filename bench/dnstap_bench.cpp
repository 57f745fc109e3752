// Decoding and encoding of a typical client-response dnstap frame.
#include <benchmark/benchmark.h>

#include <vector>

#include "dns/dnstap.h"

using namespace ns::encoding::dnstap;

namespace {

DnstapEvent typicalEvent() {
    DnstapEvent e{};
    const char id[] = "resolver.example";
    e.identity.assign(id, id + sizeof(id) - 1);
    const char ver[] = "resolver 1.17.1";
    e.version.assign(ver, ver + sizeof(ver) - 1);
    e.type = 6;
    e.socket_family = 1;
    e.socket_protocol = 1;
    e.query_address = {127, 0, 0, 1};
    e.response_address = {127, 0, 0, 1};
    e.query_port = 53211;
    e.response_port = 53;
    e.query_time_sec = 1700000000;
    e.query_time_nsec = 123456789;
    e.response_time_sec = 1700000000;
    e.response_time_nsec = 223456789;
    e.response_message.assign(96, 0x2A);
    return e;
}

void BM_DecodeDnstapEvent(benchmark::State& state) {
    DnstapEvent in = typicalEvent();
    std::vector<unsigned char> payload;
    encodeDnstapEvent(payload, in);
    DnstapEvent out{};
    const auto size = static_cast<unsigned int>(payload.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(decodeDnstapEvent(out, payload.data(), size, 0));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}
BENCHMARK(BM_DecodeDnstapEvent);

void BM_EncodeDnstapEvent(benchmark::State& state) {
    DnstapEvent in = typicalEvent();
    std::vector<unsigned char> out;
    for (auto _ : state) {
        out.clear();
        encodeDnstapEvent(out, in);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_EncodeDnstapEvent);

} // namespace

BENCHMARK_MAIN();
