// base64 text (with "=" padding) of binary data, and its parser.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/error.h"

namespace ns::encoding::base64 {

NS_DECLARE_ERROR(Base64Error);

inline constexpr char Base64Chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

void formatBase64(std::vector<unsigned char>& out, const uint8_t* data, uint32_t n);

// Appends the decoded bytes; TAB, LF, CR and SPACE are skipped. Throws
// Base64Error; on failure `out` may hold a partly decoded tail.
void parseBase64(std::vector<unsigned char>& out, const uint8_t* text, uint64_t n);

} // namespace ns::encoding::base64
