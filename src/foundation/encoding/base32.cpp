#include "foundation/encoding/base32.h"

#include <cstddef>

namespace ns::encoding::base32 {

void formatBase32(std::vector<unsigned char>& out, const uint8_t* data, uint32_t n) {
    if (n == 0)
        return;
    const uint32_t groups = n / 5;
    const uint32_t rest = n % 5;
    const size_t at = out.size();
    out.resize(at + size_t(groups) * 8 + (8 * rest + 4) / 5);
    unsigned char* p = out.data() + at;
    for (uint32_t g = 0; g < groups; ++g, data += 5) {
        const uint64_t v = (uint64_t(data[0]) << 32) | (uint64_t(data[1]) << 24) | (uint64_t(data[2]) << 16) |
                           (uint64_t(data[3]) << 8) | data[4];
        for (int i = 0; i < 8; ++i)
            *p++ = static_cast<unsigned char>(Base32Chars[(v >> (35 - 5 * i)) & 0x1F]);
    }
    if (rest != 0) {
        uint64_t v = 0;
        for (uint32_t i = 0; i < rest; ++i)
            v |= uint64_t(data[i]) << (32 - 8 * i);
        const uint32_t digits = (8 * rest + 4) / 5;
        for (uint32_t i = 0; i < digits; ++i)
            *p++ = static_cast<unsigned char>(Base32Chars[(v >> (35 - 5 * i)) & 0x1F]);
    }
}

} // namespace ns::encoding::base32
