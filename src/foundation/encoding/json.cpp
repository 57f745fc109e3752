#include "foundation/encoding/json.h"

#include <cstddef>
#include <array>
#include <cstring>

namespace ns::encoding::json {

namespace {

// Letter written after the backslash for each escaped byte: a short escape,
// 'u' for the other control bytes (written as \u00XX, which every JSON
// parser needs), 0 for bytes copied as they are.
constexpr std::array<char, 256> kEscape = [] {
    std::array<char, 256> t{};
    for (int c = 0; c < 0x20; ++c)
        t[c] = 'u';
    t[0x08] = 'b';
    t[0x09] = 't';
    t[0x0A] = 'n';
    t[0x0C] = 'f';
    t[0x0D] = 'r';
    t['"'] = '"';
    t['/'] = '/';
    t['\\'] = '\\';
    return t;
}();

// Bytes each byte adds beyond itself when written: 1 for a short escape, 5
// for \u00XX. A table, so that counting stays one load per byte.
constexpr std::array<uint8_t, 256> kExtra = [] {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = kEscape[c] == 0 ? 0 : kEscape[c] == 'u' ? 5 : 1;
    return t;
}();

} // namespace

void formatJsonKey(std::vector<unsigned char>& out, const char* key, bool first) {
    const size_t len = std::strlen(key);
    const size_t at = out.size();
    const size_t comma = first ? 0 : 1;
    out.resize(at + comma + len + 3);
    unsigned char* p = out.data() + at;
    if (!first)
        *p++ = ',';
    *p++ = '"';
    std::memcpy(p, key, len);
    p += len;
    p[0] = '"';
    p[1] = ':';
}

void formatJsonStr(std::vector<unsigned char>& out, const uint8_t* data, uint32_t n) {
    // Count the escapes first so the buffer grows once, by what is written.
    size_t escapes = 0;
    for (uint32_t i = 0; i < n; ++i)
        escapes += kExtra[data[i]];
    const size_t at = out.size();
    out.resize(at + n + 2 + escapes);
    unsigned char* p = out.data() + at;
    if (escapes != 0) {
        writeJsonStr(p, data, n);
        return;
    }
    p[0] = '"';
    if (n != 0)
        std::memcpy(p + 1, data, n);
    p[n + 1] = '"';
}

unsigned char* writeJsonStr(unsigned char* p, const uint8_t* data, size_t n) {
    *p++ = '"';
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = data[i];
        const char e = kEscape[c];
        if (e == 0) [[likely]] {
            *p++ = c;
        } else if (e != 'u') {
            p[0] = '\\';
            p[1] = static_cast<unsigned char>(e);
            p += 2;
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            std::memcpy(p, "\\u00", 4);
            p[4] = static_cast<unsigned char>(kHex[c >> 4]);
            p[5] = static_cast<unsigned char>(kHex[c & 0x0F]);
            p += 6;
        }
    }
    *p++ = '"';
    return p;
}

} // namespace ns::encoding::json
