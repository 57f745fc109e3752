#include "dns/rdata.h"

#include <string>

#include "dns/dns.h"
#include "dns/params.h"
#include "foundation/encoding/base32.h"
#include "foundation/encoding/base64.h"
#include "foundation/encoding/data.h"
#include "foundation/encoding/hex.h"
#include "foundation/encoding/ip.h"
#include "foundation/encoding/time.h"

namespace ns::net::dns {

namespace {

using Out = std::vector<unsigned char>;
using ns::encoding::data::formatChar;
using ns::encoding::data::formatChars;
using ns::encoding::data::formatUint;

[[noreturn]] void throwFieldsPastData(uint16_t type, uint32_t rdlength, uint64_t needed) {
    Out name;
    formatRecordType(name, type);
    throw DnsError(std::string(name.begin(), name.end()) + " record data length is " + std::to_string(rdlength) +
                   " but its fields need at least " + std::to_string(needed));
}

[[noreturn]] void throwSvcParamPastEnd(uint64_t length, uint32_t position, uint32_t end) {
    throw DnsError("Parse HTTPS record data failed: Expected " + std::to_string(length) + " << bytes at " +
                   std::to_string(position) + " until " + std::to_string(end));
}

// Cursor over one record's data. Every field is checked against the end of
// the record data before it is read, so no part of a record is taken from
// the bytes of the next one and no length computation can wrap.
struct Rdata {
    const uint8_t* data;
    uint32_t size;
    uint32_t offset;
    uint32_t end;
    uint32_t rdlength;
    uint16_t type;
    bool trailingDot;
    Out& out;
    uint32_t pos;

    void need(uint64_t n) const {
        if (uint64_t(pos) + n > end)
            throwFieldsPastData(type, rdlength, uint64_t(pos) - offset + n);
    }
    uint8_t u8() {
        need(1);
        return data[pos++];
    }
    uint16_t u16() {
        need(2);
        uint16_t v = uint16_t((data[pos] << 8) | data[pos + 1]);
        pos += 2;
        return v;
    }
    uint32_t u32() {
        need(4);
        uint32_t v = (uint32_t(data[pos]) << 24) | (uint32_t(data[pos + 1]) << 16) |
                     (uint32_t(data[pos + 2]) << 8) | data[pos + 3];
        pos += 4;
        return v;
    }
    void name() {
        pos = decodeDnsMessageFqdn(pos, data, size, out, trailingDot);
        if (pos > end)
            throwFieldsPastData(type, rdlength, pos - offset);
    }
    uint32_t rest() const { return end - pos; }
    const uint8_t* at() const { return data + pos; }
    void blank() { out.push_back(' '); }
    void number(uint64_t v) { formatUint(out, v); }
    void hexRest() {
        ns::encoding::hex::formatHex(out, at(), rest());
        pos = end;
    }
    void base64Rest() {
        ns::encoding::base64::formatBase64(out, at(), rest());
        pos = end;
    }
};

const char* svcParamKeyName(uint16_t key) {
    switch (key) {
    case 0: return "mandatory";
    case 1: return "alpn";
    case 2: return "no-default-alpn";
    case 3: return "port";
    case 4: return "ipv4hint";
    case 5: return "ech";
    case 6: return "ipv6hint";
    case 7: return "dohpath";
    default: return nullptr;
    }
}

void formatSvcParamKey(Out& out, uint16_t key) {
    if (const char* name = svcParamKeyName(key)) {
        formatChars(out, name);
    } else {
        formatChars(out, "key");
        formatUint(out, key);
    }
}

// One SvcParam value [p, vend) of record data that ends at rend; the caller
// moves on to vend whatever the value's own structure says, so a malformed
// value never shifts the rest.
void formatSvcParamValue(Out& out, const uint8_t* data, uint16_t key, uint32_t p, uint32_t vend, uint32_t rend) {
    uint32_t len = vend - p;
    if (key == 2) {
        formatChars(out, "no-default-alpn");
        return;
    }
    formatSvcParamKey(out, key);
    formatChars(out, "=\"");
    switch (key) {
    case 0:
        for (uint32_t i = 0; i + 2 <= len; i += 2) {
            if (i != 0)
                formatChar(out, ',');
            formatSvcParamKey(out, uint16_t((data[p + i] << 8) | data[p + i + 1]));
        }
        break;
    case 1: {
        bool first = true;
        while (p < vend) {
            uint8_t idLength = data[p++];
            // Name the end of the record data when the id runs past it too.
            if (idLength > rend - p)
                throwSvcParamPastEnd(idLength, p, rend);
            if (idLength > vend - p)
                throwSvcParamPastEnd(idLength, p, vend);
            if (!first)
                formatChar(out, ',');
            decodeRdataString(data + p, idLength, out);
            p += idLength;
            first = false;
        }
        break;
    }
    case 3:
        if (len >= 2)
            formatUint(out, uint16_t((data[p] << 8) | data[p + 1]));
        else
            decodeRdataString(data + p, len, out);
        break;
    case 4:
        for (uint32_t i = 0; i + 4 <= len; i += 4) {
            if (i != 0)
                formatChar(out, ',');
            ns::encoding::ip::formatIpv4(out, data + p + i);
        }
        break;
    case 5:
        ns::encoding::base64::formatBase64(out, data + p, len);
        break;
    case 6:
        for (uint32_t i = 0; i + 16 <= len; i += 16) {
            if (i != 0)
                formatChar(out, ',');
            ns::encoding::ip::formatIpv6(out, data + p + i);
        }
        break;
    default:
        decodeRdataString(data + p, len, out);
        break;
    }
    formatChar(out, '"');
}

void formatSvcb(Rdata& r) {
    r.number(r.u16());
    r.blank();
    r.name();
    while (r.pos < r.end) {
        r.blank();
        if (r.rest() < 4)
            throwSvcParamPastEnd(4, r.pos, r.end);
        uint16_t key = r.u16();
        uint16_t len = r.u16();
        if (len > r.rest())
            throwSvcParamPastEnd(len, r.pos, r.end);
        formatSvcParamValue(r.out, r.data, key, r.pos, r.pos + len, r.end);
        r.pos += len;
    }
}

void formatNsec3(Rdata& r) {
    r.number(r.u8());
    r.blank();
    r.number(r.u8());
    r.blank();
    r.number(r.u16());
    r.blank();
    uint8_t saltLength = r.u8();
    r.need(saltLength);
    if (saltLength == 0)
        formatChar(r.out, '-');
    else
        ns::encoding::hex::formatHex(r.out, r.at(), saltLength);
    r.pos += saltLength;
    r.blank();
    uint8_t hashLength = r.u8();
    r.need(hashLength);
    ns::encoding::base32::formatBase32(r.out, r.at(), hashLength);
    r.pos += hashLength;
    while (r.pos < r.end) {
        uint32_t window = r.u8();
        uint8_t mapLength = r.u8();
        // A window holds 256 types in at most 32 bytes; more would name
        // types past 65535.
        if (mapLength > 32)
            throw DnsError("NSEC3 record type bitmap length is " + std::to_string(mapLength) +
                           " but should be at most 32");
        r.need(mapLength);
        for (uint32_t i = 0; i < mapLength; ++i) {
            uint8_t bits = r.data[r.pos + i];
            for (uint32_t bit = 0; bit < 8; ++bit) {
                if (bits & (0x80 >> bit)) {
                    r.blank();
                    formatRecordType(r.out, uint16_t(window * 256 + i * 8 + bit));
                }
            }
        }
        r.pos += mapLength;
    }
}

void formatIpseckey(Rdata& r) {
    r.number(r.u8());
    r.blank();
    uint8_t gatewayType = r.u8();
    r.number(gatewayType);
    r.blank();
    r.number(r.u8());
    switch (gatewayType) {
    case 0:
        formatChars(r.out, " .");
        break;
    case 1:
        r.need(4);
        r.blank();
        ns::encoding::ip::formatIpv4(r.out, r.at());
        r.pos += 4;
        break;
    case 2:
        r.need(16);
        r.blank();
        ns::encoding::ip::formatIpv6(r.out, r.at());
        r.pos += 16;
        break;
    case 3:
        r.blank();
        r.name();
        break;
    default:
        break;
    }
    r.blank();
    r.base64Rest();
}

void formatRrsig(Rdata& r) {
    r.need(18);
    formatRecordType(r.out, r.u16());
    r.blank();
    r.number(r.u8());
    r.blank();
    r.number(r.u8());
    r.blank();
    r.number(r.u32());
    r.blank();
    ns::encoding::time::formatTimeDefault(r.out, int64_t(r.u32()));
    r.blank();
    ns::encoding::time::formatTimeDefault(r.out, int64_t(r.u32()));
    r.blank();
    r.number(r.u16());
    r.blank();
    r.name();
    r.blank();
    r.base64Rest();
}

void formatGeneric(Rdata& r) {
    formatChars(r.out, "\\# ");
    r.number(r.rdlength);
    r.blank();
    r.hexRest();
}

} // namespace

void decodeRdataString(const uint8_t* data, uint32_t len, std::vector<unsigned char>& out) {
    size_t start = out.size();
    out.resize(start + size_t(len) * 4);
    unsigned char* w = out.data() + start;
    for (uint32_t i = 0; i < len; ++i) {
        uint8_t c = data[i];
        if (c >= 0x20 && c <= 0x7E) {
            if (c == '"' || c == '\\')
                *w++ = '\\';
            *w++ = c;
        } else {
            *w++ = '\\';
            *w++ = uint8_t('0' + c / 100);
            *w++ = uint8_t('0' + c / 10 % 10);
            *w++ = uint8_t('0' + c % 10);
        }
    }
    out.resize(size_t(w - out.data()));
}

uint32_t decodeRdataStrings(const uint8_t* data, uint32_t len, std::vector<unsigned char>& out, bool quoted,
                            bool single) {
    uint32_t i = 0;
    bool first = true;
    while (i < len) {
        if (quoted) {
            if (!first)
                out.push_back(' ');
            out.push_back('"');
        }
        uint32_t n = data[i++];
        if (n > len - i)
            n = len - i;
        decodeRdataString(data + i, n, out);
        i += n;
        if (quoted)
            out.push_back('"');
        first = false;
        if (single)
            break;
    }
    return i;
}

void decodeDnsMessageRdata(uint32_t offset, const uint8_t* data, uint32_t size, uint16_t type, uint32_t rdlength,
                           std::vector<unsigned char>& out, bool trailingDot) {
    if (uint64_t(offset) + rdlength > size)
        throw DnsError("Offset " + std::to_string(offset) + " + record data length " + std::to_string(rdlength) +
                       " is out of bounds for packet of " + std::to_string(size) + " bytes");
    Rdata r{data, size, offset, offset + rdlength, rdlength, type, trailingDot, out, offset};
    switch (type) {
    case 1: // A
        if (rdlength != 4)
            throw DnsError("A record data length is " + std::to_string(rdlength) + " but should be 4");
        ns::encoding::ip::formatIpv4(out, data + offset);
        break;
    case 28: // AAAA
        if (rdlength != 16)
            throw DnsError("AAAA record data length is " + std::to_string(rdlength) + " but should be 16");
        ns::encoding::ip::formatIpv6(out, data + offset);
        break;
    case 2: // NS
    case 5: // CNAME
    case 12: // PTR
    case 39: // DNAME
        r.name();
        break;
    case 6: // SOA
        r.name();
        r.blank();
        r.name();
        r.need(20);
        for (int i = 0; i < 5; ++i) {
            r.blank();
            r.number(r.u32());
        }
        break;
    case 15: // MX
    case 18: // AFSDB
    case 36: // KX
        r.number(r.u16());
        r.blank();
        r.name();
        break;
    case 16: // TXT
        decodeRdataStrings(data + offset, rdlength, out, true, false);
        break;
    case 33: // SRV
        r.need(6);
        r.number(r.u16());
        r.blank();
        r.number(r.u16());
        r.blank();
        r.number(r.u16());
        r.blank();
        r.name();
        break;
    case 35: // NAPTR
        r.need(4);
        r.number(r.u16());
        r.blank();
        r.number(r.u16());
        for (int i = 0; i < 3; ++i) {
            r.blank();
            r.need(1);
            r.pos += decodeRdataStrings(r.at(), r.rest(), out, true, true);
        }
        r.blank();
        r.name();
        break;
    case 37: // CERT
        r.need(5);
        formatCertType(out, r.u16());
        r.blank();
        r.number(r.u16());
        r.blank();
        formatAlgorithmType(out, r.u8());
        r.blank();
        r.base64Rest();
        break;
    case 43: // DS
    case 59: // CDS
        r.need(4);
        r.number(r.u16());
        r.blank();
        r.number(r.u8());
        r.blank();
        r.number(r.u8());
        r.blank();
        r.hexRest();
        break;
    case 44: // SSHFP
        r.need(2);
        r.number(r.u8());
        r.blank();
        r.number(r.u8());
        r.blank();
        r.hexRest();
        break;
    case 45: // IPSECKEY
        formatIpseckey(r);
        break;
    case 46: // RRSIG
        formatRrsig(r);
        break;
    case 48: // DNSKEY
    case 60: // CDNSKEY
        r.need(4);
        r.number(r.u16());
        r.blank();
        r.number(r.u8());
        r.blank();
        r.number(r.u8());
        r.blank();
        r.base64Rest();
        break;
    case 49: // DHCID
    case 61: // OPENPGPKEY
        r.base64Rest();
        break;
    case 50: // NSEC3
        r.need(5);
        formatNsec3(r);
        break;
    case 51: { // NSEC3PARAM
        r.need(5);
        r.number(r.u8());
        r.blank();
        r.number(r.u8());
        r.blank();
        r.number(r.u16());
        r.blank();
        if (r.u8() == 0)
            formatChar(out, '-');
        else
            r.hexRest();
        break;
    }
    case 64: // SVCB
    case 65: // HTTPS
        formatSvcb(r);
        break;
    case 256: // URI
        r.need(4);
        r.number(r.u16());
        r.blank();
        r.number(r.u16());
        formatChars(out, " \"");
        decodeRdataString(r.at(), r.rest(), out);
        formatChar(out, '"');
        break;
    case 257: // CAA
        r.need(2);
        r.number(r.u8());
        r.blank();
        r.pos += decodeRdataStrings(r.at(), r.rest(), out, false, true);
        formatChars(out, " \"");
        decodeRdataString(r.at(), r.rest(), out);
        formatChar(out, '"');
        break;
    default:
        formatGeneric(r);
        break;
    }
}

} // namespace ns::net::dns
