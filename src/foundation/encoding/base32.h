// base32hex text (upper case, no padding) of binary data.
#pragma once

#include <cstdint>
#include <vector>

namespace ns::encoding::base32 {

inline constexpr char Base32Chars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUV";

void formatBase32(std::vector<unsigned char>& out, const uint8_t* data, uint32_t n);

} // namespace ns::encoding::base32
