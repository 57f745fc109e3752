// dnstap protocol-buffer codec: reads and writes the outer Dnstap frame and
// the Message it carries, straight on the Protocol Buffers wire encoding.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/error.h"

namespace ns::encoding::dnstap {

NS_DECLARE_ERROR(DnstapError);

// One decoded dnstap frame. Created with every byte field empty and reused:
// the decoder empties the vectors without releasing their storage, so a
// long-lived event stops allocating once its fields have grown.
struct DnstapEvent {
    std::vector<unsigned char> identity;
    std::vector<unsigned char> version;
    std::vector<unsigned char> extra;
    uint64_t type;
    uint64_t socket_family;
    uint64_t socket_protocol;
    std::vector<unsigned char> query_address;
    std::vector<unsigned char> response_address;
    uint64_t query_port;
    uint64_t response_port;
    uint64_t query_time_sec;
    uint32_t query_time_nsec;
    std::vector<unsigned char> query_message;
    uint64_t response_time_sec;
    uint32_t response_time_nsec;
    std::vector<unsigned char> response_message;
    // Encoder scratch for the Message body; never read by the decoder.
    std::vector<unsigned char> messageBuffer;
};

// Wire types of the Protocol Buffers encoding that the codec accepts.
constexpr unsigned char WireVarint = 0;
constexpr unsigned char WireFixed64 = 1;
constexpr unsigned char WireBytes = 2;
constexpr unsigned char WireFixed32 = 5;

// Readers: data, its size and a start offset; they return the offset just
// past what they read and never touch data at or beyond size.
unsigned int decodeVarint(uint64_t* value, const unsigned char* data, unsigned int size, unsigned int offset);
unsigned int skipVarint(const unsigned char* data, unsigned int size, unsigned int offset);
unsigned int decodeFixed32(uint32_t* value, const unsigned char* data, unsigned int size, unsigned int offset);
unsigned int decodeFixed64(uint64_t* value, const unsigned char* data, unsigned int size, unsigned int offset);
unsigned int skipFixed32(const unsigned char* data, unsigned int size, unsigned int offset);
unsigned int skipFixed64(const unsigned char* data, unsigned int size, unsigned int offset);
unsigned int decodeTag(unsigned int* field, unsigned char* wireType, const unsigned char* data, unsigned int size,
                       unsigned int offset);
// Returns the offset of the first content byte; length is bounded by the
// bytes remaining after the length varint.
unsigned int decodeBytesLength(uint64_t* length, const unsigned char* data, unsigned int size, unsigned int offset);
unsigned int skipBytes(const unsigned char* data, unsigned int size, unsigned int offset);
unsigned int skip(unsigned char wireType, const unsigned char* data, unsigned int size, unsigned int offset);

// Writers append to out and never clear it.
void encodeVarint(std::vector<unsigned char>& out, uint64_t value);
void encodeFixed32(std::vector<unsigned char>& out, uint32_t value);
void encodeBytes(std::vector<unsigned char>& out, const unsigned char* data, unsigned int size);
void encodeTag(std::vector<unsigned char>& out, unsigned int field, unsigned char wireType);

// Zeroes the Message fields and empties its byte fields (keeping storage);
// full also empties identity, version and extra. messageBuffer is untouched.
void resetDnstapEvent(DnstapEvent& event, bool full);

// Fills event from data[offset, size); returns where decoding stopped (size
// for a well-formed frame). On failure the event is partly filled.
unsigned int decodeDnstapEvent(DnstapEvent& event, const unsigned char* data, unsigned int size, unsigned int offset);

// The Message type of a frame, without filling an event.
uint64_t getDnstapEventType(const unsigned char* data, unsigned int size, unsigned int offset);

// Appends the event as a dnstap payload, building the Message in
// event.messageBuffer.
void encodeDnstapEvent(std::vector<unsigned char>& out, DnstapEvent& event);

} // namespace ns::encoding::dnstap
