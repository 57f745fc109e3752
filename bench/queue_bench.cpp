// Throughput of the event queue: producers append fixed-size events while
// competing consumers extract them (waiting when the ring is empty).
// A large ring measures hand-off; a small one is the drop-heavy case.
// The batch variants hand events over with appendBatch and extractBatch,
// as the receivers and forwarders do.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "pipeline/queue.h"

using ns::event::queue::EventQueue;
using ns::event::queue::EventQueueConfig;

namespace {

constexpr int64_t eventsPerIteration = 1 << 20;

// Args: event size, producers, consumers, ring bytes, events per appendBatch
// and per extractBatch (0: one append or extract per event).
void BM_QueueTransfer(benchmark::State& state)
{
    const size_t eventSize = size_t(state.range(0));
    const int producers = int(state.range(1));
    const int consumers = int(state.range(2));
    const size_t appendBatch = size_t(state.range(4));
    const size_t extractBatch = size_t(state.range(5));
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
                std::vector<uint32_t> lengths(std::max<size_t>(extractBatch, 1));
                uint64_t n = 0;
                for (bool done = false; !done;) {
                    out.clear();
                    size_t k = 0;
                    if (extractBatch == 0) {
                        q.extract(out);
                        k = out.empty() ? 0 : 1;
                        lengths[0] = uint32_t(out.size());
                    } else {
                        k = q.extractBatch(out, lengths.data(), extractBatch);
                    }
                    if (k == 0) {
                        q.wait();
                        continue;
                    }
                    for (size_t i = 0; i < k; ++i) {
                        if (lengths[i] == 1) {
                            // Put back what came after this consumer's marker.
                            done = true;
                            size_t pos = 0;
                            for (size_t j = 0; j < i; ++j)
                                pos += lengths[j];
                            pos += 1;
                            for (size_t j = i + 1; j < k; ++j) {
                                q.append(out.data() + pos, lengths[j]);
                                pos += lengths[j];
                            }
                            break;
                        }
                        ++n;
                    }
                }
                extracted.fetch_add(n, std::memory_order_relaxed);
            });
        }
        std::vector<std::thread> prod;
        for (int p = 0; p < producers; ++p) {
            prod.emplace_back([&] {
                const int64_t count = eventsPerIteration / producers;
                if (appendBatch == 0) {
                    for (int64_t i = 0; i < count; ++i)
                        q.append(event.data(), event.size());
                    return;
                }
                std::vector<ns::event::queue::EventSpan> spans(appendBatch, {event.data(), event.size()});
                for (int64_t i = 0; i < count; i += int64_t(appendBatch))
                    q.appendBatch(spans.data(), size_t(std::min<int64_t>(int64_t(appendBatch), count - i)));
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
            for (int64_t c : {1, 2, 4}) {
                b->Args({size, p, c, 64 << 20, 0, 0});
                // Batches as the receivers (whole read buffers) and the
                // forwarders (batch-size 100) make them.
                b->Args({size, p, c, 64 << 20, 64, 100});
            }
    // Drop-heavy: a ring of 64 KiB overruns whenever consumers fall behind.
    for (int64_t size : {100, 300})
        for (int64_t p : {1, 4, 8}) {
            b->Args({size, p, 1, 64 << 10, 0, 0});
            b->Args({size, p, 1, 64 << 10, 64, 100});
        }
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

// One thread: the cost per event of appendBatch plus extractBatch.
void BM_QueueBatchSingleThread(benchmark::State& state)
{
    EventQueueConfig config;
    config.size = 1 << 20;
    config.recovery = false;
    EventQueue q(config);
    const size_t batch = size_t(state.range(1));
    const std::vector<uint8_t> event(size_t(state.range(0)), 0x5A);
    const std::vector<ns::event::queue::EventSpan> spans(batch, {event.data(), event.size()});
    std::vector<uint32_t> lengths(batch);
    std::vector<unsigned char> out;
    out.reserve(batch * event.size());
    for (auto _ : state) {
        q.appendBatch(spans.data(), spans.size());
        out.clear();
        q.extractBatch(out, lengths.data(), batch);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations() * int64_t(batch)));
}

} // namespace

BENCHMARK(BM_QueueTransfer)
    ->Apply(transferArgs)
    ->ArgNames({"bytes", "producers", "consumers", "ring", "appendBatch", "extractBatch"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);
BENCHMARK(BM_QueueAppendExtractSingleThread)->Arg(100)->Arg(300);
BENCHMARK(BM_QueueBatchSingleThread)->Args({100, 100})->Args({300, 100})->ArgNames({"bytes", "batch"});

BENCHMARK_MAIN();
