#include "dns/dnstap.h"

#include <climits>
#include <string>

namespace ns::encoding::dnstap {

namespace {

// Dnstap frame fields.
constexpr unsigned int FrameIdentity = 1;
constexpr unsigned int FrameVersion = 2;
constexpr unsigned int FrameExtra = 3;
constexpr unsigned int FrameMessage = 14;
constexpr unsigned int FrameType = 15;

// Message fields.
constexpr unsigned int MsgType = 1;
constexpr unsigned int MsgSocketFamily = 2;
constexpr unsigned int MsgSocketProtocol = 3;
constexpr unsigned int MsgQueryAddress = 4;
constexpr unsigned int MsgResponseAddress = 5;
constexpr unsigned int MsgQueryPort = 6;
constexpr unsigned int MsgResponsePort = 7;
constexpr unsigned int MsgQueryTimeSec = 8;
constexpr unsigned int MsgQueryTimeNsec = 9;
constexpr unsigned int MsgQueryMessage = 10;
constexpr unsigned int MsgResponseTimeSec = 12;
constexpr unsigned int MsgResponseTimeNsec = 13;
constexpr unsigned int MsgResponseMessage = 14;

[[noreturn]] void failWireType(const char* text, unsigned char wireType) {
    throw DnstapError(std::string(text) + std::to_string(static_cast<unsigned int>(wireType)));
}

[[noreturn]] void failVarintBounds(unsigned int offset, unsigned int size) {
    throw DnstapError("Read variable length encoded uint failed: Offset " + std::to_string(offset) +
                      " is out of bounds for data of " + std::to_string(size) + " bytes");
}

[[noreturn]] void failSkipBounds(unsigned int offset, unsigned int size) {
    throw DnstapError("Skip " + std::to_string(offset) + " is out of bounds for data of " + std::to_string(size) +
                      " bytes");
}

[[noreturn]] void failLength(uint64_t length, unsigned int remaining) {
    throw DnstapError("Invalid length " + std::to_string(length) + " for bytes field with only " +
                      std::to_string(remaining) + " bytes remaining");
}

inline void expectWireType(unsigned char wireType, unsigned char expected, const char* text) {
    if (wireType != expected) {
        failWireType(text, wireType);
    }
}

// Replaces field with the bytes field that starts at offset; returns the
// offset past it. assign() reuses the vector's storage when it is big enough.
inline unsigned int readBytes(std::vector<unsigned char>& field, const unsigned char* data, unsigned int size,
                              unsigned int offset) {
    uint64_t length = 0;
    offset = decodeBytesLength(&length, data, size, offset);
    const auto n = static_cast<unsigned int>(length);
    field.assign(data + offset, data + offset + n);
    return offset + n;
}

inline unsigned int readVarintField(uint64_t* value, unsigned char wireType, const char* text,
                                    const unsigned char* data, unsigned int size, unsigned int offset) {
    expectWireType(wireType, WireVarint, text);
    return decodeVarint(value, data, size, offset);
}

inline unsigned int readBytesField(std::vector<unsigned char>& field, unsigned char wireType, const char* text,
                                   const unsigned char* data, unsigned int size, unsigned int offset) {
    expectWireType(wireType, WireBytes, text);
    return readBytes(field, data, size, offset);
}

inline unsigned int readFixed32Field(uint32_t* value, unsigned char wireType, const char* text,
                                     const unsigned char* data, unsigned int size, unsigned int offset) {
    expectWireType(wireType, WireFixed32, text);
    return decodeFixed32(value, data, size, offset);
}

// Decodes the Message held in data[0, size); offsets are relative to its
// first byte, so no field can reach beyond it.
void decodeMessage(DnstapEvent& event, const unsigned char* data, unsigned int size) {
    unsigned int offset = 0;
    while (offset < size) {
        unsigned int field = 0;
        unsigned char wt = 0;
        offset = decodeTag(&field, &wt, data, size, offset);
        switch (field) {
        case MsgType:
            offset = readVarintField(&event.type, wt, "Expected message type field to use varint type but got ",
                                     data, size, offset);
            break;
        case MsgSocketFamily:
            offset = readVarintField(&event.socket_family, wt,
                                     "Expected message socket_family field to use varint type but got ", data, size,
                                     offset);
            break;
        case MsgSocketProtocol:
            offset = readVarintField(&event.socket_protocol, wt,
                                     "Expected message socket_protocol field to use varint type but got ", data,
                                     size, offset);
            break;
        case MsgQueryAddress:
            offset = readBytesField(event.query_address, wt,
                                    "Expected message query_address field to use bytes type but got ", data, size,
                                    offset);
            break;
        case MsgResponseAddress:
            offset = readBytesField(event.response_address, wt,
                                    "Expected message response_address field to use bytes type but got ", data, size,
                                    offset);
            break;
        case MsgQueryPort:
            offset = readVarintField(&event.query_port, wt,
                                     "Expected message query_port field to use varint type but got ", data, size,
                                     offset);
            break;
        case MsgResponsePort:
            offset = readVarintField(&event.response_port, wt,
                                     "Expected message response_port field to use varint type but got ", data, size,
                                     offset);
            break;
        case MsgQueryTimeSec:
            offset = readVarintField(&event.query_time_sec, wt,
                                     "Expected message query_time_sec field to use varint type but got ", data,
                                     size, offset);
            break;
        case MsgQueryTimeNsec:
            offset = readFixed32Field(&event.query_time_nsec, wt,
                                      "Expected message query_time_nsec field to use fixed32 type but got ", data,
                                      size, offset);
            break;
        case MsgQueryMessage:
            offset = readBytesField(event.query_message, wt,
                                    "Expected message query_message field to use bytes type but got ", data, size,
                                    offset);
            break;
        case MsgResponseTimeSec:
            offset = readVarintField(&event.response_time_sec, wt,
                                     "Expected message response_time_sec field to use varint type but got ", data,
                                     size, offset);
            break;
        case MsgResponseTimeNsec:
            offset = readFixed32Field(&event.response_time_nsec, wt,
                                      "Expected message response_time_nsec field to use fixed32 type but got ", data,
                                      size, offset);
            break;
        case MsgResponseMessage:
            offset = readBytesField(event.response_message, wt,
                                    "Expected message response_message field to use bytes type but got ", data,
                                    size, offset);
            break;
        default:
            offset = skip(wt, data, size, offset);
            break;
        }
    }
}

// Every field number written is below 16, so its key is one byte.
constexpr unsigned char fieldKey(unsigned int field, unsigned char wireType) {
    return static_cast<unsigned char>(field << 3 | wireType);
}

inline void appendVarintField(std::vector<unsigned char>& out, unsigned int field, uint64_t value) {
    out.push_back(fieldKey(field, WireVarint));
    encodeVarint(out, value);
}

inline void appendBytesField(std::vector<unsigned char>& out, unsigned int field,
                             const std::vector<unsigned char>& value) {
    out.push_back(fieldKey(field, WireBytes));
    encodeBytes(out, value.data(), static_cast<unsigned int>(value.size()));
}

inline void appendFixed32Field(std::vector<unsigned char>& out, unsigned int field, uint32_t value) {
    out.push_back(fieldKey(field, WireFixed32));
    encodeFixed32(out, value);
}

} // namespace

unsigned int decodeVarint(uint64_t* value, const unsigned char* data, unsigned int size, unsigned int offset) {
    if (offset >= size) {
        failVarintBounds(offset, size);
    }
    uint64_t result = 0;
    for (unsigned int k = 0; k < 10; ++k) {
        if (offset >= size) {
            failVarintBounds(size, size);
        }
        const unsigned char b = data[offset++];
        if (k == 9 && b > 1) {
            throw DnstapError("Variable length encoded uint exceeds 64 bits");
        }
        result |= static_cast<uint64_t>(b & 0x7F) << (7 * k);
        if ((b & 0x80) == 0) {
            *value = result;
            return offset;
        }
    }
    // Unreachable: the tenth byte either ends the varint or fails above.
    throw DnstapError("Variable length encoded uint exceeds 64 bits");
}

unsigned int skipVarint(const unsigned char* data, unsigned int size, unsigned int offset) {
    if (offset >= size) {
        failSkipBounds(offset, size);
    }
    while (offset < size) {
        if ((data[offset++] & 0x80) == 0) {
            return offset;
        }
    }
    failSkipBounds(size, size);
}

unsigned int decodeFixed32(uint32_t* value, const unsigned char* data, unsigned int size, unsigned int offset) {
    if (offset > size || size - offset < 4) {
        throw DnstapError("Not enough bytes to decode fixed32 field");
    }
    const unsigned char* p = data + offset;
    *value = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
             static_cast<uint32_t>(p[3]) << 24;
    return offset + 4;
}

unsigned int decodeFixed64(uint64_t* value, const unsigned char* data, unsigned int size, unsigned int offset) {
    if (offset > size || size - offset < 8) {
        throw DnstapError("Not enough bytes to decode fixed64 field");
    }
    const unsigned char* p = data + offset;
    uint64_t result = 0;
    for (int i = 7; i >= 0; --i) {
        result = result << 8 | p[i];
    }
    *value = result;
    return offset + 8;
}

unsigned int skipFixed32(const unsigned char*, unsigned int size, unsigned int offset) {
    if (offset > size || size - offset < 4) {
        throw DnstapError("Not enough bytes to skip fixed32 field");
    }
    return offset + 4;
}

unsigned int skipFixed64(const unsigned char*, unsigned int size, unsigned int offset) {
    if (offset > size || size - offset < 8) {
        throw DnstapError("Not enough bytes to skip fixed64 field");
    }
    return offset + 8;
}

unsigned int decodeTag(unsigned int* field, unsigned char* wireType, const unsigned char* data, unsigned int size,
                       unsigned int offset) {
    uint64_t key = 0;
    offset = decodeVarint(&key, data, size, offset);
    const uint64_t number = key >> 3;
    // A field number beyond 32 bits must not alias a known field once narrowed.
    *field = number > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(number);
    *wireType = static_cast<unsigned char>(key & 7);
    return offset;
}

unsigned int decodeBytesLength(uint64_t* length, const unsigned char* data, unsigned int size, unsigned int offset) {
    uint64_t value = 0;
    offset = decodeVarint(&value, data, size, offset);
    const unsigned int remaining = size - offset;
    if (value > remaining) {
        failLength(value, remaining);
    }
    *length = value;
    return offset;
}

unsigned int skipBytes(const unsigned char* data, unsigned int size, unsigned int offset) {
    uint64_t length = 0;
    offset = decodeBytesLength(&length, data, size, offset);
    return offset + static_cast<unsigned int>(length);
}

unsigned int skip(unsigned char wireType, const unsigned char* data, unsigned int size, unsigned int offset) {
    switch (wireType) {
    case WireVarint:
        return skipVarint(data, size, offset);
    case WireFixed64:
        return skipFixed64(data, size, offset);
    case WireBytes:
        return skipBytes(data, size, offset);
    case WireFixed32:
        return skipFixed32(data, size, offset);
    default:
        failWireType("Decode dnstap failed: Unknown top-level field type ", wireType);
    }
}

void encodeVarint(std::vector<unsigned char>& out, uint64_t value) {
    unsigned char buf[10];
    unsigned int n = 0;
    while (value >= 0x80) {
        buf[n++] = static_cast<unsigned char>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    buf[n++] = static_cast<unsigned char>(value);
    out.insert(out.end(), buf, buf + n);
}

void encodeFixed32(std::vector<unsigned char>& out, uint32_t value) {
    const unsigned char buf[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                  static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    out.insert(out.end(), buf, buf + 4);
}

void encodeBytes(std::vector<unsigned char>& out, const unsigned char* data, unsigned int size) {
    encodeVarint(out, size);
    if (size > 0) {
        out.insert(out.end(), data, data + size);
    }
}

void encodeTag(std::vector<unsigned char>& out, unsigned int field, unsigned char wireType) {
    encodeVarint(out, static_cast<uint64_t>(field) << 3 | (wireType & 7));
}

void resetDnstapEvent(DnstapEvent& event, bool full) {
    if (full) {
        event.identity.clear();
        event.version.clear();
        event.extra.clear();
    }
    event.type = 0;
    event.socket_family = 0;
    event.socket_protocol = 0;
    event.query_port = 0;
    event.response_port = 0;
    event.query_time_sec = 0;
    event.query_time_nsec = 0;
    event.response_time_sec = 0;
    event.response_time_nsec = 0;
    event.query_address.clear();
    event.response_address.clear();
    event.query_message.clear();
    event.response_message.clear();
}

unsigned int decodeDnstapEvent(DnstapEvent& event, const unsigned char* data, unsigned int size,
                               unsigned int offset) {
    resetDnstapEvent(event, true);
    while (offset < size) {
        unsigned int field = 0;
        unsigned char wt = 0;
        offset = decodeTag(&field, &wt, data, size, offset);
        switch (field) {
        case FrameIdentity:
            offset = readBytesField(event.identity, wt, "Expected identity field to use bytes type but got ", data,
                                    size, offset);
            break;
        case FrameVersion:
            offset = readBytesField(event.version, wt, "Expected version field to use bytes type but got ", data,
                                    size, offset);
            break;
        case FrameExtra:
            offset = readBytesField(event.extra, wt, "Expected extra field to use bytes type but got ", data, size,
                                    offset);
            break;
        case FrameMessage: {
            expectWireType(wt, WireBytes, "Expected message field to use bytes type but got ");
            uint64_t length = 0;
            offset = decodeBytesLength(&length, data, size, offset);
            const auto n = static_cast<unsigned int>(length);
            decodeMessage(event, data + offset, n);
            offset += n;
            break;
        }
        case FrameType: {
            uint64_t type = 0;
            offset = readVarintField(&type, wt, "Expected type field to use varint type but got ", data, size, offset);
            if (type != 1) {
                throw DnstapError("Expected type field to be 1 but got " + std::to_string(type));
            }
            break;
        }
        default:
            offset = skip(wt, data, size, offset);
            break;
        }
    }
    return offset;
}

uint64_t getDnstapEventType(const unsigned char* data, unsigned int size, unsigned int offset) {
    while (offset < size) {
        unsigned int field = 0;
        unsigned char wt = 0;
        offset = decodeTag(&field, &wt, data, size, offset);
        if (field != FrameMessage) {
            offset = skip(wt, data, size, offset);
            continue;
        }
        expectWireType(wt, WireBytes, "Expected message field to use bytes type but got ");
        uint64_t length = 0;
        offset = decodeBytesLength(&length, data, size, offset);
        const auto n = static_cast<unsigned int>(length);
        const unsigned char* msg = data + offset;
        unsigned int inner = 0;
        while (inner < n) {
            unsigned int mfield = 0;
            unsigned char mwt = 0;
            inner = decodeTag(&mfield, &mwt, msg, n, inner);
            if (mfield == MsgType) {
                uint64_t type = 0;
                readVarintField(&type, mwt, "Expected message type field to use varint type but got ", msg, n, inner);
                return type;
            }
            inner = skip(mwt, msg, n, inner);
        }
        offset += n;
    }
    throw DnstapError("Message type field not found");
}

void encodeDnstapEvent(std::vector<unsigned char>& out, DnstapEvent& event) {
    std::vector<unsigned char>& msg = event.messageBuffer;
    msg.clear();
    appendVarintField(msg, MsgType, event.type);
    if (event.socket_family != 0) {
        appendVarintField(msg, MsgSocketFamily, event.socket_family);
    }
    if (event.socket_protocol != 0) {
        appendVarintField(msg, MsgSocketProtocol, event.socket_protocol);
    }
    if (!event.query_address.empty()) {
        appendBytesField(msg, MsgQueryAddress, event.query_address);
    }
    if (!event.response_address.empty()) {
        appendBytesField(msg, MsgResponseAddress, event.response_address);
    }
    if (event.query_port != 0) {
        appendVarintField(msg, MsgQueryPort, event.query_port);
    }
    if (event.query_time_sec != 0) {
        appendVarintField(msg, MsgQueryTimeSec, event.query_time_sec);
    }
    if (event.query_time_nsec != 0) {
        appendFixed32Field(msg, MsgQueryTimeNsec, event.query_time_nsec);
    }
    if (!event.query_message.empty()) {
        appendBytesField(msg, MsgQueryMessage, event.query_message);
    }
    if (event.response_port != 0) {
        appendVarintField(msg, MsgResponsePort, event.response_port);
    }
    if (event.response_time_sec != 0) {
        appendVarintField(msg, MsgResponseTimeSec, event.response_time_sec);
    }
    if (event.response_time_nsec != 0) {
        appendFixed32Field(msg, MsgResponseTimeNsec, event.response_time_nsec);
    }
    if (!event.response_message.empty()) {
        appendBytesField(msg, MsgResponseMessage, event.response_message);
    }

    if (!event.identity.empty()) {
        appendBytesField(out, FrameIdentity, event.identity);
    }
    if (!event.version.empty()) {
        appendBytesField(out, FrameVersion, event.version);
    }
    if (!event.extra.empty()) {
        appendBytesField(out, FrameExtra, event.extra);
    }
    appendVarintField(out, FrameType, 1);
    appendBytesField(out, FrameMessage, msg);
}

} // namespace ns::encoding::dnstap
