#include "pipeline/queue.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/file.h"

namespace ns::event::queue {

namespace {

constexpr uint8_t queueFileMagic[4] = {0x73, 0x73, 0x6C, 0x7A}; // "sslz"

void decrementQueued(std::atomic<uint64_t>& queued, uint64_t n)
{
    // Only changed under dataMutex, so load and store need not be one step;
    // never below 0.
    const uint64_t q = queued.load(std::memory_order_relaxed);
    queued.store(q > n ? q - n : 0, std::memory_order_relaxed);
}

std::string tooLongForQueue(uint64_t length, uint64_t size)
{
    return "value length " + std::to_string(length) + " is larger than the size of the queue " +
        std::to_string(size);
}

std::string tooLongForHeader(uint64_t length)
{
    return "value length " + std::to_string(length) + " is larger than the maximum allowed of 16777215";
}

constexpr std::chrono::microseconds waitSpinTime(50);

// Pre-faulting: rings from this size on, in steps of this many bytes, kept
// this far ahead of the writer.
constexpr uint64_t prefaultMinRing = uint64_t(64) << 20;
constexpr uint64_t prefaultStep = uint64_t(2) << 20;
constexpr uint64_t prefaultAhead = uint64_t(8) << 20;

inline void cpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

bool fitsQueue(uint64_t length, uint64_t size)
{
    return size >= 3 && length <= size - 3;
}

} // namespace

AdaptiveMutex::AdaptiveMutex()
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
#ifdef PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
#endif
    pthread_mutex_init(&mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

EventQueue::EventQueue(EventQueueConfig cfg)
    : buffer(nullptr), readOffset(0), writeOffset(0), wrapped(false), config(std::move(cfg))
{
    errno = 0;
    // calloc: the ring is zero-filled and the kernel does the zeroing lazily.
    buffer = config.size > SIZE_MAX ? nullptr : static_cast<uint8_t*>(std::calloc(config.size, 1));
    if (buffer == nullptr) {
        const int err = errno != 0 ? errno : ENOMEM;
        throw QueueError("malloc(" + std::to_string(config.size) + ") failed: " + ns::error::getMessage(err));
    }
#ifdef MADV_POPULATE_WRITE
    faultedTo.store(config.size < prefaultMinRing ? config.size : 0, std::memory_order_relaxed);
#else
    faultedTo.store(config.size, std::memory_order_relaxed);
#endif
}

EventQueue::~EventQueue()
{
    std::free(buffer);
}

uint64_t EventQueue::freeBytes() const
{
    return wrapped ? readOffset - writeOffset : config.size - writeOffset + readOffset;
}

uint32_t EventQueue::readLength(uint64_t offset) const
{
    const uint64_t size = config.size;
    const uint64_t o1 = offset + 1 == size ? 0 : offset + 1;
    const uint64_t o2 = o1 + 1 == size ? 0 : o1 + 1;
    return (uint32_t(buffer[offset]) << 16) | (uint32_t(buffer[o1]) << 8) | uint32_t(buffer[o2]);
}

void EventQueue::skipRead(uint32_t length)
{
    readOffset += 3 + uint64_t(length);
    if (readOffset >= config.size) {
        readOffset -= config.size;
        wrapped = false;
    }
}

void EventQueue::dropOldest()
{
    skipRead(readLength(readOffset));
    metrics.eventsDropped.fetch_add(1, std::memory_order_relaxed);
    decrementQueued(metrics.eventsQueued, 1);
}

void EventQueue::copyIn(const uint8_t* data, uint64_t n)
{
    if (n == 0)
        return;
    const uint64_t first = std::min(n, config.size - writeOffset);
    std::memcpy(buffer + writeOffset, data, first);
    if (n > first)
        std::memcpy(buffer, data + first, n - first);
    writeOffset += n;
    if (writeOffset >= config.size) {
        writeOffset -= config.size;
        wrapped = true;
    }
}

void EventQueue::store(const uint8_t* data, size_t length)
{
    // Dropping whole events until the new one fits gives the same result
    // as dropping each one when the writer reaches its header.
    const uint64_t need = uint64_t(length) + 3;
    while (freeBytes() < need)
        dropOldest();
    const uint8_t header[3] = {uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length)};
    copyIn(header, 3);
    copyIn(data, length);
    metrics.eventsQueued.fetch_add(1, std::memory_order_relaxed);
}

void EventQueue::wakeOne()
{
    // A waiter registers before it tests for data under dataMutex, so either it
    // sees the new events or this load sees it and the notify reaches its sleep.
    if (waiters.load(std::memory_order_seq_cst) != 0) {
        std::lock_guard<std::mutex> lock(waitMutex);
        // Wake one sleeper not already woken by an earlier append: a burst of
        // appends then costs one wake-up per sleeper, not one per event.
        if (sleeping != 0) {
            --sleeping;
            cond.notify_one();
        }
    }
}

void EventQueue::prefault(uint64_t written)
{
#ifdef MADV_POPULATE_WRITE
    uint64_t from = faultedTo.load(std::memory_order_relaxed);
    // Nothing to do past the first lap, nor while the writer is far enough
    // behind the faulted region.
    if (from >= config.size || written + prefaultAhead < from)
        return;
    // One thread at a time; the others go on appending.
    if (faulting.exchange(true, std::memory_order_acquire))
        return;
    from = faultedTo.load(std::memory_order_relaxed);
    const uint64_t to = std::min(config.size, std::max(from, written) + prefaultAhead + prefaultStep);
    if (from < to) {
        // Faulting a page in leaves its bytes as they are, so writers in the
        // same range are not disturbed. Failure only means no head start.
        const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
        const uintptr_t start = (uintptr_t(buffer) + from) & ~(page - 1);
        const uintptr_t end = (uintptr_t(buffer) + to) & ~(page - 1);
        if (end > start)
            madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
        faultedTo.store(to == config.size ? to : uint64_t(end - uintptr_t(buffer)), std::memory_order_relaxed);
    }
    faulting.store(false, std::memory_order_release);
#else
    (void)written;
#endif
}

void EventQueue::append(const uint8_t* data, size_t length)
{
    if (!fitsQueue(length, config.size))
        throw QueueError(tooLongForQueue(length, config.size));
    if (length > maxEventLength)
        throw QueueError(tooLongForHeader(length));
    uint64_t written;
    {
        std::lock_guard<AdaptiveMutex> lock(dataMutex);
        store(data, length);
        written = writeOffset;
    }
    wakeOne();
    prefault(written);
}

size_t EventQueue::appendBatch(const EventSpan* events, size_t count)
{
    // The length tests come first, as in append(): a refused event and the
    // ones behind it are left to the caller.
    size_t n = 0;
    while (n < count && fitsQueue(events[n].length, config.size) && events[n].length <= maxEventLength)
        ++n;
    if (n == 0)
        return 0;
    uint64_t written;
    {
        std::lock_guard<AdaptiveMutex> lock(dataMutex);
        for (size_t i = 0; i < n; ++i)
            store(events[i].data, events[i].length);
        written = writeOffset;
    }
    // One wake-up: a woken forwarder takes the whole batch.
    wakeOne();
    prefault(written);
    return n;
}

bool EventQueue::take(std::vector<unsigned char>& out)
{
    uint32_t length;
    return extractBatch(out, &length, 1) != 0;
}

void EventQueue::extract(std::vector<unsigned char>& out)
{
    take(out);
}

size_t EventQueue::extractBatch(std::vector<unsigned char>& out, uint32_t* lengths, size_t maxEvents,
                                uint64_t maxBytes, uint32_t overhead)
{
    std::lock_guard<AdaptiveMutex> lock(dataMutex);
    const uint64_t size = config.size;

    // First walk the headers only: the events to take and their total, so
    // that out grows once and a failed allocation changes nothing.
    size_t n = 0;
    uint64_t payload = 0, counted = 0;
    uint64_t r = readOffset;
    bool w = wrapped;
    while (n < maxEvents && counted < maxBytes && (w || r != writeOffset)) {
        const uint32_t length = readLength(r);
        lengths[n++] = length;
        payload += length;
        counted += uint64_t(length) + overhead;
        r += 3 + uint64_t(length);
        if (r >= size) {
            r -= size;
            w = false;
        }
        if (length == 0)
            break; // extract() would leave out unchanged: the caller stops
    }
    if (n == 0)
        return 0;

    const size_t used = out.size();
    if (out.capacity() - used < payload)
        out.reserve(std::max<size_t>(used + payload, out.capacity() * 2));
    for (size_t i = 0; i < n; ++i) {
        const uint32_t length = lengths[i];
        uint64_t start = readOffset + 3;
        if (start >= size)
            start -= size;
        // Within the reserved capacity: plain copies, no allocation.
        const uint64_t first = std::min<uint64_t>(length, size - start);
        out.insert(out.end(), buffer + start, buffer + start + first);
        if (length > first)
            out.insert(out.end(), buffer, buffer + (length - first));
        skipRead(length);
    }
    decrementQueued(metrics.eventsQueued, n);
    metrics.eventsProcessed.fetch_add(n, std::memory_order_relaxed);
    return n;
}

void EventQueue::wait()
{
    // A consumer that finds the queue empty usually sees the next event
    // within microseconds; a short look before sleeping spares the producer
    // a futex wake per event. The count is only a hint: a stale zero falls
    // through to the locked test below.
    const auto spinEnd = std::chrono::steady_clock::now() + waitSpinTime;
    for (unsigned i = 1;; ++i) {
        if (metrics.eventsQueued.load(std::memory_order_relaxed) != 0)
            return;
        cpuRelax();
        if (i % 64 == 0 && std::chrono::steady_clock::now() >= spinEnd)
            break;
    }

    std::unique_lock<std::mutex> lock(waitMutex);
    waiters.fetch_add(1, std::memory_order_seq_cst);
    for (;;) {
        if (signalled)
            break;
        {
            std::lock_guard<AdaptiveMutex> dataLock(dataMutex);
            if (!isEmpty())
                break;
        }
        // Counted until an append picks this sleeper; a spurious return
        // leaves the count high, which costs at most a needless notify.
        ++sleeping;
        cond.wait(lock);
    }
    waiters.fetch_sub(1, std::memory_order_seq_cst);
}

void EventQueue::signal()
{
    std::lock_guard<std::mutex> lock(waitMutex);
    signalled = true;
    sleeping = 0;
    cond.notify_all();
}

void EventQueue::getMetrics(ns::metrics::EventQueueMetrics& out)
{
    using ns::metrics::takeGrowth;
    out.eventsProcessed = takeGrowth(metrics.eventsProcessed, lastReported.eventsProcessed);
    const uint64_t queued = metrics.eventsQueued.load();
    out.eventsQueued = queued;
    lastReported.eventsQueued = queued;
    out.eventsDropped = takeGrowth(metrics.eventsDropped, lastReported.eventsDropped);
}

void EventQueue::clear()
{
    std::lock_guard<AdaptiveMutex> lock(dataMutex);
    readOffset = 0;
    writeOffset = 0;
    wrapped = false;
    metrics.eventsProcessed = 0;
    metrics.eventsQueued = 0;
    metrics.eventsDropped = 0;
    // Start the next report from the cleared state as well.
    lastReported.eventsProcessed = 0;
    lastReported.eventsQueued = 0;
    lastReported.eventsDropped = 0;
}

uint64_t EventQueue::getReadOffset()
{
    std::lock_guard<AdaptiveMutex> lock(dataMutex);
    return readOffset;
}

uint64_t EventQueue::getWriteOffset()
{
    std::lock_guard<AdaptiveMutex> lock(dataMutex);
    return writeOffset;
}

void EventQueue::persist()
{
    if (!config.recovery)
        return;
    const std::string tmp = config.filename + ".tmp";
    FILE* file = std::fopen(tmp.c_str(), "wb");
    if (file == nullptr)
        throw QueueError("Open " + tmp + " failed: " + ns::error::getMessage(errno));

    // A failure while writing leaves the previous queue file alone and removes
    // the temporary one, so a half-written file never replaces a good one.
    auto fail = [&](const std::string& operation, int err) {
        if (file != nullptr)
            std::fclose(file);
        std::remove(tmp.c_str());
        throw QueueError(operation + " failed: " + ns::error::getMessage(err));
    };

    if (std::fwrite(queueFileMagic, 1, sizeof(queueFileMagic), file) != sizeof(queueFileMagic))
        fail("Write magic header to " + tmp, errno);

    std::vector<unsigned char> record;
    record.reserve(5 + 65536);
    for (;;) {
        record.resize(5);
        if (!take(record))
            break;
        const size_t length = record.size() - 5;
        // The file cannot carry an empty event (the reader refuses them);
        // skip it rather than stop and lose the events behind it.
        if (length == 0)
            continue;
        unsigned sum = 0;
        for (size_t i = 5; i < record.size(); ++i)
            sum += record[i];
        record[0] = uint8_t(length >> 24);
        record[1] = uint8_t(length >> 16);
        record[2] = uint8_t(length >> 8);
        record[3] = uint8_t(length);
        record[4] = uint8_t(sum);
        if (std::fwrite(record.data(), 1, record.size(), file) != record.size())
            fail("Write next event to " + tmp, errno);
    }

    if (std::fflush(file) != 0 || fsync(fileno(file)) != 0)
        fail("Flush " + tmp, errno);
    const int closed = std::fclose(file);
    file = nullptr;
    if (closed != 0)
        fail("Close " + tmp, errno);
    // rename() replaces the old file in one step; it stays until then. If it
    // fails, the temporary file is the only complete copy of the drained
    // events: it stays for the operator to move into place.
    if (std::rename(tmp.c_str(), config.filename.c_str()) != 0)
        throw QueueError("Rename " + tmp + " to " + config.filename + " failed: " + ns::error::getMessage(errno));
}

void EventQueue::recover()
{
    if (!config.recovery)
        return;
    const std::string& path = config.filename;
    if (!ns::file::exists(path.c_str()))
        return;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        throw QueueError("Open " + path + " failed: " + ns::error::getMessage(errno));

    // A short read at the end of the file sets no error number of its own.
    auto readCause = [&]() -> std::string {
        return std::ferror(file) ? ns::error::getMessage(errno) : std::string("Unexpected end of file");
    };

    try {
        struct stat64 st;
        if (fstat64(fileno(file), &st) != 0)
            throw QueueError("fstat64(" + path + ") failed: " + ns::error::getMessage(errno));

        char magic[4];
        if (std::fread(magic, 1, 4, file) != 4)
            throw QueueError("Read magic header from " + path + " failed: " + readCause());
        if (std::memcmp(magic, queueFileMagic, 4) != 0)
            throw QueueError("Read magic header from " + path + " failed: Expected 'sslz' but got " +
                std::string(magic, 4));

        uint64_t remaining = st.st_size > 4 ? uint64_t(st.st_size) - 4 : 0;
        std::vector<uint8_t> payload;
        for (;;) {
            uint8_t header[5];
            if (std::fread(header, 1, 5, file) != 5) {
                if (std::feof(file) && !std::ferror(file))
                    break; // a partial header at the end is ignored
                if (std::feof(file))
                    throw QueueError("Read from " + path + " failed: " + ns::error::getMessage(errno));
                throw QueueError(
                    "Read next length of 4 bytes from " + path + " failed: " + ns::error::getMessage(errno));
            }
            remaining = remaining >= 5 ? remaining - 5 : 0;
            const uint64_t length = (uint64_t(header[0]) << 24) | (uint64_t(header[1]) << 16) |
                (uint64_t(header[2]) << 8) | uint64_t(header[3]);
            const std::string failed =
                "Read next event of " + std::to_string(length) + " bytes from " + path + " failed: ";

            // Check the announced length before sizing any buffer from it.
            if (length == 0)
                throw QueueError(failed + "Empty event");
            if (length > remaining)
                throw QueueError(failed + "Unexpected end of file");
            if (!fitsQueue(length, config.size))
                throw QueueError(tooLongForQueue(length, config.size));
            if (length > maxEventLength)
                throw QueueError(tooLongForHeader(length));

            payload.resize(length);
            if (std::fread(payload.data(), 1, length, file) != length)
                throw QueueError(failed + readCause());
            remaining -= length;

            unsigned sum = 0;
            for (uint8_t b : payload)
                sum += b;
            if (uint8_t(sum) != header[4])
                throw QueueError(failed + "Expected checksum " + std::to_string(uint8_t(sum)) + " but got " +
                    std::to_string(header[4]));
            append(payload.data(), payload.size());
        }
    } catch (const QueueError&) {
        std::fclose(file);
        throw;
    } catch (const std::exception& e) {
        std::fclose(file);
        throw QueueError(e.what());
    }

    std::fclose(file);
    if (std::remove(path.c_str()) != 0)
        throw QueueError("Remove " + path + " failed: " + ns::error::getMessage(errno));
}

} // namespace ns::event::queue
