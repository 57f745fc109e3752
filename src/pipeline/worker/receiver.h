// One accepted dnstap connection served on a thread of its own: optional TLS
// handshake, Frame Streams server handshake, then every data frame appended
// undecoded to the event queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/error.h"
#include "net/fstrm.h"
#include "net/net.h"
#include "net/tls.h"
#include "pipeline/metrics.h"

namespace ns::event::queue {
class EventQueue;
}

namespace ns::worker::receiver {

NS_DECLARE_ERROR(ReceiverError);

class Receiver;

struct ReceiverConfig {
    uint32_t id = 0;  // the accepted socket's id
    ns::net::SocketConfig socketConfig;
    ns::net::tls::TlsSocketConfig tlsSocketConfig;
    ns::net::fstrm::FstrmSocketConfig fstrmSocketConfig;
};

struct ReceiverContext {
    // Called on the receiver's thread when the connection ended by itself
    // (not by a stop request); it may delete the receiver.
    void (*doneCallback)(Receiver*, void*) = nullptr;
    void* doneCallbackArg = nullptr;
    ns::event::queue::EventQueue* eventQueue = nullptr;
    // Becomes readable once the receiver is told to stop (its listener's
    // wake-up descriptor), so an idle connection notices the stop at once;
    // -1: the stop is seen after the current wait.
    int wakeFd = -1;
};

class Receiver {
public:
    // Takes ownership of socket; touches no network.
    Receiver(ReceiverConfig config, ReceiverContext context, ns::net::Socket* socket);
    ~Receiver();

    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    uint32_t getId() const { return id; }
    // The peer, looked up once and kept, so it stays available after the
    // connection has failed and its descriptor is closed.
    ns::net::RemoteEndpoint getRemoteEndpoint();
    // Bytes and events received since the previous call.
    void getMetrics(ns::metrics::ReceiverMetrics& out);

    // `stopped`: the thread starts with its stop already requested (a
    // connection accepted during its listener's stop), so that it never
    // begins a wait the stop should have spared.
    void startProcessLoopThread(bool stopped = false);
    // The loop then takes the whole frames already received into the queue,
    // without waiting for more, and closes the connection.
    void stopProcessLoopThread();
    void joinProcessLoopThread();
    // Hands the thread object to the caller, who must join it; lets the owner
    // delete a finished receiver without leaving its thread detached.
    std::thread* releaseThread();

    void processLoop();

private:
    void closeConnection();
    // FINISH after the sender's STOP; a sender already gone is no failure.
    void sendFinish();

    uint32_t id;
    ns::net::SocketConfig socketConfig;
    ns::net::tls::TlsSocketConfig tlsSocketConfig;
    ns::net::fstrm::FstrmSocketConfig fstrmSocketConfig;
    ReceiverContext context;
    ns::net::Socket* socket;
    ns::net::tls::TlsSocket* tlsSocket;
    ns::net::fstrm::FstrmSocket* fstrmSocket;
    std::thread* thread = nullptr;
    std::atomic<bool> stop{false};
    ns::metrics::ReceiverMetrics metrics;
    ns::metrics::ReceiverMetrics lastReported;

    // Guards the kept peer record and the socket's descriptor against the
    // metrics thread while the receiver's thread closes it after a failure.
    std::mutex peerMutex;
    bool peerKnown = false;
    ns::net::RemoteEndpoint peer;
    // One receive buffer for the whole connection.
    std::vector<unsigned char> frameBuffer;
};

// Thread body of a receiver.
void Receiver_processLoop(Receiver* receiver);

} // namespace ns::worker::receiver
