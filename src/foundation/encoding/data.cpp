#include "foundation/encoding/data.h"

#include <cstddef>
#include <string>

namespace ns::encoding::data {

void throwOutOfBounds(const char* type, uint32_t width, uint32_t size, uint32_t offset) {
    throw DataError(std::string("Read ") + type + " failed: Offset " + std::to_string(offset) + " + " +
                    std::to_string(width) + " is out of bounds for data of " + std::to_string(size) + " bytes");
}

namespace {

[[noreturn]] void throwVleOutOfBounds(uint32_t reached, uint32_t size) {
    throw DataError("Read variable length encoding uint failed: Offset " + std::to_string(reached) +
                    " is out of bounds for data of " + std::to_string(size) + " bytes");
}

[[noreturn]] void throwVleTooLong(uint32_t start) {
    throw DataError("Read variable length encoding uint failed: Value at offset " + std::to_string(start) +
                    " does not fit 64 bits");
}

} // namespace

uint32_t decodeUintVle(uint64_t* out, const uint8_t* data, uint32_t size, uint32_t offset) {
    if (offset >= size)
        throwVleOutOfBounds(offset, size);
    const uint32_t start = offset;
    uint64_t result = 0;
    unsigned shift = 0;
    for (;;) {
        const uint8_t byte = data[offset++];
        // The tenth group sits at bit 63: only its lowest bit fits, and no
        // group may follow it.
        if (shift == 63 && (byte & 0xFE) != 0)
            throwVleTooLong(start);
        result |= uint64_t(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) {
            *out = result;
            return offset;
        }
        if (offset == size)
            throwVleOutOfBounds(size, size);
        shift += 7;
    }
}

namespace {

template <typename T>
inline void encodeBigEndian(std::vector<unsigned char>& out, T value) {
    const size_t at = out.size();
    out.resize(at + sizeof(T));
    unsigned char* p = out.data() + at;
    for (size_t i = sizeof(T); i-- > 0;) {
        p[i] = static_cast<unsigned char>(value);
        value = static_cast<T>(value >> 8);
    }
}

} // namespace

void encodeUint16(std::vector<unsigned char>& out, uint16_t value) { encodeBigEndian(out, value); }
void encodeUint32(std::vector<unsigned char>& out, uint32_t value) { encodeBigEndian(out, value); }
void encodeUint64(std::vector<unsigned char>& out, uint64_t value) { encodeBigEndian(out, value); }

void encodeUintVle(std::vector<unsigned char>& out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<unsigned char>((value & 0x7F) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<unsigned char>(value));
}

namespace {

// Two decimal digits per entry: "00".."99".
constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

} // namespace

void formatUint(std::vector<unsigned char>& out, uint64_t value) {
    // Digits are produced least significant first into the tail of a local
    // area, which then holds them in reading order.
    char buf[20];
    char* end = buf + sizeof(buf);
    char* p = end;
    while (value >= 100) {
        const unsigned pair = static_cast<unsigned>(value % 100) * 2;
        value /= 100;
        *--p = kDigitPairs[pair + 1];
        *--p = kDigitPairs[pair];
    }
    if (value >= 10) {
        const unsigned pair = static_cast<unsigned>(value) * 2;
        *--p = kDigitPairs[pair + 1];
        *--p = kDigitPairs[pair];
    } else {
        *--p = static_cast<char>('0' + value);
    }
    out.insert(out.end(), reinterpret_cast<unsigned char*>(p), reinterpret_cast<unsigned char*>(end));
}

void lowercase(std::vector<unsigned char>& out, const uint8_t* data, uint32_t n) {
    if (n == 0)
        return;
    const size_t at = out.size();
    out.resize(at + n);
    unsigned char* p = out.data() + at;
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t c = data[i];
        p[i] = static_cast<unsigned char>(c + ((uint8_t(c - 'A') < 26) ? 0x20 : 0));
    }
}

namespace {

inline bool isBlank(unsigned char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

} // namespace

void trim(std::vector<unsigned char>& bytes) {
    const size_t n = bytes.size();
    size_t lead = 0;
    while (lead < n && isBlank(bytes[lead]))
        ++lead;
    if (lead == n) {
        bytes.clear();
        return;
    }
    size_t end = n;
    while (isBlank(bytes[end - 1]))
        --end;
    bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(end), bytes.end());
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(lead));
}

} // namespace ns::encoding::data
