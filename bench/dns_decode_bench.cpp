// Decoding speed of typical DNS responses into a reused workspace.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "dns/dns.h"

namespace {

void decode(benchmark::State& state, const std::vector<uint8_t>& packet) {
    ns::net::dns::DnsMessage m;
    for (auto _ : state) {
        ns::net::dns::decodeDnsMessage(packet.data(), uint32_t(packet.size()), m, true);
        benchmark::DoNotOptimize(m.size);
    }
    if (!m.error.empty())
        state.SkipWithError(m.error.c_str());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(packet.size()));
}

void BM_DecodeSmallResponse(benchmark::State& state) {
    // Built here so the bench does not depend on test data paths.
    std::vector<uint8_t> p = {0x40, 0x09, 0x85, 0x00, 0, 1, 0, 2, 0, 0, 0, 1};
    const char* q[] = {"www", "example", "test"};
    for (const char* l : q) {
        p.push_back(uint8_t(std::char_traits<char>::length(l)));
        p.insert(p.end(), l, l + std::char_traits<char>::length(l));
    }
    p.insert(p.end(), {0, 0, 1, 0, 1});
    p.insert(p.end(), {0xC0, 12, 0, 5, 0, 1, 0, 0, 0x0E, 0x10, 0, 6, 3, 'w', 'e', 'b', 0xC0, 16});
    p.insert(p.end(), {0xC0, 41, 0, 1, 0, 1, 0, 0, 0x0E, 0x10, 0, 4, 192, 0, 2, 80});
    p.insert(p.end(), {0, 0, 41, 0x04, 0xD0, 0, 0, 0, 0, 0, 0});
    decode(state, p);
}
BENCHMARK(BM_DecodeSmallResponse);

void BM_DecodeSignedNxdomain(benchmark::State& state) {
    // NXDOMAIN with four NSEC3 records and an RRSIG over each.
    std::vector<uint8_t> p = {0x40, 0x09, 0x85, 0x03, 0, 1, 0, 0, 0, 8, 0, 0};
    p.insert(p.end(), {4, 'n', 'o', 'p', 'e', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 4, 't', 'e', 's', 't', 0, 0, 1, 0, 1});
    for (int i = 0; i < 4; ++i) {
        // NSEC3 owner: 32-character hash label + pointer to example.test.
        p.push_back(32);
        for (int k = 0; k < 32; ++k)
            p.push_back(uint8_t('a' + (k + i) % 26));
        p.insert(p.end(), {0xC0, 17, 0, 50, 0, 1, 0, 0, 1, 0x2C, 0, 40, 1, 0, 0, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8, 20});
        for (int k = 0; k < 20; ++k)
            p.push_back(uint8_t(k * 13 + i));
        p.insert(p.end(), {0, 4, 0x62, 0x01, 0x80, 0x08});
        // RRSIG over it: 18 fixed bytes, signer pointer, 64-byte signature.
        p.insert(p.end(), {0xC0, 17, 0, 46, 0, 1, 0, 0, 1, 0x2C, 0, 84, 0, 50, 13, 3, 0, 0, 1, 0x2C,
                           0x6A, 0x00, 0x00, 0x00, 0x69, 0x00, 0x00, 0x00, 0x1A, 0xAF, 0xC0, 17});
        for (int k = 0; k < 64; ++k)
            p.push_back(uint8_t(k * 7 + i));
    }
    decode(state, p);
}
BENCHMARK(BM_DecodeSignedNxdomain);

} // namespace

BENCHMARK_MAIN();
