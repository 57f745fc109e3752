#include "net/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/encoding/ip.h"

namespace ns::net {

namespace {

[[noreturn]] void throwErrno(const std::string& text, int err)
{
    throw SocketError(text + ns::error::getMessage(err));
}

std::string prefix(uint32_t id)
{
    return "Socket[" + std::to_string(id) + "]: ";
}

// Descriptor 0 stands for "no socket" in this layer, so a socket the system
// numbers 0, 1 or 2 (standard streams closed) is moved above them.
int moveAboveStdio(int fd)
{
    if (fd > 2)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int err = errno;
    ::close(fd);
    if (moved == -1)
        throwErrno("fcntl(F_DUPFD_CLOEXEC) failed: ", err);
    return moved;
}

void setNonBlocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1)
        throwErrno("fcntl(F_GETFL) failed: ", errno);
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1)
        throwErrno("fcntl(F_SETFL, O_NONBLOCK) failed: ", errno);
}

sockaddr_un unixAddress(const std::string& path)
{
    sockaddr_un address;
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    // At most 107 bytes, so the path always ends with a NUL byte.
    size_t n = path.size() < sizeof(address.sun_path) - 1 ? path.size() : sizeof(address.sun_path) - 1;
    std::memcpy(address.sun_path, path.data(), n);
    return address;
}

// Numeric address and port of `config` as a socket address; false when the
// text is not an address of the requested family.
bool numericAddress(const SocketConfig& config, sockaddr_storage& storage, socklen_t& length)
{
    std::memset(&storage, 0, sizeof(storage));
    if (config.useIpv6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        if (inet_pton(AF_INET6, config.host.c_str(), &a->sin6_addr) != 1)
            return false;
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(config.port);
        length = sizeof(sockaddr_in6);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        if (inet_pton(AF_INET, config.host.c_str(), &a->sin_addr) != 1)
            return false;
        a->sin_family = AF_INET;
        a->sin_port = htons(config.port);
        length = sizeof(sockaddr_in);
    }
    return true;
}

const char* parseFailure(const SocketConfig& config)
{
    return config.useIpv6 ? "Parse IPv6 address failed: " : "Parse IPv4 address failed: ";
}

// Group id of `name`, looked up with the reentrant call.
gid_t lookupGroup(const std::string& name)
{
    long hint = sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 1024);
    for (;;) {
        group entry;
        group* result = nullptr;
        int rc = getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &result);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc == 0 && result)
            return result->gr_gid;
        // "Not found" is a null result without an error code.
        throwErrno("getgrnam(" + name + ") failed: ", rc != 0 ? rc : ENOENT);
    }
}

} // namespace

void init() {}

SocketConfig::SocketConfig()
    : isUnix(true),
      useIpv6(false),
      path("/run/kestivor/quorvalex/dnstap.sock"),
      mode(0666),
      group("quorvalex"),
      host("127.0.0.1"),
      port(514),
      connectTimeout(3),
      readTimeout(5),
      writeTimeout(5),
      listenBacklog(128),
      maxConnections(1000),
      keepalive(20),
      sendBufferSize(0),
      recvBufferSize(0)
{
}

Socket::Socket(unsigned id, SocketConfig config)
    : id(id), config(std::move(config)), fd(0), acceptCounter(0)
{
}

Socket::Socket(unsigned id, SocketConfig config, int fd)
    : id(id), config(std::move(config)), fd(fd), acceptCounter(0)
{
}

Socket::~Socket()
{
    close();
}

void Socket::listen()
{
    if (fd != 0)
        return;

    if (config.isUnix) {
        if (ns::file::exists(config.path.c_str()) && unlink(config.path.c_str()) != 0)
            throwErrno("unlink(" + config.path + ") failed: ", errno);
        sockaddr_un address = unixAddress(config.path);

        int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (s == -1)
            throwErrno("socket() failed: ", errno);
        fd = moveAboveStdio(s);
        setNonBlocking(fd);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
            throwErrno("bind() failed: ", errno);
        gid_t gid = lookupGroup(config.group);
        if (chown(config.path.c_str(), static_cast<uid_t>(-1), gid) != 0)
            throwErrno("chown(" + std::to_string(gid) + ") failed: ", errno);
        if (chmod(config.path.c_str(), config.mode) != 0)
            throwErrno("chmod(" + std::to_string(config.mode) + ") failed: ", errno);
        if (::listen(fd, static_cast<int>(config.listenBacklog)) != 0)
            throwErrno("listen() failed: ", errno);
        ns::log::info((prefix(id) + "Listening on " + config.path).c_str());
        return;
    }

    sockaddr_storage address;
    socklen_t length = 0;
    if (!numericAddress(config, address, length))
        throwErrno(parseFailure(config), errno);
    int s = ::socket(config.useIpv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == -1)
        throwErrno("socket() failed: ", errno);
    fd = moveAboveStdio(s);
    setNonBlocking(fd);
    int one = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0)
        throwErrno("bind() failed: ", errno);
    if (::listen(fd, static_cast<int>(config.listenBacklog)) != 0)
        throwErrno("listen() failed: ", errno);
    ns::log::info((prefix(id) + "Listening on " + config.host + ":" + std::to_string(config.port)).c_str());
}

Socket* Socket::accept()
{
    int s = ::accept(fd, nullptr, nullptr);
    if (s == -1) {
        if (errno == EAGAIN)
            return nullptr;
        throwErrno("accept() failed: ", errno);
    }
    s = moveAboveStdio(s);
    Socket* accepted = new Socket(acceptCounter++, config, s);
    try {
        accepted->configureSocket();
    } catch (...) {
        delete accepted;
        throw;
    }
    return accepted;
}

void Socket::stopAccepting()
{
    if (fd != 0 && config.isUnix)
        (void)shutdown(fd, SHUT_RD);
}

void Socket::configureSocket()
{
    if (config.sendBufferSize != 0) {
        int size = static_cast<int>(config.sendBufferSize);
        if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)) != 0)
            throwErrno("setsockopt(SO_SNDBUF) failed: ", errno);
    }
    if (config.recvBufferSize != 0) {
        int size = static_cast<int>(config.recvBufferSize);
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) != 0)
            throwErrno("setsockopt(SO_RCVBUF) failed: ", errno);
    }
    setNonBlocking(fd);
}

void Socket::close()
{
    if (fd == 0)
        return;
    (void)shutdown(fd, SHUT_RDWR);
    (void)::close(fd);
    fd = 0;
    finalReads = false;
    readBudget = 0;
    peerClosed = false;
}

uint32_t Socket::readsize()
{
    if (fd == 0)
        return 0;
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0 || n < 0)
        return 0;
    return static_cast<uint32_t>(n);
}

void Socket::connectAttempt(int family, const void* address, uint32_t addressLength)
{
    int s = ::socket(family, SOCK_STREAM, family == AF_UNIX ? 0 : IPPROTO_TCP);
    if (s == -1)
        throwErrno("socket() failed: ", errno);
    fd = moveAboveStdio(s);
    configureSocket();
    if (::connect(fd, static_cast<const sockaddr*>(address), addressLength) == -1 && errno != EINPROGRESS)
        throwErrno("connect() failed: ", errno);
    if (wait(false, config.connectTimeout))
        throw SocketError("connect() failed: wait() timed out");
    int err = hasError();
    if (err != 0)
        throwErrno("connect() failed: ", err);
}

void Socket::connect()
{
    if (fd != 0)
        return;

    if (config.isUnix) {
        sockaddr_un address = unixAddress(config.path);
        connectAttempt(AF_UNIX, &address, sizeof(address));
        ns::log::info((prefix(id) + "Connected to " + config.path).c_str());
        return;
    }

    if (ns::encoding::ip::isIp(config.host.c_str(), static_cast<uint32_t>(config.host.size()))) {
        sockaddr_storage address;
        socklen_t length = 0;
        if (!numericAddress(config, address, length))
            throwErrno(parseFailure(config), errno);
        connectAttempt(address.ss_family, &address, length);
        ns::log::info((prefix(id) + "Connected to " + config.host + ":" + std::to_string(config.port)).c_str());
        return;
    }

    const int family = config.useIpv6 ? AF_INET6 : AF_INET;
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_flags = AI_NUMERICSERV;
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char service[16];
    std::snprintf(service, sizeof(service), "%u", static_cast<unsigned>(config.port));
    addrinfo* results = nullptr;
    int rc = getaddrinfo(config.host.c_str(), service, &hints, &results);
    if (rc != 0)
        throw SocketError("getaddrinfo(" + config.host + "/" + (config.useIpv6 ? "AAAA" : "A") +
                          ") failed: " + gai_strerror(rc));

    for (addrinfo* r = results; r; r = r->ai_next) {
        if (r->ai_family != family || !r->ai_addr)
            continue;
        sockaddr_storage address;
        std::memset(&address, 0, sizeof(address));
        socklen_t length = 0;
        std::vector<unsigned char> text;
        if (family == AF_INET6) {
            if (r->ai_addrlen < sizeof(sockaddr_in6))
                continue;
            auto* a = reinterpret_cast<sockaddr_in6*>(&address);
            a->sin6_family = AF_INET6;
            a->sin6_port = htons(config.port);
            std::memcpy(&a->sin6_addr, &reinterpret_cast<const sockaddr_in6*>(r->ai_addr)->sin6_addr, 16);
            ns::encoding::ip::formatIpv6(text, reinterpret_cast<const uint8_t*>(&a->sin6_addr));
            length = sizeof(sockaddr_in6);
        } else {
            if (r->ai_addrlen < sizeof(sockaddr_in))
                continue;
            auto* a = reinterpret_cast<sockaddr_in*>(&address);
            a->sin_family = AF_INET;
            a->sin_port = htons(config.port);
            std::memcpy(&a->sin_addr, &reinterpret_cast<const sockaddr_in*>(r->ai_addr)->sin_addr, 4);
            ns::encoding::ip::formatIpv4(text, reinterpret_cast<const uint8_t*>(&a->sin_addr));
            length = sizeof(sockaddr_in);
        }
        std::string addressText(text.begin(), text.end());
        try {
            connectAttempt(family, &address, length);
            ns::log::info((prefix(id) + "Connected to " + addressText).c_str());
            break;
        } catch (const std::exception& e) {
            close();
            ns::log::warn((prefix(id) + "Connect to " + addressText + ":" + std::to_string(config.port) +
                           " failed: " + e.what())
                              .c_str());
        }
    }
    freeaddrinfo(results);
    if (fd == 0)
        throw SocketError("Failed to connect to any host");
}

WaitResult Socket::pollSteps(short events, uint32_t seconds, int wakeFd)
{
    // poll() has no FD_SETSIZE bound, so a listener with many connections
    // never hands the kernel a descriptor beyond a fixed-size set.
    pollfd p[2];
    p[0].fd = fd;
    p[0].events = events;
    p[1].fd = wakeFd;
    p[1].events = POLLIN;
    const nfds_t count = wakeFd >= 0 ? 2 : 1;
    for (uint32_t i = 0; i < seconds; ++i) {
        p[0].revents = 0;
        p[1].revents = 0;
        int rc = poll(p, count, 1000);
        if (rc == -1)
            throwErrno("poll() failed: ", errno);
        // A stop wins over ready input: the waiter decides what to take.
        if (p[1].revents != 0)
            return WaitResult::Woken;
        if (p[0].revents != 0)
            return WaitResult::Ready;
    }
    return WaitResult::TimedOut;
}

bool Socket::wait(bool forRead, uint32_t seconds)
{
    if (forRead && finalReads)
        return readBudget == 0;
    return pollSteps(forRead ? POLLIN : POLLOUT, seconds, -1) == WaitResult::TimedOut;
}

WaitResult Socket::waitReadable(uint32_t seconds, int wakeFd)
{
    if (finalReads)
        return readBudget != 0 ? WaitResult::Ready : WaitResult::TimedOut;
    return pollSteps(POLLIN, seconds, wakeFd);
}

void Socket::stopReceiving()
{
    if (fd == 0 || finalReads)
        return;
    // Shut first, then count: a Unix peer's write either is in the count or
    // fails, so it never counts as delivered while we drop it. A TCP peer is
    // not told; what it sends after the count is not taken.
    (void)shutdown(fd, SHUT_RD);
    readBudget = readsize();
    finalReads = true;
}

uint32_t Socket::readsome(unsigned char* buffer, uint32_t length)
{
    // recv() of 0 bytes would read as a closed peer.
    if (length == 0)
        return 0;
    // After stopReceiving only the bytes it counted are read, never waited for.
    if (finalReads) {
        if (readBudget == 0)
            throw SocketError("recv() failed: wait() timed out");
        if (length > readBudget)
            length = readBudget;
    } else if (config.readTimeout == 0) {
        throw SocketError("recv() failed: wait() timed out");
    }
    // The call is tried before any wait: on a busy stream data is usually
    // there already, and the wait would be one more system call per read.
    for (;;) {
        ssize_t n = recv(fd, buffer, length, 0);
        if (n > 0) {
            if (finalReads)
                readBudget -= static_cast<uint32_t>(n);
            return static_cast<uint32_t>(n);
        }
        if (n == 0) {
            peerClosed = true;
            throw SocketError("recv() failed: socket closed");
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            throwErrno("recv() failed: ", errno);
        if (finalReads || wait(true, config.readTimeout))
            throw SocketError("recv() failed: wait() timed out");
    }
}

void Socket::sendblock(const unsigned char* data, uint32_t length)
{
    if (length != 0 && config.writeTimeout == 0)
        throw SocketError("send() failed: wait() timed out");
    uint32_t sent = 0;
    while (sent < length) {
        // As for reads: wait only when the send buffer is full.
        ssize_t n = send(fd, data + sent, length - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<uint32_t>(n);
            continue;
        }
        if (n == 0)
            throw SocketError("send() failed: socket closed");
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            if (errno == EPIPE || errno == ECONNRESET)
                peerClosed = true;
            throwErrno("send() failed: ", errno);
        }
        if (wait(false, config.writeTimeout))
            throw SocketError("send() failed: wait() timed out");
    }
}

int Socket::hasError()
{
    int value = 0;
    socklen_t length = sizeof(value);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &value, &length) == -1)
        throwErrno("getsockopt(SO_ERROR) failed: ", errno);
    return value;
}

RemoteEndpoint Socket::getRemoteEndpoint()
{
    RemoteEndpoint endpoint;
    if (config.isUnix) {
        ucred credentials;
        std::memset(&credentials, 0, sizeof(credentials));
        socklen_t length = sizeof(credentials);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
            throwErrno("getsockopt(SO_PEERCRED) failed: ", errno);
        endpoint.isUnix = true;
        endpoint.uid = credentials.uid;
        endpoint.gid = credentials.gid;
        endpoint.pid = static_cast<uint32_t>(credentials.pid);
        return endpoint;
    }
    sockaddr_storage address;
    std::memset(&address, 0, sizeof(address));
    socklen_t length = sizeof(address);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throwErrno("getpeername() failed: ", errno);
    char host[1025];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof(host), nullptr, 0,
                    NI_NUMERICHOST) != 0)
        throwErrno("getnameinfo() failed: ", errno);
    endpoint.host = host;
    if (address.ss_family == AF_INET6) {
        endpoint.useIpv6 = true;
        endpoint.port = ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    } else if (address.ss_family == AF_INET) {
        endpoint.port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    }
    return endpoint;
}

} // namespace ns::net
