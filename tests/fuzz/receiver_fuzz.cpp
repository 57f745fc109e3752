// libFuzzer target: a receiver serving one connection whose peer sends the
// input (after a first byte that picks the frame limits) and then closes.
// A reader written from the wire format decides which payloads must reach
// the queue: those of the complete data frames that follow a valid opening
// handshake, up to the first frame the receiver must refuse.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/net.h"
#include "pipeline/queue.h"
#include "pipeline/worker/receiver.h"

using ns::event::queue::EventQueue;
using ns::worker::receiver::Receiver;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t maxInput = 64 * 1024;
constexpr uint32_t controlLimits[] = {65536, 4, 42, 100};
constexpr uint32_t dataLimits[] = {262144, 1, 16, 4096};
const char contentType[] = "protobuf:dnstap.Dnstap";

class Model {
public:
    Model(const uint8_t* data, size_t size, uint32_t controlLimit, uint32_t dataLimit)
        : d(data), n(size), controlLimit(controlLimit), dataLimit(dataLimit)
    {
    }

    std::vector<Bytes> queued()
    {
        std::vector<Bytes> out;
        uint32_t type;
        if (!control(true, true, type))
            return out;
        if (type == 4 && !control(true, true, type))
            return out;
        if (type != 2)
            return out;
        for (;;) {
            uint32_t length;
            if (!word(length) || length > dataLimit)
                return out;
            if (length == 0)
                return out;  // a control frame: STOP or not, nothing more is queued
            if (n - p < length)
                return out;
            out.emplace_back(d + p, d + p + length);
            p += length;
        }
    }

private:
    bool word(uint32_t& v)
    {
        if (n - p < 4)
            return false;
        v = (uint32_t(d[p]) << 24) | (uint32_t(d[p + 1]) << 16) | (uint32_t(d[p + 2]) << 8) | d[p + 3];
        p += 4;
        return true;
    }

    bool control(bool escape, bool needType, uint32_t& type)
    {
        uint32_t e, len;
        if (escape && (!word(e) || e != 0))
            return false;
        if (!word(len) || len < 4 || len > controlLimit || n - p < len)
            return false;
        const uint8_t* f = d + p;
        p += len;
        type = (uint32_t(f[0]) << 24) | (uint32_t(f[1]) << 16) | (uint32_t(f[2]) << 8) | f[3];
        if (!needType)
            return true;
        uint64_t q = 4;
        while (q < len) {
            if (q + 8 > len)
                return false;
            const uint32_t ftype = (uint32_t(f[q]) << 24) | (uint32_t(f[q + 1]) << 16) |
                                   (uint32_t(f[q + 2]) << 8) | f[q + 3];
            const uint32_t flen = (uint32_t(f[q + 4]) << 24) | (uint32_t(f[q + 5]) << 16) |
                                  (uint32_t(f[q + 6]) << 8) | f[q + 7];
            if (q + 8 + flen > len)
                return false;
            if (ftype == 1 && flen == 22 && std::memcmp(f + q + 8, contentType, 22) == 0)
                return true;
            q += 8 + uint64_t(flen);
        }
        return false;
    }

    const uint8_t* d;
    size_t n;
    size_t p = 0;
    uint32_t controlLimit;
    uint32_t dataLimit;
};

EventQueue& queue()
{
    static EventQueue* q = [] {
        ns::event::queue::EventQueueConfig config;
        config.size = 1024 * 1024;
        config.recovery = false;
        return new EventQueue(config);
    }();
    return *q;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > maxInput)
        return 0;
    const uint8_t mode = data[0];
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        std::abort();
    int buffer = static_cast<int>(maxInput * 2);
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    size_t sent = 1;
    while (sent < size) {
        const ssize_t n = send(fds[1], data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    shutdown(fds[1], SHUT_WR);

    ns::worker::receiver::ReceiverConfig config;
    config.id = 7;
    config.socketConfig.isUnix = true;
    config.socketConfig.readTimeout = 1;
    config.socketConfig.writeTimeout = 1;
    config.socketConfig.keepalive = 0;
    config.fstrmSocketConfig.controlFrameMaxSize = controlLimits[mode & 3];
    config.fstrmSocketConfig.dataFrameMaxSize = dataLimits[(mode >> 2) & 3];
    ns::worker::receiver::ReceiverContext context;
    context.eventQueue = &queue();

    auto* receiver = new Receiver(config, context, new ns::net::Socket(7, config.socketConfig, fds[0]));
    receiver->processLoop();
    delete receiver;
    close(fds[1]);

    Model model(data + 1, sent - 1, config.fstrmSocketConfig.controlFrameMaxSize,
                config.fstrmSocketConfig.dataFrameMaxSize);
    const std::vector<Bytes> expected = model.queued();
    static Bytes event;
    for (const Bytes& want : expected) {
        event.clear();
        queue().extract(event);
        if (event != want)
            std::abort();
    }
    event.clear();
    queue().extract(event);
    if (!event.empty())
        std::abort();
    return 0;
}
