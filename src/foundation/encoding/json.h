// JSON object keys and string values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ns::encoding::json {

// "," unless first, then "key": — the key is copied as is (fixed names only).
void formatJsonKey(std::vector<unsigned char>& out, const char* key, bool first);

// The bytes as a quoted JSON string: \b \t \n \f \r \" \/ \\ are escaped as
// such, the other bytes below 0x20 as \u00XX (lower-case hex), every other
// byte is copied unchanged.
void formatJsonStr(std::vector<unsigned char>& out, const uint8_t* data, uint32_t n);

// Same text as formatJsonStr, written at p without any size check; returns
// the end. For writers that size a whole line once: p needs room for
// 6 * n + 2 bytes, or 2 * n + 2 when no byte is below 0x20.
unsigned char* writeJsonStr(unsigned char* p, const uint8_t* data, size_t n);

} // namespace ns::encoding::json
