// JSON object keys and string values.
#pragma once

#include <cstdint>
#include <vector>

namespace ns::encoding::json {

// "," unless first, then "key": — the key is copied as is (fixed names only).
void formatJsonKey(std::vector<unsigned char>& out, const char* key, bool first);

// The bytes as a quoted JSON string; only \b \t \n \f \r \" \/ \\ are escaped,
// every other byte is copied unchanged.
void formatJsonStr(std::vector<unsigned char>& out, const uint8_t* data, uint32_t n);

} // namespace ns::encoding::json
