// The process-wide event queue: receivers append dnstap payloads, forwarders
// compete for them (each event is extracted exactly once).
//
// Layout: one zero-filled byte ring of config.size bytes, allocated once.
// An event is a 3-byte big-endian length L followed by L payload bytes; events
// lie back to back from readOffset to writeOffset with no gaps or markers.
// Wrap-around: any byte, header bytes included, may sit at the last offset
// with the next one at offset 0, so a header can be split 1+2 or 2+1.
// `wrapped` means the writer is one lap ahead of the reader: empty is
// !wrapped && read == write, full is wrapped && read == write.
// Drop-oldest: append never waits for space; it drops whole events from the
// read side until the new event fits, counting them in eventsDropped.
// Lock order: waitMutex before dataMutex, never the reverse. append releases
// dataMutex before it takes waitMutex to wake a sleeper, and skips that step
// when nobody sleeps; wait() tests for data under dataMutex while it holds
// waitMutex, so a wake-up between a forwarder's empty extract and its sleep is
// never lost. Before it locks anything, wait() briefly watches the event count,
// since at high rates the next event is usually microseconds away.
// signal() is sticky: a later wait() returns at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <pthread.h>
#include <string>
#include <vector>

#include "foundation/error.h"
#include "pipeline/metrics.h"

namespace ns::event::queue {

NS_DECLARE_ERROR(QueueError);

// A mutex that spins briefly before it sleeps: the queue's critical sections
// are one event copy long, so a contended lock is usually free again sooner
// than a futex sleep and wake-up would take.
class AdaptiveMutex {
public:
    AdaptiveMutex();
    ~AdaptiveMutex() { pthread_mutex_destroy(&mutex); }
    AdaptiveMutex(const AdaptiveMutex&) = delete;
    AdaptiveMutex& operator=(const AdaptiveMutex&) = delete;
    void lock() { pthread_mutex_lock(&mutex); }
    void unlock() { pthread_mutex_unlock(&mutex); }
    bool try_lock() { return pthread_mutex_trylock(&mutex) == 0; }

private:
    pthread_mutex_t mutex;
};

// One event handed to EventQueue::appendBatch.
struct EventSpan {
    const uint8_t* data;
    size_t length;
};

struct EventQueueConfig {
    uint64_t size;        // bytes of the ring
    bool recovery;        // write the queue file at stop, reload it at start
    std::string filename; // path of the queue file

    EventQueueConfig() : size(104857600), recovery(true), filename("event.queue") {}
};

class EventQueue {
public:
    // Largest payload a 3-byte header can announce.
    static constexpr uint64_t maxEventLength = 16777215;

    explicit EventQueue(EventQueueConfig config);
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // Stores one event, dropping the oldest ones when the ring is full.
    void append(const uint8_t* data, size_t length);
    // Appends the oldest event's payload to out; out is unchanged when empty.
    void extract(std::vector<unsigned char>& out);
    // Successive append() calls under one lock and with one wake-up: same
    // contents, drops and counters. Stops before the first event append()
    // would refuse and returns the number stored; append() of that event
    // then gives its error.
    size_t appendBatch(const EventSpan* events, size_t count);
    // Successive extract() calls under one lock, by a caller that stops at
    // the first one leaving out unchanged: payloads go to out back to back,
    // their lengths to lengths[]. Stops after maxEvents, when the queue is
    // empty, after taking an empty event (its 0 is recorded), or before an
    // event once the ones taken add up to maxBytes, each counted as its
    // length plus `overhead`. Returns the number taken.
    size_t extractBatch(std::vector<unsigned char>& out, uint32_t* lengths, size_t maxEvents,
                        uint64_t maxBytes = UINT64_MAX, uint32_t overhead = 0);
    // Blocks until there may be work: data queued or signal() given.
    void wait();
    // Wakes every waiter and leaves the queue signalled.
    void signal();
    // Counters since the previous call; eventsQueued is the current count.
    void getMetrics(ns::metrics::EventQueueMetrics& out);
    // Empties the ring and zeroes the live counters; only with no other user.
    void clear();
    uint64_t getReadOffset();
    uint64_t getWriteOffset();

    // Queue file: reload at start, write at stop; no-ops when recovery is off.
    void recover();
    void persist();

private:
    bool isEmpty() const { return !wrapped && writeOffset == readOffset; }
    uint64_t freeBytes() const;
    uint32_t readLength(uint64_t offset) const;
    // Moves the read side past the event of `length` payload bytes at it.
    void skipRead(uint32_t length);
    void dropOldest();
    void copyIn(const uint8_t* data, uint64_t n);
    // Stores one checked event; caller holds dataMutex.
    void store(const uint8_t* data, size_t length);
    // Wakes one sleeper not yet woken, if any; caller holds no lock.
    void wakeOne();
    // First lap of a large ring: faults in the pages ahead of `written`
    // (the write offset) outside dataMutex, so appends holding it do not
    // wait for the kernel to zero fresh pages. Caller holds no lock.
    void prefault(uint64_t written);
    // extract() that also tells whether an event (even an empty one) was taken.
    bool take(std::vector<unsigned char>& out);

    uint8_t* buffer;
    uint64_t readOffset;
    uint64_t writeOffset;
    bool wrapped;
    AdaptiveMutex dataMutex;
    std::mutex waitMutex;
    std::condition_variable cond;
    EventQueueConfig config;
    ns::metrics::EventQueueMetrics metrics;
    ns::metrics::EventQueueMetrics lastReported;
    bool signalled = false;
    // Threads inside wait(); lets append skip waitMutex when nobody sleeps.
    std::atomic<uint32_t> waiters{0};
    // Sleepers in cond.wait that no append has woken yet; under waitMutex.
    uint32_t sleeping = 0;
    // Ring bytes already faulted in (from offset 0); claimed by one appender
    // at a time. Starts at size for rings too small to bother.
    std::atomic<uint64_t> faultedTo{0};
    std::atomic<bool> faulting{false};
};

} // namespace ns::event::queue
