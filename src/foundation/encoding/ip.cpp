#include "foundation/encoding/ip.h"

#include <arpa/inet.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace ns::encoding::ip {

namespace {

// Appends the decimal digits of a byte at p; returns the new end.
inline unsigned char* putByte(unsigned char* p, unsigned v) {
    if (v >= 100) {
        *p++ = static_cast<unsigned char>('0' + v / 100);
        v %= 100;
        *p++ = static_cast<unsigned char>('0' + v / 10);
        *p++ = static_cast<unsigned char>('0' + v % 10);
    } else if (v >= 10) {
        *p++ = static_cast<unsigned char>('0' + v / 10);
        *p++ = static_cast<unsigned char>('0' + v % 10);
    } else {
        *p++ = static_cast<unsigned char>('0' + v);
    }
    return p;
}

// Appends a group in lower-case hex without leading zeros.
inline unsigned char* putGroup(unsigned char* p, unsigned g) {
    int shift = 12;
    while (shift > 0 && ((g >> shift) & 0xF) == 0)
        shift -= 4;
    for (; shift >= 0; shift -= 4)
        *p++ = static_cast<unsigned char>(HexCharsLower[(g >> shift) & 0xF]);
    return p;
}

} // namespace

void formatIpv4(std::vector<unsigned char>& out, const uint8_t* address) {
    const size_t at = out.size();
    out.resize(at + 15);
    unsigned char* start = out.data() + at;
    unsigned char* p = putByte(start, address[0]);
    for (int i = 1; i < 4; ++i) {
        *p++ = '.';
        p = putByte(p, address[i]);
    }
    out.resize(at + static_cast<size_t>(p - start));
}

void formatIpv6(std::vector<unsigned char>& out, const uint8_t* address) {
    unsigned groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = (unsigned(address[2 * i]) << 8) | address[2 * i + 1];

    // The first longest run of two or more zero groups is shortened.
    int bestStart = -1;
    int bestLen = 1;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && groups[j] == 0)
            ++j;
        if (j - i > bestLen) {
            bestStart = i;
            bestLen = j - i;
        }
        i = j;
    }

    const size_t at = out.size();
    out.resize(at + 39);
    unsigned char* start = out.data() + at;
    unsigned char* p = start;
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            *p++ = ':';
            *p++ = ':';
            i += bestLen - 1;
            continue;
        }
        if (i != 0 && i != bestStart + bestLen)
            *p++ = ':';
        p = putGroup(p, groups[i]);
    }
    out.resize(at + static_cast<size_t>(p - start));
}

int parseIp(std::vector<unsigned char>& out, const uint8_t* text, uint32_t n) {
    if (n > 63)
        throw IpError("Parse IP address failed: IP address too long");
    char buf[64];
    if (n != 0)
        std::memcpy(buf, text, n);
    buf[n] = '\0';
    // An embedded NUL would let inet_pton judge only the text before it.
    if (std::memchr(buf, '\0', n) == nullptr) {
        unsigned char addr[16];
        if (inet_pton(AF_INET, buf, addr) == 1) {
            out.insert(out.end(), addr, addr + 4);
            return 0;
        }
        if (inet_pton(AF_INET6, buf, addr) == 1) {
            out.insert(out.end(), addr, addr + 16);
            return 1;
        }
    }
    throw IpError("Parse IP address " + std::string(buf, n) + " failed: Invalid IP address");
}

bool isIp(const char* text, uint32_t n) {
    try {
        std::vector<unsigned char> scratch;
        scratch.reserve(16);
        parseIp(scratch, reinterpret_cast<const uint8_t*>(text), n);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace ns::encoding::ip
