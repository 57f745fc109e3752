// libFuzzer target: the queue file loader on arbitrary file contents.
// A reader written from the file format decides what must happen: the events
// before the first bad record are queued in order, a bad file fails with a
// QueueError and stays in place, a good one is deleted. Events that were
// loaded cleanly are persisted again and must give back the same file, less
// a partial record header at its end.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/file.h"
#include "pipeline/queue.h"

using ns::event::queue::EventQueue;
using ns::event::queue::EventQueueConfig;
using ns::event::queue::QueueError;

namespace {

using Bytes = std::vector<uint8_t>;

// Inputs up to this size always fit the ring below, so nothing is dropped.
constexpr size_t maxInput = 256 * 1024;
constexpr uint64_t ringSize = 1024 * 1024;

struct Expected {
    std::vector<Bytes> events;
    bool fails = false;
    size_t goodLength = 0;  // bytes of the file a clean persist gives back
};

Expected model(const uint8_t* data, size_t size)
{
    Expected e;
    if (size < 4 || std::memcmp(data, "sslz", 4) != 0) {
        e.fails = true;
        return e;
    }
    size_t p = 4;
    while (size - p >= 5) {
        const uint32_t length = (uint32_t(data[p]) << 24) | (uint32_t(data[p + 1]) << 16) |
                                (uint32_t(data[p + 2]) << 8) | uint32_t(data[p + 3]);
        const uint8_t stored = data[p + 4];
        if (length == 0 || length > size - p - 5) {
            e.fails = true;
            return e;
        }
        uint8_t sum = 0;
        for (size_t i = 0; i < length; ++i)
            sum = static_cast<uint8_t>(sum + data[p + 5 + i]);
        if (sum != stored) {
            e.fails = true;
            return e;
        }
        e.events.emplace_back(data + p + 5, data + p + 5 + length);
        p += 5 + length;
    }
    e.goodLength = p;
    return e;
}

struct Fixture {
    Fixture()
    {
        char pattern[] = "/tmp/qx-queue-fuzz.XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            std::abort();
        dir = pattern;
        EventQueueConfig config;
        config.size = ringSize;
        config.recovery = true;
        config.filename = dir + "/message.queue";
        path = config.filename;
        queue = new EventQueue(config);
    }
    ~Fixture()
    {
        std::remove(path.c_str());
        std::remove((path + ".tmp").c_str());
        rmdir(dir.c_str());
        delete queue;
    }
    std::string dir;
    std::string path;
    EventQueue* queue;
};

void writeFile(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size)
        std::abort();
    std::fclose(f);
}

Bytes readFile(const std::string& path)
{
    Bytes out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        std::abort();
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Fixture f;
    if (size > maxInput)
        return 0;
    const Expected expected = model(data, size);
    writeFile(f.path, data, size);

    bool failed = false;
    try {
        f.queue->recover();
    } catch (const QueueError& e) {
        failed = true;
        if (std::strstr(e.what(), f.path.c_str()) == nullptr)
            std::abort();  // the message names the file for the operator
    }
    if (failed != expected.fails)
        std::abort();
    if (ns::file::exists(f.path.c_str()) != failed)
        std::abort();  // a bad file is kept, a loaded one deleted

    static Bytes event;
    std::vector<Bytes> got;
    for (;;) {
        event.clear();
        f.queue->extract(event);
        if (event.empty())
            break;
        got.push_back(event);
    }
    if (got != expected.events)
        std::abort();

    if (!failed) {
        for (const Bytes& e : got)
            f.queue->append(e.data(), e.size());
        f.queue->persist();
        const Bytes written = readFile(f.path);
        if (written.size() != expected.goodLength || std::memcmp(written.data(), data, written.size()) != 0)
            std::abort();
    }
    std::remove(f.path.c_str());
    f.queue->clear();
    return 0;
}
