#include "pipeline/worker/forwarder.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>

#include "dns/formatter.h"
#include "foundation/encoding/hex.h"
#include "foundation/log.h"
#include "pipeline/queue.h"
#include "pipeline/worker/listener.h"

namespace ns::worker::forwarder {

namespace {

using ns::worker::listener::EntryTokenizer;

[[noreturn]] void refuse(const std::string& message)
{
    throw ForwarderError(message);
}

uint32_t numberInRange(const std::string& value, int64_t low, int64_t high, const char* message)
{
    return ns::worker::listener::parseEntryRange(value, low, high, message, refuse);
}

std::string forwarderPrefix(uint32_t id) { return "Forwarder[" + std::to_string(id) + "]: "; }

} // namespace

void parseForwarder(const char* text, ForwarderConfig& config)
{
    ns::net::SocketConfig& sock = config.socketConfig;
    ns::net::tls::TlsSocketConfig& tls = config.tlsSocketConfig;
    ns::net::fstrm::FstrmSocketConfig& fstrm = config.fstrmSocketConfig;

    sock.isUnix = false;
    EntryTokenizer tokens(text);
    std::string protocol = tokens.readToken();
    if (protocol == "ipv4")
        sock.useIpv6 = false;
    else if (protocol == "ipv6")
        sock.useIpv6 = true;
    else
        throw ForwarderError("Invalid protocol");

    std::string host = tokens.readToken();
    if (host.empty())
        throw ForwarderError("Invalid host");
    sock.host = host;
    sock.port = static_cast<uint16_t>(numberInRange(tokens.readToken(), 1, 65535, "Invalid port"));
    tls.serverName = host;

    std::string name;
    std::string value;
    for (;;) {
        EntryTokenizer::Option read = tokens.readOption(name, value);
        if (read == EntryTokenizer::Option::End)
            break;
        if (read == EntryTokenizer::Option::MissingValue)
            throw ForwarderError("Invalid parameter '" + name + "'");

        if (ns::worker::listener::applySharedOption(name, value, sock, tls, fstrm, refuse)) {
            // handled
        } else if (name == "connect-timeout") {
            sock.connectTimeout = numberInRange(value, 1, 120, "Invalid connect-timeout option");
        } else if (name == "batch-size") {
            // A value that does not fit 32 bits would wrap, possibly to 0.
            config.batchSize = numberInRange(value, 1, UINT32_MAX, "Invalid batch-size option");
        } else if (name == "recovery") {
            if (value == "drop") {
                config.requeue = false;
                config.durable = false;
            } else if (value == "best-effort") {
                config.requeue = true;
                config.durable = false;
            } else if (value == "durable") {
                config.requeue = true;
                config.durable = true;
            } else {
                throw ForwarderError("Invalid recovery option");
            }
        } else if (name == "fstrm-mode") {
            if (value == "bidirectional")
                fstrm.bidirectional = true;
            else if (value == "unidirectional")
                fstrm.bidirectional = false;
            else
                throw ForwarderError("Invalid fstrm-mode option");
        } else if (name == "tls-validate-server-name") {
            tls.serverName = value;
        } else if (name == "tls-client-certificate") {
            tls.clientCertificate =
                ns::worker::listener::parseEntryOnOff(value, "Invalid tls-client-certificate option", refuse);
        } else if (name == "tls-client-certificate-cert-file") {
            tls.certFile = value;
        } else if (name == "tls-client-certificate-key-file") {
            tls.keyFile = value;
        } else {
            throw ForwarderError("Unknown parameter '" + name + "'");
        }
    }
}

// ---- Forwarder worker ------------------------------------------------------

Forwarder::Forwarder(ForwarderConfig config_, ForwarderContext context_)
    : config(std::move(config_)), context(context_)
{
    socket = new ns::net::Socket(config.id, config.socketConfig);
    tlsSocket = new ns::net::tls::TlsSocket(config.id, false, config.tlsSocketConfig, *socket);
    fstrmSocket = new ns::net::fstrm::FstrmSocket(config.id, config.fstrmSocketConfig, *socket, *tlsSocket);
    const uint32_t batchSize = config.batchSize ? config.batchSize : 1;
    current = new ForwarderBatch(batchSize);
    previous = new ForwarderBatch(batchSize);
    prefix = forwarderPrefix(config.id);
}

Forwarder::~Forwarder()
{
    // A running thread would use what is freed below: join it first.
    if (thread) {
        stopProcessLoopThread();
        if (thread->joinable())
            thread->join();
        delete thread;
    }
    try {
        tlsSocket->close();
    } catch (const std::exception&) {
    }
    delete tlsSocket;
    try {
        socket->close();
    } catch (const std::exception&) {
    }
    delete fstrmSocket;
    delete socket;
    delete current;
    delete previous;
}

void Forwarder::getMetrics(ns::metrics::ForwarderMetrics& out)
{
    using ns::metrics::takeGrowth;
    out.connected = connected.load();
    lastReported.connected = out.connected;
    out.bytesSent = takeGrowth(metrics.bytesSent, lastReported.bytesSent);
    out.eventsSent = takeGrowth(metrics.eventsSent, lastReported.eventsSent);
    out.connects = takeGrowth(metrics.connects, lastReported.connects);
    out.dnstapErrors = takeGrowth(metrics.dnstapErrors, lastReported.dnstapErrors);
}

void Forwarder::startProcessLoopThread()
{
    if (thread)
        return;
    stop = false;
    thread = new std::thread(Forwarder_processLoop, this);
}

void Forwarder::stopProcessLoopThread()
{
    if (!thread)
        return;
    stop = true;
    context.eventQueue->signal();
}

void Forwarder::joinProcessLoopThread()
{
    if (thread && thread->joinable())
        thread->join();
}

void Forwarder::connect(bool& connectedSinceError)
{
    if (config.forceStdout || socket->isConnected())
        return;
    metrics.connects++;
    socket->connect();
    connected = true;
    if (config.tlsSocketConfig.enabled)
        tlsSocket->connect();
    if (context.formatter->isFormatDnstap())
        fstrmSocket->sendstart();
    connectedSinceError = true;
}

static constexpr size_t maxBatchBytes = size_t(1) << 31;

// Payload bytes taken per queue call for text output: the rendered size of
// an event is only known once it is formatted, so the batch size bound
// below is tested between such chunks (a chunk renders to a few MB at most).
static constexpr uint64_t textChunkBytes = 256 * 1024;

// Events taken per queue call at most, so that the length array of a batch
// grows in steps with what the queue holds.
static constexpr size_t chunkEvents = 4096;

// Takes up to batchSize events into `current` and renders them into
// sendBuffer. Returns false when nothing was kept. Events come from the
// queue a chunk at a time (one lock per chunk) and are then handled one by
// one exactly as if each had been extracted alone.
bool Forwarder::fillBatch()
{
    const bool dnstap = context.formatter->isFormatDnstap();
    ForwarderBatch& batch = *current;
    const uint32_t limit = batch.limit;
    uint32_t i = 0;
    while (i < limit) {
        // Send lengths and batch positions are 32-bit: a very large batch
        // ends early rather than wrap (one event adds at most some 40 MB).
        if (sendBuffer.size() >= maxBatchBytes)
            break;
        // A dnstap event adds exactly its length plus 4 to sendBuffer, so
        // this budget ends the chunk where the test above would.
        const uint64_t budget = dnstap ? maxBatchBytes - sendBuffer.size() : textChunkBytes;
        const size_t wanted = std::min<size_t>(limit - i, chunkEvents);
        const size_t start = batch.raw.size();
        const size_t n = context.eventQueue->extractBatch(batch.raw, batch.lengthsAt(i, wanted), wanted, budget,
                                                          dnstap ? 4 : 0);
        if (n == 0)
            break;
        // Skipped events are cut out of raw by moving the kept ones down.
        size_t readPos = start;
        size_t writePos = start;
        uint64_t taken = 0;
        bool emptyEvent = false;
        for (size_t k = 0; k < n; ++k, ++i) {
            const uint32_t length = batch.lengths[i];
            // extract() gives nothing for an empty event: it reads as an
            // empty queue and ends the batch.
            if (length == 0) {
                emptyEvent = true;
                break;
            }
            taken += uint64_t(length) + (dnstap ? 4 : 0);
            batch.extracted++;
            batch.lengths[i] = 0;
            const unsigned char* payload = batch.raw.data() + readPos;
            bool kept = false;
            if (dnstap) {
                uint8_t header[4] = {static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                                     static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
                sendBuffer.insert(sendBuffer.end(), header, header + 4);
                sendBuffer.insert(sendBuffer.end(), payload, payload + length);
                kept = true;
            } else {
                const size_t mark = sendBuffer.size();
                try {
                    ns::encoding::dnstap::decodeDnstapEvent(dnstapEvent, payload, length, 0);
                    if (ns::net::dns::extractDnsMessageEventFromDnstapEvent(messageEvent, dnstapEvent))
                        kept = context.formatter->format(sendBuffer, messageEvent);
                } catch (const std::exception&) {
                    metrics.dnstapErrors++;
                    kept = false;
                }
                // A skipped event leaves nothing of itself in the batch.
                if (!kept)
                    sendBuffer.resize(mark);
            }
            if (kept) {
                if (writePos != readPos)
                    std::memmove(batch.raw.data() + writePos, payload, length);
                writePos += length;
                batch.lengths[i] = length;
                batch.count++;
                batch.bytes = static_cast<uint32_t>(sendBuffer.size());
            }
            readPos += length;
        }
        batch.raw.resize(writePos);
        // Fewer events than asked for and the budget not spent: the queue
        // is empty.
        if (emptyEvent || (n < wanted && taken < budget))
            break;
    }
    return batch.count != 0;
}

void Forwarder::writeStdout()
{
    const unsigned char* data = sendBuffer.data();
    size_t size = sendBuffer.size();
    if (context.formatter->isFormatDnstap()) {
        stdoutLine.clear();
        ns::encoding::hex::formatHex(stdoutLine, sendBuffer.data(), static_cast<uint32_t>(sendBuffer.size()));
        stdoutLine.push_back('\n');
        data = stdoutLine.data();
        size = stdoutLine.size();
    }
    // Written whole, by length, under the log's lock so that log lines and
    // event lines never interleave mid-line.
    std::lock_guard<std::mutex> lock(ns::log::mtx);
    std::cout.flush();
    std::fwrite(data, 1, size, stdout);
    std::fflush(stdout);
}

void Forwarder::sendBatch()
{
    // Text lines and dnstap frames alike go out through the stack's byte
    // send, which writes through TLS when it is enabled.
    if (config.forceStdout)
        writeStdout();
    else
        fstrmSocket->sendblock(sendBuffer.data(), static_cast<uint32_t>(sendBuffer.size()));
    metrics.bytesSent += current->bytes;
    metrics.eventsSent += current->count;
    std::swap(current, previous);
    current->clear();
    sendBuffer.clear();
}

void Forwarder::disconnect()
{
    if (socket->isConnected()) {
        if (context.formatter->isFormatDnstap())
            fstrmSocket->sendstop();
        if (config.tlsSocketConfig.enabled)
            tlsSocket->close();
    }
    socket->close();
    connected = false;
}

void Forwarder::returnBatch(const ForwarderBatch& batch, const char* which)
{
    ns::log::info((prefix + "Returning " + std::to_string(batch.count) + " " + which +
                   " events back to the event queue")
                      .c_str());
    size_t offset = 0;
    for (uint32_t i = 0; i < batch.extracted; ++i) {
        const uint32_t length = batch.lengths[i];
        if (length == 0)
            continue;
        context.eventQueue->append(batch.raw.data() + offset, length);
        offset += length;
    }
}

void Forwarder::requeueData()
{
    if (config.requeue) {
        if (config.durable && previous->count != 0)
            returnBatch(*previous, "previous");
        previous->clear();
        if (current->count != 0)
            returnBatch(*current, "current");
    } else {
        previous->clear();
    }
    current->clear();
}

void Forwarder::processLoop()
{
    current->clear();
    previous->clear();
    ns::log::info((prefix + "Configured target is " + config.socketConfig.host + ":" +
                   std::to_string(config.socketConfig.port))
                      .c_str());
    bool connectedSinceError = false;
    while (!stop) {
        try {
            connect(connectedSinceError);
            while (!stop) {
                if (!fillBatch()) {
                    current->clear();
                    sendBuffer.clear();
                    context.eventQueue->wait();
                    continue;
                }
                sendBatch();
            }
            current->clear();
            sendBuffer.clear();
            if (!config.forceStdout)
                disconnect();
            break;
        } catch (const std::exception& e) {
            ns::log::error((prefix + "Connection error: " + e.what()).c_str());
            if (!config.forceStdout) {
                socket->close();
                connected = false;
            }
            sendBuffer.clear();
            requeueData();
            if (config.tlsSocketConfig.enabled)
                tlsSocket->reset();
            if (!connectedSinceError) {
                for (int i = 0; i < 10 && !stop; ++i)
                    std::this_thread::sleep_for(std::chrono::seconds(1));
            }
            connectedSinceError = false;
        }
    }
}

void Forwarder_processLoop(Forwarder* forwarder)
{
    const std::string prefix = forwarderPrefix(forwarder->getId());
    try {
        ns::log::info((prefix + "Starting process loop").c_str());
        forwarder->processLoop();
        ns::log::info((prefix + "Finished process loop").c_str());
    } catch (const std::exception& e) {
        ns::log::error((prefix + "Process loop failed: " + e.what()).c_str());
    }
}

} // namespace ns::worker::forwarder
