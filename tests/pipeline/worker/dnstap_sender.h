// Test helpers for the receiving side: Frame Streams frames built by hand, a
// small sender over a plain or TLS connection, and a capture of the log.
#pragma once

#include <cstdint>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/log.h"
#include "net/net.h"
#include "net/tls.h"
#include "pipeline/queue.h"

namespace dnstap_sender {

constexpr const char* contentType = "protobuf:dnstap.Dnstap";

inline std::string be32(uint32_t v)
{
    std::string s(4, '\0');
    s[0] = char(v >> 24);
    s[1] = char(v >> 16);
    s[2] = char(v >> 8);
    s[3] = char(v);
    return s;
}

// Escape, length, type and, when asked, the content-type field.
inline std::string control(uint32_t type, bool withContentType = true, const std::string& ct = contentType)
{
    std::string body = be32(type);
    if (withContentType)
        body += be32(1) + be32(uint32_t(ct.size())) + ct;
    return be32(0) + be32(uint32_t(body.size())) + body;
}

inline std::string data(const std::string& payload) { return be32(uint32_t(payload.size())) + payload; }

// A payload of n bytes that differs with seed.
inline std::string payload(size_t n, int seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char((i * 31 + size_t(seed) * 7) & 0xff);
    return s;
}

inline std::vector<std::string> drain(ns::event::queue::EventQueue& queue)
{
    std::vector<std::string> events;
    for (;;) {
        std::vector<unsigned char> out;
        queue.extract(out);
        if (out.empty())
            return events;
        events.emplace_back(out.begin(), out.end());
    }
}

inline ns::event::queue::EventQueueConfig smallQueue()
{
    ns::event::queue::EventQueueConfig config;
    config.size = 1 << 22;
    config.recovery = false;
    return config;
}

// Routes the log into strings while alive. Reads take the log's own lock, so
// threads may keep logging meanwhile.
class LogCapture {
public:
    LogCapture()
    {
        std::lock_guard<std::mutex> lock(ns::log::mtx);
        oldOut = std::cout.rdbuf(out.rdbuf());
        oldErr = std::cerr.rdbuf(err.rdbuf());
    }
    ~LogCapture()
    {
        std::lock_guard<std::mutex> lock(ns::log::mtx);
        std::cout.rdbuf(oldOut);
        std::cerr.rdbuf(oldErr);
    }
    std::string info()
    {
        std::lock_guard<std::mutex> lock(ns::log::mtx);
        return out.str();
    }
    std::string errors()
    {
        std::lock_guard<std::mutex> lock(ns::log::mtx);
        return err.str();
    }
    std::string all() { return info() + errors(); }
    bool has(const std::string& text) { return all().find(text) != std::string::npos; }
    size_t count(const std::string& text)
    {
        std::string s = all();
        size_t n = 0;
        for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1))
            ++n;
        return n;
    }

private:
    std::ostringstream out;
    std::ostringstream err;
    std::streambuf* oldOut;
    std::streambuf* oldErr;
};

// The sending side of one dnstap connection, plain or inside TLS.
class Sender {
public:
    Sender(uint32_t id, ns::net::SocketConfig config, bool useTls = false)
        : socket(id, config), tls(id, false, clientTls(useTls), socket)
    {
    }

    void connect()
    {
        socket.connect();
        if (tls.isActive())
            tls.connect();
    }

    void send(const std::string& bytes)
    {
        auto p = reinterpret_cast<const unsigned char*>(bytes.data());
        if (tls.isActive())
            tls.sendblock(p, uint32_t(bytes.size()));
        else
            socket.sendblock(p, uint32_t(bytes.size()));
    }

    std::string read(size_t n)
    {
        std::string s(n, '\0');
        size_t have = 0;
        while (have < n) {
            auto p = reinterpret_cast<unsigned char*>(&s[have]);
            have += tls.isActive() ? tls.readsome(p, uint32_t(n - have)) : socket.readsome(p, uint32_t(n - have));
        }
        return s;
    }

    // True when no byte arrived (and the peer did not close) within `seconds`.
    bool quiet(uint32_t seconds)
    {
        if (tls.isActive() && tls.hasPendingInput())
            return false;
        return socket.wait(true, seconds);
    }

    // True when the peer closed the connection without sending anything more.
    bool closedByPeer()
    {
        try {
            unsigned char byte;
            socket.readsome(&byte, 1);
            return false;
        } catch (const ns::net::SocketError& e) {
            return std::string(e.what()) == "recv() failed: socket closed" ||
                   std::string(e.what()).find("reset") != std::string::npos;
        }
    }

    static ns::net::tls::TlsSocketConfig clientTls(bool enabled)
    {
        ns::net::tls::TlsSocketConfig c;
        c.enabled = enabled;
        c.validate = false;
        c.serverName = "";
        return c;
    }

    ns::net::Socket socket;
    ns::net::tls::TlsSocket tls;
};

} // namespace dnstap_sender
