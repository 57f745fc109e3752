#include "dns/dns.h"

#include <exception>
#include <memory>
#include <string>

#include "dns/rdata.h"
#include "foundation/encoding/data.h"

namespace ns::net::dns {

using ns::encoding::data::decodeUint16;
using ns::encoding::data::decodeUint32;
using ns::encoding::data::decodeUint8;

DnsMessage::~DnsMessage() {
    for (DnsRecord* r : answers)
        delete r;
    for (DnsRecord* r : authority)
        delete r;
    for (DnsRecord* r : additional)
        delete r;
}

uint32_t decodeDnsMessageFqdn(uint32_t offset, const uint8_t* data, uint32_t size,
                              std::vector<unsigned char>& out, bool trailingDot) {
    uint32_t pointers = 0;
    uint32_t end = 0;
    bool endSaved = false;
    // Wire octets so far: length bytes, labels and the root's zero byte.
    uint32_t octets = 1;
    bool firstLabel = true;
    for (;;) {
        uint8_t b;
        offset = decodeUint8(&b, data, size, offset);
        if (b & 0xC0) {
            if (++pointers > DnsMaxNamePointers)
                throw DnsError("Read FQDN failed: DNS name has at least " + std::to_string(pointers) +
                               " label pointers which is more than the maximum allowed of " +
                               std::to_string(DnsMaxNamePointers));
            uint8_t b2;
            offset = decodeUint8(&b2, data, size, offset);
            if (!endSaved) {
                end = offset;
                endSaved = true;
            }
            uint32_t target = (uint32_t(b ^ 0xC0) << 8) | b2;
            if (target >= size)
                throw DnsError("Read FQDN failed: DNS name uses pointer offset " + std::to_string(target) +
                               " which is past packet len " + std::to_string(size));
            offset = target;
            continue;
        }
        if (b == 0) {
            if (trailingDot)
                out.push_back('.');
            return endSaved ? end : offset;
        }
        uint64_t labelEnd = uint64_t(offset) + b;
        if (labelEnd >= size)
            throw DnsError("Read FQDN failed: DNS name offset + label length " + std::to_string(labelEnd) +
                           " which is past packet len " + std::to_string(size));
        // Bounds the work and text of a name however its labels are chained.
        octets += 1 + b;
        if (octets > DnsMaxNameOctets)
            throw DnsError("Read FQDN failed: DNS name has at least " + std::to_string(octets) +
                           " octets which is more than the maximum allowed of " +
                           std::to_string(DnsMaxNameOctets));
        if (!firstLabel)
            out.push_back('.');
        decodeRdataString(data + offset, b, out);
        firstLabel = false;
        offset = uint32_t(labelEnd);
    }
}

namespace {

bool isDroppedAdditional(uint16_t type) {
    return type == 41 || type == 250 || type == 24; // OPT, TSIG, SIG
}

// Decodes count records from offset into the section's slots; for the
// additional section, pseudo-records are dropped and count lowered for each.
uint32_t decodeSection(const uint8_t* data, uint32_t size, uint32_t offset, std::vector<DnsRecord*>& records,
                       uint16_t& count, bool additional, bool trailingDot) {
    uint32_t i = 0;
    while (i < count) {
        if (records.size() <= i) {
            auto record = std::make_unique<DnsRecord>();
            records.push_back(record.get());
            record.release();
        }
        DnsRecord& r = *records[i];
        r.name.clear();
        offset = decodeDnsMessageFqdn(offset, data, size, r.name, trailingDot);
        r.nameLower.clear();
        ns::encoding::data::lowercase(r.nameLower, r.name.data(), uint32_t(r.name.size()));
        uint16_t rdlength;
        offset = decodeUint16(&r.type, data, size, offset);
        offset = decodeUint16(&r.rrclass, data, size, offset);
        offset = decodeUint32(&r.ttl, data, size, offset);
        offset = decodeUint16(&rdlength, data, size, offset);
        if (uint64_t(offset) + rdlength > size)
            throw DnsError("Offset " + std::to_string(offset) + " + record data length " +
                           std::to_string(rdlength) + " is out of bounds for packet of " + std::to_string(size) +
                           " bytes");
        if (additional && isDroppedAdditional(r.type)) {
            --count;
            offset += rdlength;
            continue;
        }
        r.rdata.clear();
        decodeDnsMessageRdata(offset, data, size, r.type, rdlength, r.rdata, trailingDot);
        offset += rdlength;
        ++i;
    }
    return offset;
}

} // namespace

void decodeDnsMessage(const uint8_t* data, uint32_t size, DnsMessage& m, bool trailingDot) {
    m.error.clear();
    m.size = size;
    try {
        uint32_t offset = 0;
        offset = decodeUint16(&m.id, data, size, offset);
        offset = decodeUint16(&m.flags, data, size, offset);
        offset = decodeUint16(&m.qdcount, data, size, offset);
        offset = decodeUint16(&m.ancount, data, size, offset);
        offset = decodeUint16(&m.nscount, data, size, offset);
        offset = decodeUint16(&m.arcount, data, size, offset);
        if (m.qdcount != 1)
            throw DnsError("No question RRs " + std::to_string(m.qdcount) + " is not 1");
        m.qname.clear();
        offset = decodeDnsMessageFqdn(offset, data, size, m.qname, trailingDot);
        offset = decodeUint16(&m.qtype, data, size, offset);
        offset = decodeUint16(&m.qclass, data, size, offset);
        m.qnameLower.clear();
        ns::encoding::data::lowercase(m.qnameLower, m.qname.data(), uint32_t(m.qname.size()));
        offset = decodeSection(data, size, offset, m.answers, m.ancount, false, trailingDot);
        offset = decodeSection(data, size, offset, m.authority, m.nscount, false, trailingDot);
        decodeSection(data, size, offset, m.additional, m.arcount, true, trailingDot);
    } catch (const std::exception& e) {
        try {
            m.error.assign("Read DNS message failed: ");
            m.error.append(e.what());
        } catch (...) {
            // Out of memory for the text itself: still mark the message as failed.
            m.error.assign(1, '?');
        }
    }
}

} // namespace ns::net::dns
