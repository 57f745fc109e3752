// Presentation text of DNS record data, by record type (RFC 3597 form for
// types without one of their own).
#pragma once

#include <cstdint>
#include <vector>

namespace ns::net::dns {

// Appends the text of the record data at offset..offset+rdlength of the packet.
// Throws DnsError, or the byte readers' and name decoder's errors.
void decodeDnsMessageRdata(uint32_t offset, const uint8_t* data, uint32_t size, uint16_t type,
                           uint32_t rdlength, std::vector<unsigned char>& out, bool trailingDot);

// Appends len bytes, escaping '"' and '\\' and writing other bytes outside
// 0x20..0x7E as a backslash and three decimal digits.
void decodeRdataString(const uint8_t* data, uint32_t len, std::vector<unsigned char>& out);

// Appends character-strings found in the len bytes at data (each cut at len)
// and returns the bytes consumed. Quoted strings are separated by one blank.
uint32_t decodeRdataStrings(const uint8_t* data, uint32_t len, std::vector<unsigned char>& out,
                            bool quoted, bool single);

} // namespace ns::net::dns
