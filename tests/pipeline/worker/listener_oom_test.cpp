// A receiver that cannot be allocated: the accepted connection must still be
// closed, the failure handled as a listen error, and serving must resume.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "net/stack_fixture.h"
#include "pipeline/queue.h"
#include "pipeline/worker/dnstap_sender.h"
#include "pipeline/worker/listener.h"
#include "pipeline/worker/receiver.h"

namespace {
std::atomic<bool> failNextReceiver{false};
}

// Fail exactly one allocation of a receiver's size, in whichever form the
// listener makes it; every other allocation is served from malloc.
namespace {
bool failHere(std::size_t size)
{
    return size == sizeof(ns::worker::receiver::Receiver) && failNextReceiver.exchange(false);
}
} // namespace

// These replace the global forms, so they pair with free() by design.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size)
{
    void* p = failHere(size) ? nullptr : std::malloc(size ? size : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return failHere(size) ? nullptr : std::malloc(size ? size : 1);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

#pragma GCC diagnostic pop

namespace {

using namespace dnstap_sender;
using ns::event::queue::EventQueue;
using ns::worker::listener::Listener;
using ns::worker::listener::ListenerConfig;
using ns::worker::listener::ListenerContext;
using stack_fixture::TempDir;
using stack_fixture::waitFor;

TEST(ListenerOutOfMemory, ConnectionWithoutReceiverIsClosedAndServingResumes)
{
    LogCapture log;
    TempDir dir;
    EventQueue queue{smallQueue()};

    ListenerConfig config;
    std::string text = "unix /placeholder read-timeout=1 group=" + stack_fixture::ownGroup() + " mode=600";
    ns::worker::listener::parseListener(text.c_str(), config);
    config.socketConfig.path = dir.file("l.sock");
    ns::net::SocketConfig clientConfig = config.socketConfig;
    clientConfig.readTimeout = 3;
    clientConfig.writeTimeout = 2;

    Listener listener(config, ListenerContext{&queue});
    listener.startProcessLoopThread();
    const std::string listening = "Socket[0]: Listening on " + config.socketConfig.path;
    ASSERT_TRUE(waitFor([&] { return log.has(listening); })) << log.all();

    failNextReceiver = true;
    {
        Sender refused(100, clientConfig);
        refused.connect();
        ASSERT_TRUE(waitFor([&] { return log.has("Listener0: Listen error: std::bad_alloc"); })) << log.all();
        EXPECT_FALSE(failNextReceiver.load());
        // Not left open without an owner.
        EXPECT_TRUE(refused.closedByPeer());
    }

    // Listening again after the pause; the id counter kept counting.
    ASSERT_TRUE(waitFor([&] { return log.count(listening) >= 2; }, 8000)) << log.all();
    {
        Sender served(101, clientConfig);
        served.connect();
        served.send(control(2) + data("event") + control(3, false));
        ASSERT_TRUE(waitFor([&] { return log.has("Listener[0]: Receiver[1] Is finished"); })) << log.all();
    }
    auto events = drain(queue);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], "event");

    ns::metrics::ListenerMetrics m;
    listener.getMetrics(m);
    EXPECT_EQ(m.accepts.load(), 1u);
    EXPECT_EQ(m.peakReceivers.load(), 1u);
    EXPECT_EQ(m.activeReceivers.load(), 0u);

    listener.stopProcessLoopThread();
    listener.joinProcessLoopThread();
}

} // namespace
