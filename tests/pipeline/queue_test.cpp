#include "pipeline/queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using ns::event::queue::EventQueue;
using ns::event::queue::EventQueueConfig;
using ns::event::queue::QueueError;
using ns::metrics::EventQueueMetrics;
using Bytes = std::vector<unsigned char>;

// Sanitizer builds must let the oversized ring allocation fail normally.
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

EventQueueConfig ringOf(uint64_t size, bool recovery = false, const std::string& file = "event.queue")
{
    EventQueueConfig c;
    c.size = size;
    c.recovery = recovery;
    c.filename = file;
    return c;
}

Bytes payload(size_t n, unsigned char seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>(seed + i * 7);
    return b;
}

void put(EventQueue& q, const Bytes& b)
{
    q.append(b.data(), b.size());
}

Bytes take(EventQueue& q)
{
    Bytes out;
    q.extract(out);
    return out;
}

std::string errorOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const QueueError& e) {
        return e.what();
    }
    return "<no QueueError>";
}

struct Counts {
    uint64_t processed, queued, dropped;
};

Counts report(EventQueue& q)
{
    EventQueueMetrics m;
    q.getMetrics(m);
    return {m.eventsProcessed.load(), m.eventsQueued.load(), m.eventsDropped.load()};
}

// Byte-at-a-time model of the ring: drops the oldest event exactly when the
// writer reaches its header. The queue copies in bulk and must match it.
struct ModelRing {
    explicit ModelRing(uint64_t size) : buf(size) {}
    std::vector<uint8_t> buf;
    uint64_t r = 0, w = 0;
    bool wrapped = false;
    uint64_t processed = 0, queued = 0, dropped = 0;

    uint32_t len(uint64_t o) const
    {
        const uint64_t n = buf.size();
        return (uint32_t(buf[o]) << 16) | (uint32_t(buf[(o + 1) % n]) << 8) | buf[(o + 2) % n];
    }
    void advance(uint32_t l)
    {
        const uint64_t n = r + 3 + l;
        if (n >= buf.size()) {
            r = n - buf.size();
            wrapped = false;
        } else {
            r = n;
        }
        if (queued)
            --queued;
    }
    void byte(uint8_t b)
    {
        if (w == r && wrapped) {
            advance(len(r));
            ++dropped;
        }
        buf[w] = b;
        if (++w == buf.size()) {
            w = 0;
            wrapped = true;
        }
    }
    void append(const Bytes& p)
    {
        byte(uint8_t(p.size() >> 16));
        byte(uint8_t(p.size() >> 8));
        byte(uint8_t(p.size()));
        for (auto b : p)
            byte(b);
        ++queued;
    }
    bool extract(Bytes& out)
    {
        if (!wrapped && r == w)
            return false;
        const uint32_t l = len(r);
        for (uint32_t i = 0; i < l; ++i)
            out.push_back(buf[(r + 3 + i) % buf.size()]);
        advance(l);
        ++processed;
        return true;
    }
};

} // namespace

TEST(EventQueue, SizeLimits)
{
    struct Case {
        uint64_t ring;
        size_t length;
        const char* error; // nullptr: accepted
    };
    const Case cases[] = {
        {10, 7, nullptr},
        {10, 8, "value length 8 is larger than the size of the queue 10"},
        {3, 0, nullptr},
        {2, 0, "value length 0 is larger than the size of the queue 2"},
        {104857600, 16777215, nullptr},
        {104857600, 16777216, "value length 16777216 is larger than the maximum allowed of 16777215"},
        // The ring test comes first when both fail.
        {1000, 16777216, "value length 16777216 is larger than the size of the queue 1000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.ring) + "/" + std::to_string(c.length));
        EventQueue q(ringOf(c.ring));
        const Bytes p = payload(c.length, 1);
        if (c.error) {
            EXPECT_EQ(errorOf([&] { put(q, p); }), c.error);
            EXPECT_EQ(q.getWriteOffset(), 0u);
            const Counts n = report(q);
            EXPECT_EQ(n.queued, 0u);
            EXPECT_EQ(n.dropped, 0u);
        } else {
            put(q, p);
            EXPECT_EQ(take(q), p);
        }
    }
}

TEST(EventQueue, FullRingOfTenBytes)
{
    EventQueue q(ringOf(10));
    const Bytes a = payload(7, 3);
    put(q, a);
    EXPECT_EQ(q.getWriteOffset(), q.getReadOffset()); // full, not empty
    EXPECT_EQ(report(q).queued, 1u);
    const Bytes b = payload(7, 9);
    put(q, b); // drops a
    const Counts n = report(q);
    EXPECT_EQ(n.dropped, 1u);
    EXPECT_EQ(n.queued, 1u);
    EXPECT_EQ(take(q), b);
    EXPECT_TRUE(take(q).empty());
}

TEST(EventQueue, AllocationFailure)
{
    EXPECT_EQ(errorOf([] { EventQueue q(ringOf(UINT64_MAX)); }),
        "malloc(18446744073709551615) failed: Cannot allocate memory");
}

TEST(EventQueue, DropOldestKeepsNewest)
{
    EventQueue q(ringOf(1000));
    for (int i = 0; i < 100; ++i)
        put(q, payload(100, uint8_t(i)));
    // 103 bytes per event: 9 fit in 1000 bytes.
    const Counts n = report(q);
    EXPECT_EQ(n.queued, 9u);
    EXPECT_EQ(n.dropped, 91u);
    for (int i = 91; i < 100; ++i)
        EXPECT_EQ(take(q), payload(100, uint8_t(i))) << i;
    EXPECT_TRUE(take(q).empty());
    const Counts m = report(q);
    EXPECT_EQ(m.processed, 9u);
    EXPECT_EQ(m.queued, 0u);
    EXPECT_EQ(m.dropped, 0u);
}

TEST(EventQueue, SplitHeadersAndPayloads)
{
    // Ring of 20: the first event moves both offsets to 3 + firstLen, so the
    // second header starts at 17 (whole, payload wraps), 18 (split 2+1),
    // 19 (split 1+2), 0 (writer wrapped exactly) or 13 (payload wraps).
    for (size_t firstLen : {size_t(14), size_t(15), size_t(16), size_t(17), size_t(10)}) {
        SCOPED_TRACE(firstLen);
        EventQueue q(ringOf(20));
        const Bytes first = payload(firstLen, 1);
        put(q, first);
        EXPECT_EQ(take(q), first);
        const Bytes second = payload(8, 50); // crosses the end
        const Bytes third = payload(2, 90);
        put(q, second);
        put(q, third);
        EXPECT_EQ(take(q), second);
        EXPECT_EQ(take(q), third);
        EXPECT_TRUE(take(q).empty());
    }
}

TEST(EventQueue, EmptyExtractAndZeroLengthEvent)
{
    EventQueue q(ringOf(64));
    Bytes out = {1, 2, 3};
    q.extract(out);
    EXPECT_EQ(out, (Bytes{1, 2, 3}));
    Counts n = report(q);
    EXPECT_EQ(n.processed, 0u);
    EXPECT_EQ(n.queued, 0u);

    q.append(nullptr, 0);
    EXPECT_EQ(q.getWriteOffset(), 3u);
    q.extract(out);
    EXPECT_EQ(out, (Bytes{1, 2, 3}));
    EXPECT_EQ(q.getReadOffset(), 3u);
    n = report(q);
    EXPECT_EQ(n.processed, 1u);
    EXPECT_EQ(n.queued, 0u);
}

TEST(EventQueue, ExtractAppendsToOutput)
{
    EventQueue q(ringOf(64));
    put(q, Bytes{7, 8});
    put(q, Bytes{9});
    Bytes out = {1};
    q.extract(out);
    q.extract(out);
    EXPECT_EQ(out, (Bytes{1, 7, 8, 9}));
}

TEST(EventQueue, MetricsReportGrowthAndCurrentCount)
{
    EventQueue q(ringOf(16));
    put(q, payload(5, 1));
    put(q, payload(5, 2));
    put(q, payload(5, 3)); // drops the first
    take(q);
    Counts n = report(q);
    EXPECT_EQ(n.processed, 1u);
    EXPECT_EQ(n.queued, 1u);
    EXPECT_EQ(n.dropped, 1u);
    n = report(q);
    EXPECT_EQ(n.processed, 0u);
    EXPECT_EQ(n.queued, 1u);
    EXPECT_EQ(n.dropped, 0u);

    q.clear(); // a counter going backwards never reports a wrapped difference
    put(q, payload(1, 1));
    take(q);
    n = report(q);
    EXPECT_EQ(n.processed, 1u);
    EXPECT_EQ(n.queued, 0u);
    EXPECT_EQ(n.dropped, 0u);
    EXPECT_EQ(q.getReadOffset(), 4u);
}

TEST(EventQueue, MatchesByteAtATimeModel)
{
    std::mt19937 rng(12345);
    for (uint64_t size : {3u, 4u, 5u, 7u, 10u, 11u, 13u, 17u, 64u, 257u, 1000u}) {
        SCOPED_TRACE(size);
        EventQueue q(ringOf(size));
        ModelRing model(size);
        uint64_t processed = 0, dropped = 0;
        for (int step = 0; step < 4000; ++step) {
            if (rng() % 3 != 0) {
                const uint64_t maxLen = size - 3;
                size_t len = rng() % 4 == 0 ? rng() % (maxLen + 1) : rng() % (std::min<uint64_t>(maxLen, 9) + 1);
                const Bytes p = payload(len, uint8_t(rng()));
                put(q, p);
                model.append(p);
            } else {
                Bytes got, want;
                q.extract(got);
                model.extract(want);
                ASSERT_EQ(got, want);
            }
            ASSERT_EQ(q.getReadOffset(), model.r);
            ASSERT_EQ(q.getWriteOffset(), model.w);
            const Counts n = report(q);
            processed += n.processed;
            dropped += n.dropped;
            ASSERT_EQ(n.queued, model.queued);
            ASSERT_EQ(processed, model.processed);
            ASSERT_EQ(dropped, model.dropped);
        }
    }
}

TEST(EventQueue, SignalIsStickyAndWaitReturnsWithData)
{
    EventQueue q(ringOf(64));
    put(q, payload(3, 1));
    q.wait(); // data present: returns at once
    take(q);
    q.signal();
    q.wait(); // signalled earlier: returns at once
    q.wait();
}

TEST(EventQueue, WaiterWakesOnAppendAndOnSignal)
{
    EventQueue q(ringOf(64));
    auto waiter = std::async(std::launch::async, [&] { q.wait(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    put(q, payload(4, 1));
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    take(q);

    std::vector<std::future<void>> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.push_back(std::async(std::launch::async, [&] { q.wait(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    q.signal();
    for (auto& w : waiters)
        ASSERT_EQ(w.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

// Hand-offs of one event at a time: the consumer's empty extract and its
// sleep race with the producer's append. A lost wake-up hangs a round.
TEST(EventQueue, NoLostWakeUp)
{
    EventQueue q(ringOf(256));
    constexpr int rounds = 20000;
    std::atomic<int> done{0};
    std::thread consumer([&] {
        Bytes out;
        for (int i = 0; i < rounds; ++i) {
            for (;;) {
                out.clear();
                q.extract(out);
                if (!out.empty())
                    break;
                q.wait();
            }
            done.store(i + 1);
        }
    });
    for (int i = 0; i < rounds; ++i) {
        if (i % 16 == 0) // let the consumer get past any spinning into its sleep
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        put(q, payload(1 + i % 5, uint8_t(i)));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (done.load() <= i) {
            if (std::chrono::steady_clock::now() > deadline) {
                q.signal();
                consumer.join();
                FAIL() << "consumer stuck in round " << i;
            }
            std::this_thread::yield();
        }
    }
    consumer.join();
}

// Consumers asleep on the queue while events trickle in, alone and in bursts:
// no event may sit in the queue while every consumer sleeps.
TEST(EventQueue, SleepingConsumersAreWokenForEveryEvent)
{
    EventQueue q(ringOf(1 << 16));
    constexpr int total = 3000;
    std::atomic<int> got{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> consumers;
    for (int c = 0; c < 3; ++c)
        consumers.emplace_back([&] {
            Bytes out;
            while (!stop.load()) {
                out.clear();
                q.extract(out);
                if (out.empty())
                    q.wait();
                else
                    got.fetch_add(1);
            }
        });
    for (int i = 0; i < total; ++i) {
        if (i % 10 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        put(q, payload(4, uint8_t(i)));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (got.load() < total && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(got.load(), total);
    stop.store(true);
    q.signal();
    for (auto& t : consumers)
        t.join();
}

// Several producers and competing consumers: every event comes out exactly
// once, and each producer's events come out in their order.
TEST(EventQueue, CompetingProducersAndConsumers)
{
    constexpr int producers = 4, consumers = 3, perProducer = 20000;
    EventQueue q(ringOf(1 << 24)); // large enough: nothing is dropped
    std::vector<std::vector<std::pair<int, int>>> seen(consumers);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < consumers; ++c) {
        threads.emplace_back([&, c] {
            Bytes out;
            for (;;) {
                out.clear();
                q.extract(out);
                if (out.empty()) {
                    if (stop.load())
                        return;
                    q.wait();
                    continue;
                }
                ASSERT_GE(out.size(), 5u);
                const int p = out[0];
                const int seq = (out[1] << 24) | (out[2] << 16) | (out[3] << 8) | out[4];
                for (size_t i = 5; i < out.size(); ++i)
                    ASSERT_EQ(out[i], uint8_t(seq + i));
                seen[c].emplace_back(p, seq);
            }
        });
    }
    std::vector<std::thread> prod;
    for (int p = 0; p < producers; ++p) {
        prod.emplace_back([&, p] {
            Bytes ev;
            for (int s = 0; s < perProducer; ++s) {
                ev.assign({uint8_t(p), uint8_t(s >> 24), uint8_t(s >> 16), uint8_t(s >> 8), uint8_t(s)});
                for (int i = 0; i < s % 40; ++i)
                    ev.push_back(uint8_t(s + 5 + i));
                q.append(ev.data(), ev.size());
            }
        });
    }
    for (auto& t : prod)
        t.join();
    stop.store(true);
    q.signal();
    for (auto& t : threads)
        t.join();

    std::vector<std::vector<int>> count(producers, std::vector<int>(perProducer, 0));
    for (const auto& list : seen) {
        std::vector<int> last(producers, -1);
        for (auto [p, s] : list) {
            ASSERT_LT(p, producers);
            ASSERT_LT(s, perProducer);
            ++count[p][s];
            EXPECT_GT(s, last[p]);
            last[p] = s;
        }
    }
    for (int p = 0; p < producers; ++p)
        for (int s = 0; s < perProducer; ++s)
            ASSERT_EQ(count[p][s], 1) << p << "/" << s;
    const Counts n = report(q);
    EXPECT_EQ(n.processed, uint64_t(producers) * perProducer);
    EXPECT_EQ(n.queued, 0u);
    EXPECT_EQ(n.dropped, 0u);
}

// Producers overrun a small ring while consumers drain it: every event is
// either extracted once or counted as dropped.
TEST(EventQueue, ConcurrentDropsAreCounted)
{
    constexpr int producers = 3, perProducer = 20000;
    EventQueue q(ringOf(2000));
    std::atomic<uint64_t> extracted{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < 2; ++c) {
        threads.emplace_back([&] {
            Bytes out;
            for (;;) {
                out.clear();
                q.extract(out);
                if (out.empty()) {
                    if (stop.load())
                        return;
                    q.wait();
                    continue;
                }
                ASSERT_EQ(out.size(), 100u);
                ASSERT_EQ(out, payload(100, out[0]));
                extracted.fetch_add(1);
            }
        });
    }
    std::vector<std::thread> prod;
    for (int p = 0; p < producers; ++p)
        prod.emplace_back([&, p] {
            for (int s = 0; s < perProducer; ++s) {
                const Bytes ev = payload(100, uint8_t(p * 31 + s));
                q.append(ev.data(), ev.size());
            }
        });
    for (auto& t : prod)
        t.join();
    stop.store(true);
    q.signal();
    for (auto& t : threads)
        t.join();
    const Counts n = report(q);
    EXPECT_EQ(n.processed, extracted.load());
    EXPECT_EQ(n.queued, 0u);
    EXPECT_EQ(n.processed + n.dropped, uint64_t(producers) * perProducer);
}

// ---- batch operations ----

// appendBatch and extractBatch against the byte-at-a-time model driven one
// event at a time: same contents, offsets and counters through wrap-around,
// split headers, drops and empty events.
TEST(EventQueue, BatchOperationsMatchSingleEvents)
{
    using ns::event::queue::EventSpan;
    std::mt19937 rng(4242);
    for (uint64_t size : {3u, 4u, 5u, 7u, 10u, 13u, 17u, 64u, 257u, 1000u}) {
        SCOPED_TRACE(size);
        EventQueue q(ringOf(size));
        ModelRing model(size);
        uint64_t processed = 0, dropped = 0;
        std::vector<uint32_t> lengths(16, 0xDEADBEEF);
        for (int step = 0; step < 3000; ++step) {
            if (rng() % 2 == 0) {
                const size_t k = rng() % 6;
                std::vector<Bytes> events;
                for (size_t i = 0; i < k; ++i) {
                    const uint64_t maxLen = size - 3;
                    const size_t len = rng() % 5 == 0 ? rng() % (maxLen + 1)
                                                      : rng() % (std::min<uint64_t>(maxLen, 9) + 1);
                    events.push_back(payload(len, uint8_t(rng())));
                }
                std::vector<EventSpan> spans;
                for (const Bytes& e : events) {
                    spans.push_back({e.data(), e.size()});
                    model.append(e);
                }
                ASSERT_EQ(q.appendBatch(spans.data(), spans.size()), k);
            } else {
                const size_t maxEvents = rng() % 8;
                const uint64_t maxBytes = rng() % 3 == 0 ? UINT64_MAX : rng() % 40;
                const uint32_t overhead = rng() % 2 == 0 ? 0 : 4;
                // One extract() at a time, stopping where a batch caller would.
                Bytes want = payload(3, 9);
                std::vector<uint32_t> wantLengths;
                uint64_t counted = 0;
                while (wantLengths.size() < maxEvents && counted < maxBytes) {
                    const size_t before = want.size();
                    if (!model.extract(want))
                        break;
                    const uint32_t len = uint32_t(want.size() - before);
                    wantLengths.push_back(len);
                    counted += len + overhead;
                    if (len == 0)
                        break;
                }
                Bytes got = payload(3, 9);
                const size_t n = q.extractBatch(got, lengths.data(), maxEvents, maxBytes, overhead);
                ASSERT_EQ(n, wantLengths.size());
                ASSERT_EQ(std::vector<uint32_t>(lengths.begin(), lengths.begin() + long(n)), wantLengths);
                ASSERT_EQ(got, want);
            }
            ASSERT_EQ(q.getReadOffset(), model.r);
            ASSERT_EQ(q.getWriteOffset(), model.w);
            const Counts n = report(q);
            processed += n.processed;
            dropped += n.dropped;
            ASSERT_EQ(n.queued, model.queued);
            ASSERT_EQ(processed, model.processed);
            ASSERT_EQ(dropped, model.dropped);
        }
    }
}

TEST(EventQueue, BatchLimitsAndRefusedEvents)
{
    using ns::event::queue::EventSpan;
    {
        SCOPED_TRACE("appendBatch stops before an event append() refuses");
        EventQueue q(ringOf(10));
        const Bytes a = payload(3, 1), tooLong = payload(8, 2), b = payload(2, 3);
        const EventSpan spans[] = {{a.data(), a.size()}, {tooLong.data(), tooLong.size()}, {b.data(), b.size()}};
        EXPECT_EQ(q.appendBatch(spans, 3), 1u);
        EXPECT_EQ(errorOf([&] { q.append(spans[1].data, spans[1].length); }),
                  "value length 8 is larger than the size of the queue 10");
        EXPECT_EQ(q.appendBatch(spans, 0), 0u);
        EXPECT_EQ(q.appendBatch(spans + 1, 2), 0u);
        EXPECT_EQ(report(q).queued, 1u);
        EXPECT_EQ(take(q), a);
        EXPECT_TRUE(take(q).empty());
    }
    {
        SCOPED_TRACE("an event over the header limit in a large ring");
        EventQueue q(ringOf(EventQueue::maxEventLength + 100));
        const Bytes big(EventQueue::maxEventLength + 1, 7), small = payload(4, 4);
        const EventSpan spans[] = {{small.data(), small.size()}, {big.data(), big.size()}};
        EXPECT_EQ(q.appendBatch(spans, 2), 1u);
        EXPECT_EQ(errorOf([&] { q.append(big.data(), big.size()); }),
                  "value length 16777216 is larger than the maximum allowed of 16777215");
    }

    // Byte budgets: a chunk ends before the event that starts once the ones
    // taken reach maxBytes, each counted with the overhead.
    struct Case {
        size_t maxEvents;
        uint64_t maxBytes;
        uint32_t overhead;
        size_t taken;
    };
    for (const Case& c : {Case{10, UINT64_MAX, 0, 4}, Case{2, UINT64_MAX, 0, 2}, Case{10, 10, 0, 2},
                          Case{10, 11, 0, 3}, Case{10, 9, 4, 1}, Case{10, 10, 4, 2}, Case{10, 1, 0, 1},
                          Case{10, 0, 0, 0}, Case{0, UINT64_MAX, 0, 0}}) {
        SCOPED_TRACE(std::to_string(c.maxEvents) + "/" + std::to_string(c.maxBytes) + "/" +
                     std::to_string(c.overhead));
        EventQueue q(ringOf(100));
        for (int i = 0; i < 4; ++i)
            put(q, payload(5, uint8_t(i)));
        Bytes out = {0xEE};
        uint32_t lengths[10] = {};
        ASSERT_EQ(q.extractBatch(out, lengths, c.maxEvents, c.maxBytes, c.overhead), c.taken);
        ASSERT_EQ(out.size(), 1 + 5 * c.taken);
        EXPECT_EQ(out[0], 0xEE);
        for (size_t i = 0; i < c.taken; ++i) {
            EXPECT_EQ(lengths[i], 5u);
            EXPECT_EQ(Bytes(out.begin() + long(1 + 5 * i), out.begin() + long(6 + 5 * i)), payload(5, uint8_t(i)));
        }
        const Counts n = report(q);
        EXPECT_EQ(n.processed, c.taken);
        EXPECT_EQ(n.queued, 4 - c.taken);
    }
    {
        SCOPED_TRACE("an empty event ends the batch after being taken");
        EventQueue q(ringOf(100));
        put(q, payload(4, 1));
        put(q, Bytes());
        put(q, payload(2, 2));
        Bytes out;
        uint32_t lengths[8];
        ASSERT_EQ(q.extractBatch(out, lengths, 8), 2u);
        EXPECT_EQ(lengths[0], 4u);
        EXPECT_EQ(lengths[1], 0u);
        EXPECT_EQ(out, payload(4, 1));
        ASSERT_EQ(q.extractBatch(out, lengths, 8), 1u);
        EXPECT_EQ(lengths[0], 2u);
        const Counts n = report(q);
        EXPECT_EQ(n.processed, 3u);
        EXPECT_EQ(n.queued, 0u);
        EXPECT_EQ(q.extractBatch(out, lengths, 8), 0u);
        EXPECT_EQ(out.size(), 6u);
        EXPECT_EQ(report(q).processed, 0u);
    }
}

// Batch producers and batch consumers racing: every event comes out exactly
// once, each producer's events in their order, and no consumer sleeps while
// events wait (each appendBatch gives one wake-up).
TEST(EventQueue, CompetingBatchProducersAndConsumers)
{
    using ns::event::queue::EventSpan;
    constexpr int producers = 4, consumers = 3, perProducer = 20000;
    EventQueue q(ringOf(1 << 24));
    std::vector<std::vector<std::pair<int, int>>> seen(consumers);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < consumers; ++c) {
        threads.emplace_back([&, c] {
            Bytes out;
            uint32_t lengths[37];
            for (;;) {
                out.clear();
                const size_t n = q.extractBatch(out, lengths, 1 + c * 18);
                if (n == 0) {
                    if (stop.load())
                        return;
                    q.wait();
                    continue;
                }
                size_t pos = 0;
                for (size_t k = 0; k < n; ++k) {
                    ASSERT_GE(lengths[k], 5u);
                    const unsigned char* e = out.data() + pos;
                    const int seq = (e[1] << 24) | (e[2] << 16) | (e[3] << 8) | e[4];
                    for (size_t i = 5; i < lengths[k]; ++i)
                        ASSERT_EQ(e[i], uint8_t(seq + i));
                    seen[c].emplace_back(e[0], seq);
                    pos += lengths[k];
                }
                ASSERT_EQ(pos, out.size());
            }
        });
    }
    std::vector<std::thread> prod;
    for (int p = 0; p < producers; ++p) {
        prod.emplace_back([&, p] {
            std::vector<Bytes> events;
            std::vector<EventSpan> spans;
            for (int s = 0; s < perProducer;) {
                events.clear();
                spans.clear();
                const int k = std::min(perProducer - s, 1 + (s / 7) % 23);
                for (int j = 0; j < k; ++j, ++s) {
                    Bytes ev = {uint8_t(p), uint8_t(s >> 24), uint8_t(s >> 16), uint8_t(s >> 8), uint8_t(s)};
                    for (int i = 0; i < s % 40; ++i)
                        ev.push_back(uint8_t(s + 5 + i));
                    events.push_back(std::move(ev));
                }
                for (const Bytes& e : events)
                    spans.push_back({e.data(), e.size()});
                ASSERT_EQ(q.appendBatch(spans.data(), spans.size()), spans.size());
                if (s % 1000 < 23) // let consumers fall asleep now and then
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    for (auto& t : prod)
        t.join();
    // Every event must be taken without help from the stop signal.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (q.getReadOffset() != q.getWriteOffset() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(q.getReadOffset(), q.getWriteOffset());
    stop.store(true);
    q.signal();
    for (auto& t : threads)
        t.join();

    std::vector<std::vector<int>> count(producers, std::vector<int>(perProducer, 0));
    for (const auto& list : seen) {
        std::vector<int> last(producers, -1);
        for (auto [p, s] : list) {
            ASSERT_LT(p, producers);
            ASSERT_LT(s, perProducer);
            ++count[p][s];
            EXPECT_GT(s, last[p]);
            last[p] = s;
        }
    }
    for (int p = 0; p < producers; ++p)
        for (int s = 0; s < perProducer; ++s)
            ASSERT_EQ(count[p][s], 1) << p << "/" << s;
    const Counts n = report(q);
    EXPECT_EQ(n.processed, uint64_t(producers) * perProducer);
    EXPECT_EQ(n.queued, 0u);
    EXPECT_EQ(n.dropped, 0u);
}

// A ring large enough to be faulted in ahead of the writer: the first lap,
// the wrap and the drops keep every byte.
TEST(EventQueue, LargeRingFirstLapWrapAndDrops)
{
    const uint64_t size = (uint64_t(64) << 20) + 5;
    EventQueue q(ringOf(size));
    constexpr int total = 80;
    const size_t length = (size_t(1) << 20) - 1001;
    for (int i = 0; i < total; ++i)
        put(q, payload(length, uint8_t(i * 13)));
    const uint64_t fits = size / (length + 3);
    const Counts n = report(q);
    EXPECT_EQ(n.queued, fits);
    EXPECT_EQ(n.dropped, total - fits);
    for (int i = int(total - fits); i < total; ++i)
        ASSERT_EQ(take(q), payload(length, uint8_t(i * 13))) << i;
    EXPECT_TRUE(take(q).empty());
}

// ---- queue file ----

namespace fs = std::filesystem;

class QueueFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/queue_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/message.queue";
    }
    void TearDown() override { fs::remove_all(dir); }

    void write(const Bytes& content, const std::string& p = "")
    {
        std::ofstream f(p.empty() ? path : p, std::ios::binary);
        f.write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    }
    Bytes read(const std::string& p = "")
    {
        std::ifstream f(p.empty() ? path : p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(f), {});
    }
    static Bytes record(const Bytes& p, int checksumDelta = 0)
    {
        unsigned sum = 0;
        for (auto b : p)
            sum += b;
        // Sized once and filled in place: growing a vector built from a
        // short list draws false -Warray-bounds reports from g++ 12 at -O3.
        Bytes r(5 + p.size());
        r[0] = uint8_t(p.size() >> 24);
        r[1] = uint8_t(p.size() >> 16);
        r[2] = uint8_t(p.size() >> 8);
        r[3] = uint8_t(p.size());
        r[4] = uint8_t(sum + checksumDelta);
        std::copy(p.begin(), p.end(), r.begin() + 5);
        return r;
    }
    static Bytes magicThen(std::initializer_list<Bytes> records)
    {
        size_t size = 4;
        for (const auto& r : records)
            size += r.size();
        Bytes f(size);
        std::memcpy(f.data(), "sslz", 4);
        auto at = f.begin() + 4;
        for (const auto& r : records)
            at = std::copy(r.begin(), r.end(), at);
        return f;
    }

    std::string dir, path;
};

TEST_F(QueueFile, RecoveryOffTouchesNothing)
{
    write(magicThen({record({1, 2})}));
    EventQueue q(ringOf(1000, false, path));
    put(q, Bytes{5});
    q.persist();
    q.recover();
    EXPECT_EQ(read(), magicThen({record({1, 2})}));
    EXPECT_FALSE(fs::exists(path + ".tmp"));
    EXPECT_EQ(take(q), Bytes{5});
    EXPECT_TRUE(take(q).empty());
}

TEST_F(QueueFile, EmptyQueueAndMissingFile)
{
    EventQueue q(ringOf(1000, true, path));
    q.recover(); // no file: nothing happens
    q.persist();
    EXPECT_EQ(read(), (Bytes{'s', 's', 'l', 'z'}));
    q.recover();
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(take(q).empty());
}

TEST_F(QueueFile, PersistAndRecoverRoundTrip)
{
    EventQueue q(ringOf(4000, true, path));
    const Bytes ones(300, 0x01);
    std::vector<Bytes> events = {ones, payload(1, 9), payload(255, 200), payload(1000, 3)};
    for (const auto& e : events)
        put(q, e);
    q.persist();
    EXPECT_TRUE(take(q).empty()); // drained
    EXPECT_EQ(report(q).processed, events.size());
    const Bytes file = read();
    ASSERT_GE(file.size(), 9u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 9), (Bytes{'s', 's', 'l', 'z', 0, 0, 1, 44, 44}));
    EXPECT_EQ(file, magicThen({record(events[0]), record(events[1]), record(events[2]), record(events[3])}));
    EXPECT_FALSE(fs::exists(path + ".tmp"));

    put(q, Bytes{42}); // recovered events go behind what is queued
    q.recover();
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(take(q), Bytes{42});
    for (const auto& e : events)
        EXPECT_EQ(take(q), e);
    EXPECT_TRUE(take(q).empty());
}

TEST_F(QueueFile, PersistReplacesOldFile)
{
    write(magicThen({record({1}), record({2})}));
    EventQueue q(ringOf(1000, true, path));
    put(q, Bytes{3});
    q.persist();
    EXPECT_EQ(read(), magicThen({record({3})}));
}

TEST_F(QueueFile, PersistSkipsEmptyEvents)
{
    EventQueue q(ringOf(1000, true, path));
    put(q, Bytes{1});
    q.append(nullptr, 0);
    put(q, Bytes{2});
    q.persist();
    EXPECT_EQ(read(), magicThen({record({1}), record({2})}));
}

TEST_F(QueueFile, RecoverFailuresKeepTheFile)
{
    const Bytes good = payload(10, 1);
    struct Case {
        const char* name;
        Bytes content;
        std::string error; // path is appended where "@" stands
        size_t queuedBefore;
    };
    const Case cases[] = {
        {"short magic", {'s', 's'}, "Read magic header from @ failed: Unexpected end of file", 0},
        {"empty file", {}, "Read magic header from @ failed: Unexpected end of file", 0},
        {"wrong magic", {'a', 'b', 'c', 'd', 0, 0}, "Read magic header from @ failed: Expected 'sslz' but got abcd", 0},
        {"truncated payload", [&] { Bytes f = magicThen({record(good), record(payload(20, 2))}); f.resize(f.size() - 1); return f; }(),
            "Read next event of 20 bytes from @ failed: Unexpected end of file", 1},
        {"checksum", magicThen({record(good), record({1, 2, 3}, 1)}),
            "Read next event of 3 bytes from @ failed: Expected checksum 6 but got 7", 1},
        {"zero length", magicThen({record(good), record({})}), "Read next event of 0 bytes from @ failed: Empty event", 1},
        {"huge length", magicThen({record(good), Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0}}),
            "Read next event of 4294967295 bytes from @ failed: Unexpected end of file", 1},
        {"longer than the queue", magicThen({record(good), record(payload(998, 4))}),
            "value length 998 is larger than the size of the queue 1000", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write(c.content);
        EventQueue q(ringOf(1000, true, path));
        std::string want = c.error;
        if (want.find('@') != std::string::npos)
            want.replace(want.find('@'), 1, path);
        EXPECT_EQ(errorOf([&] { q.recover(); }), want);
        EXPECT_EQ(read(), c.content); // kept unchanged
        EXPECT_EQ(report(q).queued, c.queuedBefore);
        if (c.queuedBefore) {
            EXPECT_EQ(take(q), good);
        }
    }
}

TEST_F(QueueFile, PartialRecordHeaderAtEndIsIgnored)
{
    for (size_t extra = 1; extra <= 4; ++extra) {
        SCOPED_TRACE(extra);
        Bytes f = magicThen({record({7, 7})});
        f.insert(f.end(), extra, 0);
        write(f);
        EventQueue q(ringOf(1000, true, path));
        q.recover();
        EXPECT_FALSE(fs::exists(path));
        EXPECT_EQ(take(q), (Bytes{7, 7}));
        EXPECT_TRUE(take(q).empty());
    }
}

TEST_F(QueueFile, RecoverIntoSmallerRingDropsOldest)
{
    write(magicThen({record(payload(40, 1)), record(payload(40, 2)), record(payload(40, 3))}));
    EventQueue q(ringOf(100, true, path));
    q.recover();
    const Counts n = report(q);
    EXPECT_EQ(n.dropped, 1u);
    EXPECT_EQ(take(q), payload(40, 2));
    EXPECT_EQ(take(q), payload(40, 3));
}

TEST_F(QueueFile, PersistFailuresKeepOldFileAndEveryDrainedEvent)
{
    const Bytes old = magicThen({record({1})});
    {
        // The temporary name is taken by a directory: open fails.
        write(old);
        fs::create_directory(path + ".tmp");
        EventQueue q(ringOf(1000, true, path));
        put(q, Bytes{9});
        EXPECT_EQ(errorOf([&] { q.persist(); }), "Open " + path + ".tmp failed: Is a directory");
        EXPECT_EQ(read(), old);
        EXPECT_EQ(take(q), Bytes{9}); // nothing drained
        fs::remove(path + ".tmp");
    }
    if (fs::exists("/dev/full")) {
        // Writes to a full device fail at the latest when the file is flushed.
        fs::create_symlink("/dev/full", path + ".tmp");
        EventQueue q(ringOf(1000, true, path));
        put(q, Bytes{9});
        const std::string err = errorOf([&] { q.persist(); });
        EXPECT_NE(err.find(path + ".tmp failed: No space left on device"), std::string::npos) << err;
        EXPECT_EQ(read(), old);
        EXPECT_FALSE(fs::exists(fs::symlink_status(path + ".tmp")));
    }
    {
        // The queue file's name is a non-empty directory: rename fails, and
        // the complete temporary file is all that holds the drained events.
        fs::remove(path);
        fs::create_directories(path + "/inner");
        EventQueue q(ringOf(1000, true, path));
        put(q, Bytes{9});
        put(q, payload(20, 3));
        const std::string err = errorOf([&] { q.persist(); });
        EXPECT_EQ(err, "Rename " + path + ".tmp to " + path + " failed: Is a directory");
        EXPECT_TRUE(fs::is_directory(path + "/inner"));
        EXPECT_TRUE(take(q).empty());
        fs::remove_all(path);
        fs::rename(path + ".tmp", path);
        EXPECT_EQ(read(), magicThen({record({9}), record(payload(20, 3))}));
        EventQueue again(ringOf(1000, true, path));
        again.recover();
        EXPECT_EQ(take(again), Bytes{9});
        EXPECT_EQ(take(again), payload(20, 3));
    }
}
