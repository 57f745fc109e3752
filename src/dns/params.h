// Number-to-name tables of DNS and dnstap parameters and their lookup.
// The tables are built during static initialisation and only read after it,
// so any thread may use them without a lock.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

namespace ns::net::dns {

using DnsParameterTable = std::map<uint16_t, const char*>;

extern const DnsParameterTable algorithm_types;
extern const DnsParameterTable cert_types;
extern const DnsParameterTable record_classes;
extern const DnsParameterTable record_types;
extern const DnsParameterTable response_codes;
extern const DnsParameterTable socket_protocols;

// Appends the mnemonic of value, or prefix followed by value in decimal when
// the table has no row for it.
void formatDnsParameter(std::vector<unsigned char>& out, const DnsParameterTable& table, uint16_t value,
                        const char* prefix);

void formatAlgorithmType(std::vector<unsigned char>& out, uint16_t value);   // no prefix
void formatCertType(std::vector<unsigned char>& out, uint16_t value);        // no prefix
void formatRecordClass(std::vector<unsigned char>& out, uint16_t value);     // "CLASS"
void formatRecordType(std::vector<unsigned char>& out, uint16_t value);      // "TYPE"
void formatResponseCode(std::vector<unsigned char>& out, uint16_t value);    // "RCODE"
void formatSocketProtocol(std::vector<unsigned char>& out, uint16_t value);  // "PROTO"

} // namespace ns::net::dns
