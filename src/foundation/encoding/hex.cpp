#include "foundation/encoding/hex.h"

#include <cstddef>
#include <array>
#include <string>

namespace ns::encoding::hex {

namespace {

// Both digits of every byte, so a byte costs one table load.
constexpr std::array<std::array<char, 2>, 256> kPairs = [] {
    std::array<std::array<char, 2>, 256> t{};
    for (unsigned i = 0; i < 256; ++i)
        t[i] = {HexCharsUpper[i >> 4], HexCharsUpper[i & 0xF]};
    return t;
}();

// Nibble value of every byte; 255 marks a non-digit.
constexpr std::array<uint8_t, 256> kNibble = [] {
    std::array<uint8_t, 256> t{};
    for (auto& v : t)
        v = 255;
    for (uint8_t i = 0; i < 10; ++i)
        t['0' + i] = i;
    for (uint8_t i = 0; i < 6; ++i) {
        t['A' + i] = static_cast<uint8_t>(10 + i);
        t['a' + i] = static_cast<uint8_t>(10 + i);
    }
    return t;
}();

} // namespace

void formatHex(std::vector<unsigned char>& out, const uint8_t* data, uint32_t n) {
    if (n == 0)
        return;
    const size_t at = out.size();
    out.resize(at + size_t(n) * 2);
    writeHex(out.data() + at, data, n);
}

unsigned char* writeHex(unsigned char* p, const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i, p += 2) {
        const auto& pair = kPairs[data[i]];
        p[0] = static_cast<unsigned char>(pair[0]);
        p[1] = static_cast<unsigned char>(pair[1]);
    }
    return p;
}

void parseHex(std::vector<unsigned char>& out, const uint8_t* text, uint64_t n) {
    if (n % 2 != 0)
        throw HexError("Hex string length must be even");
    if (n == 0)
        return;
    const size_t at = out.size();
    out.resize(at + n / 2);
    unsigned char* p = out.data() + at;
    for (uint64_t i = 0; i < n; i += 2) {
        const uint8_t hi = kNibble[text[i]];
        const uint8_t lo = kNibble[text[i + 1]];
        if (((hi | lo) & 0xF0) != 0) {
            out.resize(at + i / 2);
            const char bad = static_cast<char>(hi == 255 ? text[i] : text[i + 1]);
            throw HexError(std::string("Invalid character in hex string: ") + bad);
        }
        p[i / 2] = static_cast<unsigned char>((hi << 4) | lo);
    }
}

} // namespace ns::encoding::hex
