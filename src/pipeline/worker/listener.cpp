#include "pipeline/worker/listener.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

#include "foundation/log.h"
#include "pipeline/worker/receiver.h"

namespace ns::worker::listener {

using ns::worker::receiver::Receiver;
using ns::worker::receiver::ReceiverConfig;
using ns::worker::receiver::ReceiverContext;

namespace {

bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

void toLower(std::string& text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

[[noreturn]] void refuse(const std::string& message)
{
    throw ListenerError(message);
}

uint32_t numberInRange(const std::string& value, int64_t low, int64_t high, const char* message)
{
    return parseEntryRange(value, low, high, message, refuse);
}

std::string listenerPrefix(uint32_t id) { return "Listener[" + std::to_string(id) + "]: "; }

} // namespace

// ---- tokeniser -------------------------------------------------------------

void EntryTokenizer::skipBlanks()
{
    while (*pos != '\0' && isBlank(*pos))
        ++pos;
}

std::string EntryTokenizer::readToken()
{
    skipBlanks();
    const char* start = pos;
    while (*pos != '\0' && !isBlank(*pos))
        ++pos;
    std::string token(start, pos);
    toLower(token);
    return token;
}

EntryTokenizer::Option EntryTokenizer::readOption(std::string& name, std::string& value)
{
    skipBlanks();
    if (*pos == '\0')
        return Option::End;
    const char* start = pos;
    while (*pos != '\0' && *pos != '=' && !isBlank(*pos))
        ++pos;
    name.assign(start, pos);
    toLower(name);
    // Exactly one separator, then any blanks.
    if (*pos != '\0')
        ++pos;
    skipBlanks();
    if (*pos == '\0')
        return Option::MissingValue;
    if (*pos == '"') {
        ++pos;
        start = pos;
        while (*pos != '\0' && *pos != '"')
            ++pos;
        value.assign(start, pos);
        if (*pos == '"')
            ++pos;
    } else {
        start = pos;
        while (*pos != '\0' && !isBlank(*pos))
            ++pos;
        value.assign(start, pos);
    }
    return Option::Found;
}

int64_t parseEntryNumber(const std::string& text)
{
    static_assert(sizeof(long) == sizeof(int64_t), "strtol must cover 64 bits");
    return std::strtol(text.c_str(), nullptr, 10);
}

uint32_t parseEntryRange(const std::string& value, int64_t low, int64_t high, const char* message, RefuseFn refuse)
{
    int64_t n = parseEntryNumber(value);
    if (n < low || n > high)
        refuse(message);
    return static_cast<uint32_t>(n);
}

bool parseEntryOnOff(const std::string& value, const char* message, RefuseFn refuse)
{
    if (value == "on")
        return true;
    if (value != "off")
        refuse(message);
    return false;
}

bool applySharedOption(const std::string& name, const std::string& value, ns::net::SocketConfig& sock,
                       ns::net::tls::TlsSocketConfig& tls, ns::net::fstrm::FstrmSocketConfig& fstrm,
                       RefuseFn refuse)
{
    if (name == "read-timeout") {
        sock.readTimeout = parseEntryRange(value, 1, 120, "Invalid read-timeout option", refuse);
    } else if (name == "write-timeout") {
        sock.writeTimeout = parseEntryRange(value, 1, 120, "Invalid write-timeout option", refuse);
    } else if (name == "send-buffer-size") {
        sock.sendBufferSize = parseEntryRange(value, 1, INT32_MAX, "Invalid send-buffer-size option", refuse);
    } else if (name == "recv-buffer-size") {
        sock.recvBufferSize = parseEntryRange(value, 1, INT32_MAX, "Invalid recv-buffer-size option", refuse);
    } else if (name == "fstrm-control-frame-max-size") {
        // Above 32 bits the stored limit would wrap, possibly to 0.
        fstrm.controlFrameMaxSize =
            parseEntryRange(value, 1, UINT32_MAX, "Invalid fstrm-control-frame-max-size option", refuse);
    } else if (name == "tls") {
        tls.enabled = parseEntryOnOff(value, "Invalid tls option", refuse);
    } else if (name == "tls-validate") {
        tls.validate = parseEntryOnOff(value, "Invalid tls-validate option", refuse);
    } else if (name == "tls-validate-ca-file") {
        tls.caFile = value;
    } else if (name == "tls-min-version") {
        tls.minVersion = value;
    } else if (name == "tls-max-version") {
        tls.maxVersion = value;
    } else if (name == "tls-cipher-list") {
        tls.cipherList = value;
    } else if (name == "tls-cipher-suites") {
        tls.cipherSuites = value;
    } else {
        return false;
    }
    return true;
}

// ---- parser ------------------------------------------------------------------

void parseListener(const char* text, ListenerConfig& config)
{
    ns::net::SocketConfig& sock = config.socketConfig;
    ns::net::tls::TlsSocketConfig& tls = config.tlsSocketConfig;
    ns::net::fstrm::FstrmSocketConfig& fstrm = config.fstrmSocketConfig;

    EntryTokenizer tokens(text);
    std::string protocol = tokens.readToken();
    if (protocol == "unix") {
        sock.isUnix = true;
        sock.useIpv6 = false;
    } else if (protocol == "ipv4") {
        sock.isUnix = false;
        sock.useIpv6 = false;
    } else if (protocol == "ipv6") {
        sock.isUnix = false;
        sock.useIpv6 = true;
    } else {
        throw ListenerError("Invalid protocol");
    }

    if (sock.isUnix) {
        std::string path = tokens.readToken();
        if (path.empty())
            throw ListenerError("Invalid path");
        // sun_path holds 108 bytes including the terminating NUL.
        if (path.size() > 107)
            throw ListenerError("Path length " + std::to_string(path.size()) +
                                " is larger than limit of 107");
        sock.path = path;
    } else {
        std::string host = tokens.readToken();
        if (host.empty())
            throw ListenerError("Invalid host");
        sock.host = host;
        tls.validate = false;
        tls.serverName = host;
        sock.port = static_cast<uint16_t>(numberInRange(tokens.readToken(), 1, 65535, "Invalid port"));
    }

    std::string name;
    std::string value;
    for (;;) {
        EntryTokenizer::Option read = tokens.readOption(name, value);
        if (read == EntryTokenizer::Option::End)
            break;
        if (read == EntryTokenizer::Option::MissingValue)
            throw ListenerError("Invalid parameter '" + name + "'");

        if (applySharedOption(name, value, sock, tls, fstrm, refuse)) {
            // handled
        } else if (name == "keepalive") {
            sock.keepalive = numberInRange(value, 0, UINT32_MAX, "Invalid keepalive option");
        } else if (name == "listen-backlog") {
            sock.listenBacklog = numberInRange(value, 1, UINT32_MAX, "Invalid listen-backlog option");
        } else if (name == "max-connections") {
            sock.maxConnections = numberInRange(value, 1, UINT32_MAX, "Invalid max-connections option");
        } else if (name == "fstrm-data-frame-max-size") {
            // Above 32 bits the stored limit would wrap, possibly to 0.
            fstrm.dataFrameMaxSize =
                numberInRange(value, 1, UINT32_MAX, "Invalid fstrm-data-frame-max-size option");
        } else if (name == "mode") {
            // std::stoul throws invalid_argument/out_of_range "stoul" itself.
            uint32_t mode = static_cast<uint32_t>(std::stoul(value, nullptr, 8));
            if (mode < 1 || mode > 0777)
                throw ListenerError("Invalid mode option");
            sock.mode = mode;
        } else if (name == "group") {
            if (value.empty())
                throw ListenerError("Invalid group option");
            sock.group = value;
        } else if (name == "tls-server-name") {
            tls.serverName = value;
        } else if (name == "tls-certificate-cert-file") {
            tls.certFile = value;
        } else if (name == "tls-certificate-key-file") {
            tls.keyFile = value;
        } else {
            throw ListenerError("Unknown parameter '" + name + "'");
        }
    }
}

// ---- worker ------------------------------------------------------------------

Listener::Listener(ListenerConfig config, ListenerContext context)
    : config(std::move(config)), context(context)
{
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd == -1)
        throw ListenerError("eventfd() failed: " + ns::error::getMessage(errno));
    receiverWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (receiverWakeFd == -1) {
        const int err = errno;
        ::close(wakeFd);
        throw ListenerError("eventfd() failed: " + ns::error::getMessage(err));
    }
}

Listener::~Listener()
{
    // Never leave a receiver thread running on memory freed below.
    stopProcessLoopThread();
    joinProcessLoopThread();
    if (listenSocket != nullptr) {
        listenSocket->close();
        delete listenSocket;
    }
    delete thread;  // joined above
    for (auto& entry : receivers)
        delete entry.second;
    receivers.clear();
    joinFinishedThreads();
    ::close(wakeFd);
    ::close(receiverWakeFd);
}

void Listener::startProcessLoopThread()
{
    if (thread != nullptr)
        return;
    stop = false;
    thread = new std::thread(Listener_processLoop, this);
}

namespace {

// Never read back: the descriptor stays readable, so every later wait on it
// ends at once too. An eventfd write fails only at a counter overflow.
void signalWake(int fd)
{
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(fd, &one, sizeof(one));
}

} // namespace

void Listener::stopProcessLoopThread()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (thread != nullptr) {
        stop = true;
        signalWake(wakeFd);
    }
}

void Listener::stopReceivers()
{
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& entry : receivers)
        entry.second->stopProcessLoopThread();
    signalWake(receiverWakeFd);
}

void Listener::pause(int seconds)
{
    pollfd p;
    p.fd = wakeFd;
    p.events = POLLIN;
    for (int i = 0; i < seconds && !stop; ++i) {
        p.revents = 0;
        (void)::poll(&p, 1, 1000);
    }
}

void Listener::joinProcessLoopThread()
{
    if (thread != nullptr && thread->joinable())
        thread->join();
    // The thread has done it, unless it ended by a failure.
    if (stop)
        stopReceivers();
    std::vector<Receiver*> list;
    {
        std::lock_guard<std::mutex> lock(mutex);
        list.reserve(receivers.size());
        for (auto& entry : receivers)
            list.push_back(entry.second);
    }
    for (Receiver* receiver : list)
        receiver->joinProcessLoopThread();
    joinFinishedThreads();
}

void Listener::joinFinishedThreads()
{
    std::vector<std::thread*> list;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (finishedThreads.empty())
            return;
        list.swap(finishedThreads);
    }
    for (std::thread* t : list) {
        if (t->joinable())
            t->join();
        delete t;
    }
}

void Listener::deregister(uint32_t receiverId)
{
    Receiver* receiver = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stop)
            return;
        auto it = receivers.find(receiverId);
        if (it == receivers.end())
            return;
        receiver = it->second;
        receivers.erase(it);
        metrics.activeReceivers.fetch_sub(1);
        // The thread calling us is that receiver's; it is joined later by a
        // thread that holds no lock.
        std::thread* t = receiver->releaseThread();
        if (t != nullptr) {
            try {
                finishedThreads.push_back(t);
            } catch (...) {
                t->detach();
                delete t;
            }
        }
    }
    // Outside the mutex: the TLS close notification can wait on the socket.
    delete receiver;
}

void Listener::getMetrics(ns::metrics::ListenerMetrics& out)
{
    out.accepts = ns::metrics::takeGrowth(metrics.accepts, lastReported.accepts);
    const uint64_t active = metrics.activeReceivers.load();
    const uint64_t peak = metrics.peakReceivers.load();
    out.activeReceivers = active;
    out.peakReceivers = peak;
    lastReported.activeReceivers = active;
    lastReported.peakReceivers = peak;

    const ns::net::SocketConfig& sock = config.socketConfig;
    out.path = sock.path;
    out.host = sock.host;
    out.port = sock.port;
    out.isUnix = sock.isUnix;
    out.useIpv6 = sock.useIpv6;

    std::lock_guard<std::mutex> lock(mutex);
    out.receiverCount = static_cast<uint32_t>(receivers.size());
    size_t i = 0;
    for (auto& entry : receivers) {
        Receiver* receiver = entry.second;
        if (out.receivers.size() <= i) {
            auto record = std::make_unique<ns::metrics::ReceiverMetrics>();
            out.receivers.push_back(record.get());
            record.release();
        }
        ns::metrics::ReceiverMetrics& rm = *out.receivers[i];
        rm.id = receiver->getId();
        ns::net::RemoteEndpoint peer = receiver->getRemoteEndpoint();
        rm.isUnix = peer.isUnix;
        rm.useIpv6 = peer.useIpv6;
        rm.path = peer.path;
        rm.host = peer.host;
        rm.port = peer.port;
        rm.uid = peer.uid;
        rm.gid = peer.gid;
        rm.pid = peer.pid;
        receiver->getMetrics(rm);
        ++i;
    }
}

void Listener::acceptOne(ns::net::Socket* accepted)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (receivers.size() >= config.socketConfig.maxConnections) {
        accepted->close();
        delete accepted;
        return;
    }
    ns::log::info((listenerPrefix(config.id) + "Handling connection").c_str());

    Receiver* receiver = nullptr;
    bool entered = false;
    try {
        ReceiverConfig receiverConfig;
        receiverConfig.id = accepted->getId();
        receiverConfig.socketConfig = config.socketConfig;
        receiverConfig.tlsSocketConfig = config.tlsSocketConfig;
        receiverConfig.fstrmSocketConfig = config.fstrmSocketConfig;
        ReceiverContext receiverContext;
        receiverContext.doneCallback = Listener_receiverDoneCallback;
        receiverContext.doneCallbackArg = this;
        receiverContext.eventQueue = context.eventQueue;
        receiverContext.wakeFd = receiverWakeFd;

        // The receiver owns the socket from here on, also when it fails to build.
        ns::net::Socket* socket = accepted;
        accepted = nullptr;
        receiver = new (std::nothrow) Receiver(std::move(receiverConfig), receiverContext, socket);
        if (receiver == nullptr) {
            // No memory for the receiver: it never took the socket, so close it here.
            accepted = socket;
            throw std::bad_alloc();
        }
        receivers.emplace(receiver->getId(), receiver);
        entered = true;
        receiver->startProcessLoopThread(stop);
    } catch (...) {
        if (entered)
            receivers.erase(receiver->getId());
        lock.unlock();
        if (accepted != nullptr) {
            accepted->close();
            delete accepted;
        }
        delete receiver;
        throw;
    }

    metrics.accepts.fetch_add(1);
    uint64_t active = metrics.activeReceivers.fetch_add(1) + 1;
    if (active > metrics.peakReceivers.load())
        metrics.peakReceivers = active;
}

void Listener::takeWaitingConnections()
{
    // A sender whose connection waits in the listen queue may already have
    // written into it, and counts that as delivered: closing the listening
    // socket would drop it. Each is served like the others at a stop.
    listenSocket->stopAccepting();
    // Over TCP new connections still arrive meanwhile: take no more than the
    // queue can hold, so a sender that reconnects at once cannot hold the stop.
    uint64_t left = uint64_t(config.socketConfig.listenBacklog) + 1;
    for (; left > 0; --left) {
        ns::net::Socket* accepted = listenSocket->accept();
        if (accepted == nullptr)
            break;
        acceptOne(accepted);
    }
}

void Listener::processLoop()
{
    const ns::net::SocketConfig& sock = config.socketConfig;
    if (sock.isUnix)
        ns::log::info((listenerPrefix(config.id) + "Listening on path is " + sock.path).c_str());
    else
        ns::log::info((listenerPrefix(config.id) + "Listening on " + sock.host + ":" +
                       std::to_string(sock.port)).c_str());

    listenSocket = new ns::net::Socket(config.id, config.socketConfig);

    while (!stop) {
        try {
            listenSocket->listen();
            while (!stop) {
                ns::net::WaitResult ready = listenSocket->waitReadable(3, wakeFd);
                joinFinishedThreads();
                if (ready != ns::net::WaitResult::Ready)
                    continue;
                while (!stop) {
                    ns::net::Socket* accepted = listenSocket->accept();
                    if (accepted == nullptr)
                        break;
                    acceptOne(accepted);
                }
            }
            takeWaitingConnections();
            listenSocket->close();
        } catch (const std::exception& e) {
            ns::log::error(("Listener" + std::to_string(config.id) + ": Listen error: " + e.what()).c_str());
            listenSocket->close();
            pause(3);
        }
    }
    // The listening socket is closed: only now may a sender see its
    // connection end, and one that reconnects is refused and keeps its
    // events, instead of writing them into a connection nobody serves.
    stopReceivers();
}

void Listener_processLoop(Listener* listener)
{
    std::string prefix = listenerPrefix(listener->getId());
    try {
        ns::log::info((prefix + "Starting process loop").c_str());
        listener->processLoop();
        ns::log::info((prefix + "Finished process loop").c_str());
    } catch (const std::exception& e) {
        ns::log::error((prefix + "Process loop failed: " + e.what()).c_str());
    }
}

void Listener_receiverDoneCallback(Receiver* receiver, void* arg)
{
    Listener* listener = static_cast<Listener*>(arg);
    uint32_t receiverId = receiver->getId();
    ns::log::info((listenerPrefix(listener->getId()) + "Receiver[" + std::to_string(receiverId) +
                   "] Is finished").c_str());
    listener->deregister(receiverId);
}

} // namespace ns::worker::listener
