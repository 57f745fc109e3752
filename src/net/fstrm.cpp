#include "net/fstrm.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "foundation/encoding/data.h"
#include "foundation/log.h"
#include "net/net.h"
#include "net/tls.h"

namespace ns::net::fstrm {

using ns::encoding::data::decodeUint32;
using ns::encoding::data::encodeUint32;

const char* const dnstap_content_type = "protobuf:dnstap.Dnstap";

namespace {

constexpr uint32_t contentTypeLength = 22;
constexpr uint32_t contentTypeField = 1;

// First room given to a frame whose buffer is too small; it then doubles
// with the bytes received, so a peer announcing a large frame and sending
// little makes us hold little.
constexpr size_t growStep = 4096;

// Room of the read buffer: a few hundred typical dnstap frames per receive
// call, and reads at least this large bypass it.
constexpr uint32_t inputSize = 65536;

} // namespace

FstrmSocketConfig::FstrmSocketConfig()
    : bidirectional(true), controlFrameMaxSize(65536), dataFrameMaxSize(262144)
{
}

FstrmSocket::FstrmSocket(uint32_t id, FstrmSocketConfig config, Socket& socket, tls::TlsSocket& tlsSocket)
    : id(id), config(config), socket(socket), tlsSocket(tlsSocket), useTls(tlsSocket.isActive())
{
}

uint32_t FstrmSocket::rawReadsome(unsigned char* buffer, uint32_t length)
{
    return useTls ? tlsSocket.readsome(buffer, length) : socket.readsome(buffer, length);
}

uint32_t FstrmSocket::fillInput()
{
    if (input.size() != inputSize)
        input.resize(inputSize);  // once per connection stack
    inputStart = 0;
    inputEnd = 0;
    inputEnd = rawReadsome(input.data(), inputSize);
    return inputEnd;
}

uint32_t FstrmSocket::readsome(unsigned char* buffer, uint32_t length)
{
    if (length == 0)
        return 0;
    if (inputStart == inputEnd) {
        // A large read goes straight into the caller's memory.
        if (length >= inputSize)
            return rawReadsome(buffer, length);
        fillInput();
    }
    const uint32_t n = std::min(length, inputEnd - inputStart);
    std::memcpy(buffer, input.data() + inputStart, n);
    inputStart += n;
    return n;
}

void FstrmSocket::readblock(unsigned char* buffer, uint32_t length)
{
    uint32_t have = 0;
    while (have < length)
        have += readsome(buffer + have, length - have);
}

void FstrmSocket::readblock(std::vector<unsigned char>& out, uint32_t length)
{
    out.clear();  // keeps the capacity: no allocation once it has grown
    uint32_t have = 0;
    while (have < length) {
        if (out.size() == have) {
            size_t target = length;
            if (out.capacity() < target)
                target = std::min<size_t>(length, std::max({out.capacity(), size_t(have) * 2, growStep}));
            out.resize(target);
        }
        have += readsome(out.data() + have, static_cast<uint32_t>(out.size() - have));
    }
}

void FstrmSocket::sendblock(const unsigned char* data, uint32_t length)
{
    if (useTls)
        tlsSocket.sendblock(data, length);
    else
        socket.sendblock(data, length);
}

uint32_t FstrmSocket::readlength(bool checkLimit)
{
    unsigned char word[4];
    readblock(word, 4);
    uint32_t v = 0;
    decodeUint32(&v, word, 4, 0);
    if (checkLimit && v > config.dataFrameMaxSize)
        throw FstrmError("Data frame length " + std::to_string(v) + " is larger than the configured limit " +
                         std::to_string(config.dataFrameMaxSize));
    return v;
}

bool FstrmSocket::readFrameLength(uint32_t& length)
{
    if (inputStart == inputEnd) {
        try {
            fillInput();
        } catch (const std::exception&) {
            // Over TLS a bare end of the transport may have cut a record.
            if (useTls ? tlsSocket.closedByPeer() : socket.closedByPeer())
                return false;
            throw;
        }
    }
    length = readlength(true);
    return true;
}

uint32_t FstrmSocket::readcontrol(bool readEscape, bool checkContentType)
{
    if (readEscape) {
        uint32_t e = readlength(false);
        if (e != 0)
            throw FstrmError("Expected control message preamble of 0 but got " + std::to_string(e));
    }
    uint32_t n = readlength(false);
    if (n < 4)
        throw FstrmError("Expected control message length of at least 4 bytes but got " + std::to_string(n));
    if (n > config.controlFrameMaxSize)
        throw FstrmError("Control frame length " + std::to_string(n) + " is larger than the configured limit " +
                         std::to_string(config.controlFrameMaxSize));
    // The limit is checked: now read, growing as the bytes arrive.
    readblock(frame, n);
    const unsigned char* data = frame.data();

    uint32_t type = 0;
    decodeUint32(&type, data, n, 0);
    if (!checkContentType)
        return type;

    uint32_t p = 4;
    while (p < n) {
        uint32_t fieldType = 0;
        uint32_t fieldLength = 0;
        // Chained offsets never wrap: each reader returns at most n.
        uint32_t q = decodeUint32(&fieldType, data, n, p);
        q = decodeUint32(&fieldLength, data, n, q);
        if (fieldLength > n - q)
            break;  // runs past the end of the frame: never a match
        if (fieldType == contentTypeField && fieldLength == contentTypeLength &&
            std::memcmp(data + q, dnstap_content_type, contentTypeLength) == 0)
            return type;
        p = q + fieldLength;
    }
    throw FstrmError(std::string("Expected content type of ") + dnstap_content_type + " but did not get it");
}

void FstrmSocket::sendcontrol(uint32_t type, bool withContentType)
{
    frame.clear();
    encodeUint32(frame, 0);
    encodeUint32(frame, 0);
    encodeUint32(frame, type);
    if (withContentType) {
        encodeUint32(frame, contentTypeField);
        encodeUint32(frame, contentTypeLength);
        const auto* text = reinterpret_cast<const unsigned char*>(dnstap_content_type);
        frame.insert(frame.end(), text, text + contentTypeLength);
    }
    uint32_t length = static_cast<uint32_t>(frame.size() - 8);
    frame[4] = static_cast<unsigned char>(length >> 24);
    frame[5] = static_cast<unsigned char>(length >> 16);
    frame[6] = static_cast<unsigned char>(length >> 8);
    frame[7] = static_cast<unsigned char>(length);
    sendblock(frame.data(), static_cast<uint32_t>(frame.size()));
}

void FstrmSocket::sendstart()
{
    // Nothing left from a previous connection may pass for this one's reply.
    inputStart = 0;
    inputEnd = 0;
    if (config.bidirectional) {
        sendcontrol(FSTRM_CONTROL_READY, true);
        uint32_t c = readcontrol(true, true);
        if (c != FSTRM_CONTROL_ACCEPT)
            throw FstrmError("Expected ACCEPT(1) control message but got " + std::to_string(c));
    }
    sendcontrol(FSTRM_CONTROL_START, true);
    ns::log::info(("FstrmSocket[" + std::to_string(id) + "]: Stream ready").c_str());
}

void FstrmSocket::sendstop()
{
    sendcontrol(FSTRM_CONTROL_STOP, false);
    if (config.bidirectional) {
        uint32_t c = readcontrol(true, false);
        if (c != FSTRM_CONTROL_FINISH)
            throw FstrmError("Expected FINISH(5) control message but got " + std::to_string(c));
    }
}

} // namespace ns::net::fstrm
