// Big-endian readers and writers, LEB128 and small text appenders.
//
// Every appender grows the output buffer once by the most it can write and
// appends at its end; bytes already in the buffer are never touched.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "foundation/error.h"

namespace ns::encoding::data {

NS_DECLARE_ERROR(DataError);

// Cold path of the readers: throws DataError for a field of `width` bytes
// (named `type` in the message) that does not fit.
[[noreturn]] void throwOutOfBounds(const char* type, uint32_t width, uint32_t size, uint32_t offset);

// True when `width` bytes at `offset` lie inside `size`; written so that no
// sum can wrap, whatever offset a caller passes.
inline bool fits(uint32_t size, uint32_t offset, uint32_t width) {
    return offset <= size && size - offset >= width;
}

inline uint32_t decodeUint8(uint8_t* out, const uint8_t* data, uint32_t size, uint32_t offset) {
    if (!fits(size, offset, 1)) [[unlikely]]
        throwOutOfBounds("uint8_t", 1, size, offset);
    *out = data[offset];
    return offset + 1;
}

inline uint32_t decodeUint16(uint16_t* out, const uint8_t* data, uint32_t size, uint32_t offset) {
    if (!fits(size, offset, 2)) [[unlikely]]
        throwOutOfBounds("uint16_t", 2, size, offset);
    const uint8_t* p = data + offset;
    *out = static_cast<uint16_t>((p[0] << 8) | p[1]);
    return offset + 2;
}

inline uint32_t decodeUint24(uint32_t* out, const uint8_t* data, uint32_t size, uint32_t offset) {
    if (!fits(size, offset, 3)) [[unlikely]]
        throwOutOfBounds("uint24_t", 3, size, offset);
    const uint8_t* p = data + offset;
    *out = (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
    return offset + 3;
}

inline uint32_t decodeUint32(uint32_t* out, const uint8_t* data, uint32_t size, uint32_t offset) {
    if (!fits(size, offset, 4)) [[unlikely]]
        throwOutOfBounds("uint32_t", 4, size, offset);
    const uint8_t* p = data + offset;
    *out = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    return offset + 4;
}

inline uint32_t decodeUint64(uint64_t* out, const uint8_t* data, uint32_t size, uint32_t offset) {
    if (!fits(size, offset, 8)) [[unlikely]]
        throwOutOfBounds("uint64_t", 8, size, offset);
    const uint8_t* p = data + offset;
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | p[i];
    *out = v;
    return offset + 8;
}

// Unsigned LEB128. A value that does not fit 64 bits (more than ten bytes,
// or a tenth byte above 1) is a DataError.
uint32_t decodeUintVle(uint64_t* out, const uint8_t* data, uint32_t size, uint32_t offset);

void encodeUint16(std::vector<unsigned char>& out, uint16_t value);
void encodeUint32(std::vector<unsigned char>& out, uint32_t value);
void encodeUint64(std::vector<unsigned char>& out, uint64_t value);
void encodeUintVle(std::vector<unsigned char>& out, uint64_t value);

inline void formatChar(std::vector<unsigned char>& out, char c) {
    out.push_back(static_cast<unsigned char>(c));
}

inline void formatBytes(std::vector<unsigned char>& out, const uint8_t* data, uint32_t n) {
    if (n != 0)
        out.insert(out.end(), data, data + n);
}

inline void formatChars(std::vector<unsigned char>& out, const char* text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    out.insert(out.end(), p, p + std::strlen(text));
}

// Decimal, no sign, no leading zeros.
void formatUint(std::vector<unsigned char>& out, uint64_t value);

// Appends the bytes with ASCII 'A'..'Z' lowered; every other byte unchanged.
void lowercase(std::vector<unsigned char>& out, const uint8_t* data, uint32_t n);

// Removes leading and trailing TAB, LF, CR and SPACE in place.
void trim(std::vector<unsigned char>& bytes);

} // namespace ns::encoding::data
