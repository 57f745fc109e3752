// Non-blocking stream sockets (Unix-domain and TCP) with whole-second waits.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/error.h"

namespace ns::net {

NS_DECLARE_ERROR(SocketError);

// Start-up hook called once before any socket is built.
void init();

// Settings of one socket, copied by value wherever a socket is described.
struct SocketConfig {
    bool isUnix;
    bool useIpv6;
    std::string path;
    uint32_t mode;
    std::string group;
    std::string host;
    uint16_t port;            // host byte order
    uint32_t connectTimeout;  // seconds
    uint32_t readTimeout;     // seconds
    uint32_t writeTimeout;    // seconds
    uint32_t listenBacklog;
    uint32_t maxConnections;
    uint32_t keepalive;
    uint32_t sendBufferSize;  // 0 keeps the system default
    uint32_t recvBufferSize;  // 0 keeps the system default

    SocketConfig();
    ~SocketConfig() = default;
};

// The peer of a connection, as reported in receiver metrics.
struct RemoteEndpoint {
    bool isUnix = false;
    bool useIpv6 = false;
    std::string path;
    std::string host;
    uint16_t port = 0;  // host byte order
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t pid = 0;
};

// What ended a wait that a wake-up descriptor may cut short.
enum class WaitResult { Ready, TimedOut, Woken };

// One non-blocking stream socket; descriptor 0 means "no socket".
class Socket {
public:
    Socket(unsigned id, SocketConfig config);
    Socket(unsigned id, SocketConfig config, int fd);
    ~Socket();

    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Listening side.
    void listen();
    // One pending connection, or null when none is pending; the caller owns it.
    Socket* accept();
    // The start of a listener's stop. A Unix socket refuses new connections
    // from now on and still hands out those waiting, with what their senders
    // wrote. A TCP socket has no such state (shutting it drops the waiting
    // ones): nothing changes, and the caller accepts until none is left.
    void stopAccepting();
    void configureSocket();
    void close();

    // Connecting side, waits and byte I/O.
    void connect();
    // True when the socket did not become ready within `seconds` one-second steps.
    bool wait(bool forRead, uint32_t seconds);
    // A wait for input that also ends, at once, when wakeFd (unless -1)
    // becomes readable: a worker's stop does not wait out the time-out.
    WaitResult waitReadable(uint32_t seconds, int wakeFd);
    // The last reads before a close: further writes of a Unix peer fail at
    // once, and from now on waits end at once and reads take only the bytes
    // received by this call; a read past them fails as timed out.
    void stopReceiving();
    // After stopReceiving: every byte received by then has been read.
    bool receivedAllRead() const { return finalReads && readBudget == 0; }
    // The peer has ended the connection: a read met its end of stream, or a
    // send was refused as the connection was gone (EPIPE, ECONNRESET).
    bool closedByPeer() const { return peerClosed; }
    uint32_t readsome(unsigned char* buffer, uint32_t length);
    void sendblock(const unsigned char* data, uint32_t length);
    int hasError();
    RemoteEndpoint getRemoteEndpoint();

    bool isConnected() const { return fd != 0; }
    int getHandle() const { return fd; }
    uint32_t getId() const { return id; }
    uint32_t getReadTimeout() const { return config.readTimeout; }
    uint32_t getWriteTimeout() const { return config.writeTimeout; }
    uint32_t readsize();

private:
    void connectAttempt(int family, const void* address, uint32_t addressLength);
    WaitResult pollSteps(short events, uint32_t seconds, int wakeFd);

    uint32_t id;
    SocketConfig config;
    int fd;
    uint32_t acceptCounter;
    bool finalReads = false;  // set by stopReceiving
    uint32_t readBudget = 0;  // bytes stopReceiving left to read
    bool peerClosed = false;
};

} // namespace ns::net
