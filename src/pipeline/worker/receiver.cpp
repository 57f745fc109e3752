#include "pipeline/worker/receiver.h"

#include <array>
#include <string>
#include <utility>

#include "foundation/log.h"
#include "pipeline/queue.h"

namespace ns::worker::receiver {

namespace {

std::string receiverPrefix(uint32_t id) { return "Receiver[" + std::to_string(id) + "]: "; }

[[noreturn]] void throwUnexpectedType(uint32_t type)
{
    throw ReceiverError("Unexpected control message type " + std::to_string(type));
}

} // namespace

Receiver::Receiver(ReceiverConfig config, ReceiverContext context, ns::net::Socket* socket)
    : id(config.id),
      socketConfig(std::move(config.socketConfig)),
      tlsSocketConfig(std::move(config.tlsSocketConfig)),
      fstrmSocketConfig(std::move(config.fstrmSocketConfig)),
      context(context),
      socket(socket),
      tlsSocket(nullptr),
      fstrmSocket(nullptr)
{
    try {
        tlsSocket = new ns::net::tls::TlsSocket(id, true, tlsSocketConfig, *socket);
        fstrmSocket = new ns::net::fstrm::FstrmSocket(id, fstrmSocketConfig, *socket, *tlsSocket);
    } catch (...) {
        // The socket was handed over with the call: release it here too.
        delete tlsSocket;
        delete socket;
        throw;
    }
}

Receiver::~Receiver()
{
    delete fstrmSocket;
    try {
        tlsSocket->close();
    } catch (...) {
    }
    delete tlsSocket;
    socket->close();
    delete socket;
    if (thread != nullptr) {
        // May run on the receiver's own thread: never join here.
        if (thread->joinable())
            thread->detach();
        delete thread;
    }
}

ns::net::RemoteEndpoint Receiver::getRemoteEndpoint()
{
    // A failed lookup ends the connection, whose descriptor is then closed
    // under this lock: later calls give the empty record without a query.
    std::lock_guard<std::mutex> lock(peerMutex);
    if (!peerKnown && socket->isConnected()) {
        peer = socket->getRemoteEndpoint();
        peerKnown = true;
    }
    return peer;
}

void Receiver::getMetrics(ns::metrics::ReceiverMetrics& out)
{
    out.bytesReceived = ns::metrics::takeGrowth(metrics.bytesReceived, lastReported.bytesReceived);
    out.eventsReceived = ns::metrics::takeGrowth(metrics.eventsReceived, lastReported.eventsReceived);
}

void Receiver::startProcessLoopThread(bool stopped)
{
    if (thread != nullptr)
        return;
    stop = stopped;
    thread = new std::thread(Receiver_processLoop, this);
}

void Receiver::stopProcessLoopThread()
{
    if (thread != nullptr)
        stop = true;
}

void Receiver::joinProcessLoopThread()
{
    if (thread != nullptr && thread->joinable())
        thread->join();
}

std::thread* Receiver::releaseThread()
{
    std::thread* t = thread;
    thread = nullptr;
    return t;
}

void Receiver::closeConnection()
{
    if (tlsSocketConfig.enabled) {
        try {
            tlsSocket->close();
        } catch (...) {
        }
    }
    std::lock_guard<std::mutex> lock(peerMutex);
    socket->close();
}

void Receiver::sendFinish()
{
    try {
        fstrmSocket->sendcontrol(ns::net::fstrm::FSTRM_CONTROL_FINISH, false);
    } catch (const std::exception&) {
        // Some senders close right after their STOP: the stream was whole.
        if (!socket->closedByPeer())
            throw;
        ns::log::info((receiverPrefix(id) + "Sender closed the connection before FINISH").c_str());
    }
}

void Receiver::processLoop()
{
    using namespace ns::net::fstrm;
    bool stopping = false;
    try {
        ns::net::RemoteEndpoint remote = getRemoteEndpoint();
        if (remote.isUnix)
            ns::log::info((receiverPrefix(id) + "Handling connection from uid=" + std::to_string(remote.uid) +
                           " gid=" + std::to_string(remote.gid) + " pid=" + std::to_string(remote.pid)).c_str());
        else
            ns::log::info((receiverPrefix(id) + "Handling connection from " + remote.host + ":" +
                           std::to_string(remote.port)).c_str());

        // What the sender already wrote counts as delivered on its side: at a
        // stop, take it in before the close, but wait for nothing.
        auto noticeStop = [&] {
            if (stop && !stopping) {
                socket->stopReceiving();
                stopping = true;
            }
            return stopping;
        };
        // A connection accepted at the stop (it waited in the listen queue)
        // is told to stop before it starts: its handshake is served from what
        // was received, too.
        noticeStop();

        // TLS is served to Unix peers too: the Frame Streams layer reads through
        // the TLS object whenever TLS is enabled.
        const bool useTls = tlsSocket->isActive();
        if (useTls)
            tlsSocket->connect();

        bool bidirectional = false;
        uint32_t type = fstrmSocket->readcontrol(true, true);
        if (type == FSTRM_CONTROL_READY) {
            // Without ACCEPT the sender has sent nothing yet and keeps its
            // events for its next connection.
            if (noticeStop()) {
                closeConnection();
                return;  // stop is set: no done callback follows
            }
            fstrmSocket->sendcontrol(FSTRM_CONTROL_ACCEPT, true);
            type = fstrmSocket->readcontrol(true, true);
            bidirectional = true;
        }
        if (type != FSTRM_CONTROL_START)
            throwUnexpectedType(type);

        std::array<ns::event::queue::EventSpan, 256> spans;
        const uint32_t keepalive = socketConfig.keepalive;
        uint32_t allowance = keepalive;
        for (;;) {
            noticeStop();
            // Input already read into the Frame Streams or TLS layer never
            // makes the descriptor readable again.
            if (!fstrmSocket->hasBufferedInput() && !(useTls && tlsSocket->hasPendingInput())) {
                ns::net::WaitResult ready = socket->waitReadable(socket->getReadTimeout(), context.wakeFd);
                // The listener sets our flag before it wakes us.
                if (ready == ns::net::WaitResult::Woken)
                    continue;
                if (ready == ns::net::WaitResult::TimedOut) {
                    if (stopping)
                        break;  // every whole frame received is queued
                    if (allowance == 0)
                        throw ReceiverError("Connection timed out");
                    --allowance;
                    continue;
                }
            }
            uint32_t length = 0;
            if (!fstrmSocket->readFrameLength(length)) {
                // Every frame was whole and is queued: an end, not a failure.
                ns::log::info((receiverPrefix(id) + "Sender closed the connection without STOP").c_str());
                break;
            }
            if (length == 0) {
                type = fstrmSocket->readcontrol(false, false);
                if (type != FSTRM_CONTROL_STOP)
                    throwUnexpectedType(type);
                if (bidirectional)
                    sendFinish();
                break;
            }
            // A frame already whole in the read buffer is queued from there;
            // the whole data frames buffered behind it go with it, under one
            // queue lock.
            const unsigned char* payload = fstrmSocket->takeBuffered(length);
            size_t frames = 1;
            if (payload == nullptr) {
                fstrmSocket->readblock(frameBuffer, length);
                payload = frameBuffer.data();
            }
            spans[0] = {payload, length};
            uint32_t next = 0;
            while (frames < spans.size() && (payload = fstrmSocket->takeBufferedFrame(next)) != nullptr)
                spans[frames++] = {payload, next};
            const size_t stored = context.eventQueue->appendBatch(spans.data(), frames);
            uint64_t bytes = 0;
            for (size_t i = 0; i < stored; ++i)
                bytes += uint64_t(spans[i].length) + 4;
            // Only this thread writes the counters: no locked add needed.
            metrics.eventsReceived.store(metrics.eventsReceived.load(std::memory_order_relaxed) + stored,
                                         std::memory_order_relaxed);
            metrics.bytesReceived.store(metrics.bytesReceived.load(std::memory_order_relaxed) + bytes,
                                        std::memory_order_relaxed);
            // A payload the queue refuses ends the connection with its error.
            if (stored < frames)
                context.eventQueue->append(spans[stored].data, spans[stored].length);
            allowance = keepalive;
        }
        if (stopping)
            closeConnection();
    } catch (const std::exception& e) {
        // At a stop the received bytes may end inside a frame: that frame
        // never reached us whole, and its loss is no failure.
        if (!(stopping && socket->receivedAllRead()))
            ns::log::error((receiverPrefix(id) + "Process loop failed: " + e.what()).c_str());
        closeConnection();
    }
    // The callback may delete this receiver: nothing of it is touched after.
    if (!stop && context.doneCallback != nullptr)
        context.doneCallback(this, context.doneCallbackArg);
}

void Receiver_processLoop(Receiver* receiver)
{
    const std::string prefix = receiverPrefix(receiver->getId());
    try {
        ns::log::info((prefix + "Starting process loop").c_str());
        receiver->processLoop();
        ns::log::info((prefix + "Finished process loop").c_str());
    } catch (const std::exception& e) {
        ns::log::error((prefix + "Process loop failed: " + e.what()).c_str());
    }
}

} // namespace ns::worker::receiver
