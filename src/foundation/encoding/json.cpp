#include "foundation/encoding/json.h"

#include <cstddef>
#include <array>
#include <cstring>

namespace ns::encoding::json {

namespace {

// Letter written after the backslash for each escaped byte; 0 for bytes
// copied as they are.
constexpr std::array<char, 256> kEscape = [] {
    std::array<char, 256> t{};
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
    // Count the escapes first so the buffer grows once, then copy the runs
    // between them in bulk.
    size_t escapes = 0;
    for (uint32_t i = 0; i < n; ++i)
        escapes += kEscape[data[i]] != 0;
    const size_t at = out.size();
    out.resize(at + n + 2 + escapes);
    unsigned char* p = out.data() + at;
    *p++ = '"';
    if (escapes == 0) {
        if (n != 0)
            std::memcpy(p, data, n);
        p += n;
    } else {
        uint32_t run = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const char e = kEscape[data[i]];
            if (e == 0)
                continue;
            std::memcpy(p, data + run, i - run);
            p += i - run;
            p[0] = '\\';
            p[1] = static_cast<unsigned char>(e);
            p += 2;
            run = i + 1;
        }
        std::memcpy(p, data + run, n - run);
        p += n - run;
    }
    *p = '"';
}

} // namespace ns::encoding::json
