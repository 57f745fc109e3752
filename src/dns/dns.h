// DNS wire-format decoding into a reusable workspace: header, question and
// resource records with their names and record data as presentation text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/error.h"

namespace ns::net::dns {

NS_DECLARE_ERROR(DnsError);

// One resource record; its buffers keep their storage from message to message.
struct DnsRecord {
    std::vector<uint8_t> name;      // owner name as received
    std::vector<uint8_t> nameLower; // owner name, ASCII lowered
    uint16_t type = 0;
    uint16_t rrclass = 0;
    uint32_t ttl = 0;
    std::vector<uint8_t> rdata;     // record data as presentation text
    uint32_t domainOffset = 0;      // set by the formatter: registered domain within nameLower
};

// Decoding workspace of one DNS message, reused for every message decoded.
// Only the first ancount/nscount/arcount entries of the record vectors belong
// to the last decoded message; the rest are spare records kept for reuse.
class DnsMessage {
public:
    DnsMessage() = default;
    ~DnsMessage();
    DnsMessage(const DnsMessage&) = delete;
    DnsMessage& operator=(const DnsMessage&) = delete;

    std::string error; // empty after a successful decode
    uint32_t size = 0;
    uint16_t id = 0;
    uint16_t flags = 0;
    uint16_t qdcount = 0;
    uint16_t ancount = 0;
    uint16_t nscount = 0;
    uint16_t arcount = 0; // counts the kept additional records (OPT, TSIG, SIG dropped)
    std::vector<uint8_t> qname;
    std::vector<uint8_t> qnameLower;
    uint16_t qtype = 0;
    uint16_t qclass = 0;
    uint32_t qdomainOffset = 0; // set by the formatter: registered domain within qnameLower
    std::vector<DnsRecord*> answers;    // owned
    std::vector<DnsRecord*> authority;  // owned
    std::vector<DnsRecord*> additional; // owned
};

// Longest name on the wire (RFC 1035 2.3.4), in octets with length bytes and root.
constexpr uint32_t DnsMaxNameOctets = 255;
// Most compression pointers followed within one name.
constexpr uint32_t DnsMaxNamePointers = 127;

// Decodes the message into the workspace. Never throws: on failure `error`
// holds "Read DNS message failed: " and the cause.
void decodeDnsMessage(const uint8_t* data, uint32_t size, DnsMessage& message, bool trailingDot);

// Appends the presentation text of the name at offset (compression followed)
// and returns the offset just past the name as it stands at offset.
// Throws DnsError or ns::encoding::data::DataError.
uint32_t decodeDnsMessageFqdn(uint32_t offset, const uint8_t* data, uint32_t size,
                              std::vector<unsigned char>& out, bool trailingDot);

} // namespace ns::net::dns
