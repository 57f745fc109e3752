// IPv4 and IPv6 address text, both ways.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/error.h"

namespace ns::encoding::ip {

NS_DECLARE_ERROR(IpError);

inline constexpr char HexCharsLower[] = "0123456789abcdef";

// Dotted decimal of 4 bytes in network order.
void formatIpv4(std::vector<unsigned char>& out, const uint8_t* address);

// RFC 5952 text of 16 bytes in network order; IPv4-mapped addresses are
// written as groups too (no dotted tail).
void formatIpv6(std::vector<unsigned char>& out, const uint8_t* address);

// Appends 4 bytes and returns 0 for an IPv4 text, 16 bytes and 1 for IPv6;
// throws IpError and appends nothing otherwise. Never resolves names.
int parseIp(std::vector<unsigned char>& out, const uint8_t* text, uint32_t n);

// True when the n characters are a numeric IPv4 or IPv6 address; never throws.
bool isIp(const char* text, uint32_t n);

} // namespace ns::encoding::ip
