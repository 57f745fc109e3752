// Throughput of the event queue: producers append fixed-size events while
// competing consumers extract them (waiting when the ring is empty).
// A large ring measures hand-off; a small one is the drop-heavy case.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "pipeline/queue.h"

using ns::event::queue::EventQueue;
using ns::event::queue::EventQueueConfig;

namespace {

constexpr int64_t eventsPerIteration = 1 << 20;

// Args: event size, producers, consumers, ring bytes.
void BM_QueueTransfer(benchmark::State& state)
{
    const size_t eventSize = size_t(state.range(0));
    const int producers = int(state.range(1));
    const int consumers = int(state.range(2));
    EventQueueConfig config;
    config.size = uint64_t(state.range(3));
    config.recovery = false;
    auto queue = std::make_unique<EventQueue>(config);
    EventQueue& q = *queue;
    const std::vector<uint8_t> event(eventSize, 0xA5);
    const uint8_t stopMarker = 0; // a 1-byte event ends one consumer

    std::atomic<uint64_t> extracted{0};
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int c = 0; c < consumers; ++c) {
            threads.emplace_back([&] {
                std::vector<unsigned char> out;
                out.reserve(64 * 1024);
                uint64_t n = 0;
                for (;;) {
                    out.clear();
                    q.extract(out);
                    if (out.size() == 1)
                        break;
                    if (out.empty())
                        q.wait();
                    else
                        ++n;
                }
                extracted.fetch_add(n, std::memory_order_relaxed);
            });
        }
        std::vector<std::thread> prod;
        for (int p = 0; p < producers; ++p) {
            prod.emplace_back([&] {
                for (int64_t i = 0; i < eventsPerIteration / producers; ++i)
                    q.append(event.data(), event.size());
            });
        }
        for (auto& t : prod)
            t.join();
        for (int c = 0; c < consumers; ++c)
            q.append(&stopMarker, 1);
        for (auto& t : threads)
            t.join();
    }
    ns::metrics::EventQueueMetrics m;
    q.getMetrics(m);
    const double appended = double(state.iterations()) * double(eventsPerIteration / producers * producers);
    state.SetItemsProcessed(int64_t(appended));
    state.SetBytesProcessed(int64_t(appended * double(eventSize)));
    state.counters["extracted"] = benchmark::Counter(double(extracted.load()), benchmark::Counter::kIsRate);
    state.counters["dropped%"] = 100.0 * double(m.eventsDropped.load()) / appended;
}

void transferArgs(benchmark::internal::Benchmark* b)
{
    for (int64_t size : {100, 300})
        for (int64_t p : {1, 4, 8})
            for (int64_t c : {1, 2, 4})
                b->Args({size, p, c, 64 << 20});
    // Drop-heavy: a ring of 64 KiB overruns whenever consumers fall behind.
    for (int64_t size : {100, 300})
        for (int64_t p : {1, 4, 8})
            b->Args({size, p, 1, 64 << 10});
}

// One thread, no contention: the cost of one append plus one extract.
void BM_QueueAppendExtractSingleThread(benchmark::State& state)
{
    EventQueueConfig config;
    config.size = 1 << 20;
    config.recovery = false;
    EventQueue q(config);
    const std::vector<uint8_t> event(size_t(state.range(0)), 0x5A);
    std::vector<unsigned char> out;
    out.reserve(4096);
    for (auto _ : state) {
        q.append(event.data(), event.size());
        out.clear();
        q.extract(out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_QueueTransfer)
    ->Apply(transferArgs)
    ->ArgNames({"bytes", "producers", "consumers", "ring"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);
BENCHMARK(BM_QueueAppendExtractSingleThread)->Arg(100)->Arg(300);

BENCHMARK_MAIN();
