// Frame Streams framing over one connection stack: reads and writes go
// through the TLS socket when TLS is enabled, else through the plain socket.
// Gives the sender's handshakes and the primitives a receiver is built from.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/error.h"

namespace ns::net {
class Socket;
namespace tls {
class TlsSocket;
}
} // namespace ns::net

namespace ns::net::fstrm {

NS_DECLARE_ERROR(FstrmError);

// The only content type spoken (22 bytes, no terminator on the wire).
extern const char* const dnstap_content_type;

// Control frame types.
constexpr uint32_t FSTRM_CONTROL_ACCEPT = 1;
constexpr uint32_t FSTRM_CONTROL_START = 2;
constexpr uint32_t FSTRM_CONTROL_STOP = 3;
constexpr uint32_t FSTRM_CONTROL_READY = 4;
constexpr uint32_t FSTRM_CONTROL_FINISH = 5;

// Frame Streams settings; copied by value.
struct FstrmSocketConfig {
    bool bidirectional;            // sender: READY/ACCEPT ... FINISH
    uint32_t controlFrameMaxSize;  // largest accepted control frame length
    uint32_t dataFrameMaxSize;     // largest accepted data frame payload

    FstrmSocketConfig();
    ~FstrmSocketConfig() = default;
};

// Used by the one thread owning the stack; `frame` makes it non-reentrant.
class FstrmSocket {
public:
    FstrmSocket(uint32_t id, FstrmSocketConfig config, Socket& socket, tls::TlsSocket& tlsSocket);
    ~FstrmSocket() = default;

    FstrmSocket(const FstrmSocket&) = delete;
    FstrmSocket& operator=(const FstrmSocket&) = delete;

    // Reads are served from a read buffer that one receive call fills with
    // as much as is waiting, so a stream of small frames costs one system
    // call per buffer, not two per frame.
    uint32_t readsome(unsigned char* buffer, uint32_t length);
    void readblock(unsigned char* buffer, uint32_t length);
    // Replaces the contents of `out` with exactly `length` received bytes,
    // growing it as they arrive (a length announced by the peer is never
    // allocated up front); its capacity is kept for the next frame.
    void readblock(std::vector<unsigned char>& out, uint32_t length);
    void sendblock(const unsigned char* data, uint32_t length);

    // One big-endian length word: a data frame length, or 0 for an escape.
    uint32_t readlength(bool checkLimit);
    // readlength(true) at a frame boundary; false, with nothing read, when
    // the sender ended the connection there: a plain end of stream, or over
    // TLS its close notification. An end inside the word still throws.
    bool readFrameLength(uint32_t& length);
    // One control frame; returns its control type.
    uint32_t readcontrol(bool readEscape, bool checkContentType);
    void sendcontrol(uint32_t type, bool withContentType);

    // Sender's opening (READY/ACCEPT when bidirectional, then START) and
    // closing (STOP, then FINISH when bidirectional) handshakes. sendstart
    // begins a new stream: it discards bytes buffered from an earlier one.
    void sendstart();
    void sendstop();

    // Received bytes not yet handed out: the descriptor may not become
    // readable again for them, so a reader must not wait for it first.
    bool hasBufferedInput() const { return inputStart != inputEnd; }
    // The next `length` bytes in place when all of them are buffered, taken
    // as read; null (and nothing taken) otherwise. Valid until the next read.
    const unsigned char* takeBuffered(uint32_t length)
    {
        if (inputEnd - inputStart < length)
            return nullptr;
        const unsigned char* p = input.data() + inputStart;
        inputStart += length;
        return p;
    }
    // The next data frame when its length word and all its payload are
    // buffered, the length within dataFrameMaxSize and not 0: its payload in
    // place, taken as read; null (and nothing taken) otherwise, a control
    // frame or an over-long length included. Valid until the next read.
    const unsigned char* takeBufferedFrame(uint32_t& length)
    {
        const uint32_t avail = inputEnd - inputStart;
        if (avail < 4)
            return nullptr;
        const unsigned char* p = input.data() + inputStart;
        const uint32_t n = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
        if (n == 0 || n > config.dataFrameMaxSize || avail - 4 < n)
            return nullptr;
        inputStart += 4 + n;
        length = n;
        return p + 4;
    }

private:
    // One receive call into the read buffer; returns the bytes it gave.
    uint32_t fillInput();
    uint32_t rawReadsome(unsigned char* buffer, uint32_t length);

    uint32_t id;
    FstrmSocketConfig config;
    Socket& socket;
    tls::TlsSocket& tlsSocket;
    bool useTls;
    std::vector<unsigned char> frame;
    // Read buffer: bytes [inputStart, inputEnd) are received and unread.
    std::vector<unsigned char> input;
    uint32_t inputStart = 0;
    uint32_t inputEnd = 0;
};

} // namespace ns::net::fstrm
