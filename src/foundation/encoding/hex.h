// Upper-case hexadecimal text of binary data, and its parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "foundation/error.h"

namespace ns::encoding::hex {

NS_DECLARE_ERROR(HexError);

inline constexpr char HexCharsUpper[] = "0123456789ABCDEF";

// Two upper-case digits per byte, high nibble first, no separators.
void formatHex(std::vector<unsigned char>& out, const uint8_t* data, uint32_t n);

// Same text as formatHex, written at p without any size check; returns the
// end. p needs room for 2 * n bytes.
unsigned char* writeHex(unsigned char* p, const uint8_t* data, size_t n);

// Accepts digits of either case, no blanks. Throws HexError; bytes decoded
// before the fault stay in `out`.
void parseHex(std::vector<unsigned char>& out, const uint8_t* text, uint64_t n);

} // namespace ns::encoding::hex
