#include "foundation/encoding/base64.h"

#include <cstddef>
#include <array>
#include <string>

namespace ns::encoding::base64 {

namespace {

// Digit value of every byte; 255 marks a byte outside the alphabet ("=" too,
// which the parser handles before looking here).
constexpr std::array<uint8_t, 256> kDecode = [] {
    std::array<uint8_t, 256> t{};
    for (auto& v : t)
        v = 255;
    for (uint8_t i = 0; i < 64; ++i)
        t[static_cast<unsigned char>(Base64Chars[i])] = i;
    return t;
}();

inline bool isBlank(uint8_t c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

} // namespace

void formatBase64(std::vector<unsigned char>& out, const uint8_t* data, uint32_t n) {
    if (n == 0)
        return;
    const size_t at = out.size();
    out.resize(at + (size_t(n) + 2) / 3 * 4);
    unsigned char* p = out.data() + at;
    uint32_t i = 0;
    for (; n - i >= 3; i += 3) {
        const uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        p[0] = Base64Chars[v >> 18];
        p[1] = Base64Chars[(v >> 12) & 0x3F];
        p[2] = Base64Chars[(v >> 6) & 0x3F];
        p[3] = Base64Chars[v & 0x3F];
        p += 4;
    }
    if (n - i == 1) {
        const uint32_t v = uint32_t(data[i]) << 16;
        p[0] = Base64Chars[v >> 18];
        p[1] = Base64Chars[(v >> 12) & 0x3F];
        p[2] = '=';
        p[3] = '=';
    } else if (n - i == 2) {
        const uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8);
        p[0] = Base64Chars[v >> 18];
        p[1] = Base64Chars[(v >> 12) & 0x3F];
        p[2] = Base64Chars[(v >> 6) & 0x3F];
        p[3] = '=';
    }
}

void parseBase64(std::vector<unsigned char>& out, const uint8_t* text, uint64_t n) {
    if (text == nullptr || n == 0)
        return;
    uint64_t count = 0;
    for (uint64_t i = 0; i < n; ++i)
        count += isBlank(text[i]) ? 0 : 1;
    if (count % 4 != 0)
        throw Base64Error("Invalid base64 length: " + std::to_string(count));

    // Four digits give at most three bytes, so this area is never overrun.
    const size_t at = out.size();
    out.resize(at + count / 4 * 3);
    unsigned char* p = out.data() + at;
    size_t written = 0;
    uint32_t acc = 0;
    int bits = 0;
    unsigned pads = 0;
    for (uint64_t i = 0; i < n; ++i) {
        const uint8_t c = text[i];
        if (isBlank(c))
            continue;
        if (c == '=') {
            ++pads;
            continue;
        }
        if (pads != 0) {
            out.resize(at + written);
            throw Base64Error("Invalid base64 padding");
        }
        const uint8_t v = kDecode[c];
        if (v == 255) {
            out.resize(at + written);
            throw Base64Error(std::string("Invalid base64 character: ") + static_cast<char>(c));
        }
        acc = (acc << 6) | v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            p[written++] = static_cast<unsigned char>(acc >> bits);
            acc &= (1u << bits) - 1;
        }
    }
    out.resize(at + written);
    if (pads > 2)
        throw Base64Error("Invalid base64 padding");
}

} // namespace ns::encoding::base64
