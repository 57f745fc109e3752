#include "dns/rdata.h"

#include <gtest/gtest.h>

#include <memory>

#include "dns/dns.h"
#include "dns/dns_wire.h"
#include "foundation/encoding/data.h"

namespace {

using namespace ns::net::dns;
using dnstest::text;
using dnstest::Wire;

// Packet prefix holding names that record data can point to:
// offset 0 "example.com", offset 13 "mail" + pointer to 0.
Wire prefix() {
    Wire w;
    w.name("example.com");
    w.u8(4).text("mail").ptr(0);
    return w;
}
constexpr uint32_t ExampleCom = 0;
constexpr uint32_t MailExampleCom = 13;

// Renders rdata placed after the prefix, in a heap buffer that ends exactly
// where the packet ends. Returns the text or "error: " and the message.
std::string render(uint16_t type, const Wire& rdata, bool dot = true, std::vector<uint8_t> trailer = {}) {
    Wire p = prefix();
    uint32_t offset = p.size();
    p.bytes(rdata.b).bytes(trailer);
    std::unique_ptr<uint8_t[]> packet(new uint8_t[p.size() ? p.size() : 1]);
    std::copy(p.b.begin(), p.b.end(), packet.get());
    std::vector<unsigned char> out;
    try {
        decodeDnsMessageRdata(offset, packet.get(), p.size(), type, rdata.size(), out, dot);
    } catch (const DnsError& e) {
        return std::string("error: ") + e.what();
    } catch (const ns::encoding::data::DataError& e) {
        return std::string("data error: ") + e.what();
    }
    return text(out);
}

struct Case {
    const char* what;
    uint16_t type;
    Wire rdata;
    std::string expected;
    bool dot = true;
};

void runCases(const std::vector<Case>& cases) {
    for (const auto& c : cases)
        EXPECT_EQ(render(c.type, c.rdata, c.dot), c.expected) << c.what;
}

std::vector<uint8_t> seq(uint8_t from, uint8_t n) {
    std::vector<uint8_t> v;
    for (uint8_t i = 0; i < n; ++i)
        v.push_back(uint8_t(from + i));
    return v;
}

TEST(Rdata, AddressesAndNames) {
    std::vector<uint8_t> v6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    runCases({
        {"A", 1, Wire().bytes({192, 0, 2, 1}), "192.0.2.1"},
        {"A length 5", 1, Wire().bytes({192, 0, 2, 1, 7}), "error: A record data length is 5 but should be 4"},
        {"A length 0", 1, Wire(), "error: A record data length is 0 but should be 4"},
        {"AAAA", 28, Wire().bytes(v6), "2001:db8::1"},
        {"AAAA length 4", 28, Wire().bytes({1, 2, 3, 4}), "error: AAAA record data length is 4 but should be 16"},
        {"NS", 2, Wire().name("ns1.example.com"), "ns1.example.com."},
        {"NS no dot", 2, Wire().name("ns1.example.com"), "ns1.example.com", false},
        {"CNAME compressed", 5, Wire().u8(3).text("www").ptr(ExampleCom), "www.example.com."},
        {"PTR", 12, Wire().ptr(MailExampleCom), "mail.example.com."},
        {"DNAME root", 39, Wire().u8(0), "."},
        {"MX compressed", 15, Wire().u16(10).ptr(MailExampleCom), "10 mail.example.com."},
        {"MX no dot", 15, Wire().u16(10).ptr(MailExampleCom), "10 mail.example.com", false},
        {"AFSDB", 18, Wire().u16(1).name("afs.example"), "1 afs.example."},
        {"KX", 36, Wire().u16(65535).ptr(ExampleCom), "65535 example.com."},
        {"SOA", 6, Wire().ptr(ExampleCom).name("Host.Master").u32(2024010101).u32(7200).u32(3600).u32(1209600).u32(0),
         "example.com. Host.Master. 2024010101 7200 3600 1209600 0"},
        {"SRV", 33, Wire().u16(0).u16(5).u16(5060).name("sip.example"), "0 5 5060 sip.example."},
    });
}

TEST(Rdata, Strings) {
    runCases({
        {"TXT two strings", 16, Wire().str("ab").str("c"), "\"ab\" \"c\""},
        {"TXT quote and backslash", 16, Wire().str("a\"b\\"), "\"a\\\"b\\\\\""},
        {"TXT control and high bytes", 16, Wire().u8(3).bytes({0x0A, 0x09, 0xC3}), "\"\\010\\009\\195\""},
        {"TXT empty record data", 16, Wire(), ""},
        {"TXT empty string", 16, Wire().u8(0), "\"\""},
        {"TXT string cut at end", 16, Wire().str("ok").u8(9).text("ab"), "\"ok\" \"ab\""},
        {"NAPTR", 35, Wire().u16(100).u16(10).str("S").str("SIP+D2U").str("").name("_sip._udp.example"),
         "100 10 \"S\" \"SIP+D2U\" \"\" _sip._udp.example."},
        {"NAPTR regexp", 35, Wire().u16(1).u16(2).str("U").str("E2U+sip").str("!^.*$!sip:x@y!").u8(0),
         "1 2 \"U\" \"E2U+sip\" \"!^.*$!sip:x@y!\" ."},
        {"URI", 256, Wire().u16(10).u16(1).text("https://x.example/\"a\""), "10 1 \"https://x.example/\\\"a\\\"\""},
        {"URI empty target", 256, Wire().u16(10).u16(1), "10 1 \"\""},
        {"CAA", 257, Wire().u8(0).str("issue").text("ca.example.net"), "0 issue \"ca.example.net\""},
        {"CAA critical", 257, Wire().u8(128).str("iodef").text("mailto:a@b"), "128 iodef \"mailto:a@b\""},
        {"CAA tag cut", 257, Wire().u8(0).u8(9).text("tag"), "0 tag \"\""},
    });
}

TEST(Rdata, DnssecAndKeys) {
    runCases({
        {"CERT", 37, Wire().u16(1).u16(12345).u8(8).bytes({1, 2, 3}), "PKIX 12345 RSASHA256 AQID"},
        {"CERT unnamed", 37, Wire().u16(0).u16(1).u8(9).bytes({1, 2, 3, 4, 5}), "0 1 9 AQIDBAU="},
        {"CERT URI empty", 37, Wire().u16(253).u16(0).u8(13), "URI 0 ECDSA256 "},
        {"DS", 43, Wire().u16(60485).u8(5).u8(1).bytes({0x2B, 0xB1, 0x83, 0xAF}), "60485 5 1 2BB183AF"},
        {"CDS", 59, Wire().u16(0).u8(0).u8(0).u8(0), "0 0 0 00"},
        {"SSHFP", 44, Wire().u8(4).u8(2).bytes({0xAB, 0xCD}), "4 2 ABCD"},
        {"DNSKEY", 48, Wire().u16(257).u8(3).u8(8).bytes({1, 2, 3}), "257 3 8 AQID"},
        {"CDNSKEY", 60, Wire().u16(0).u8(3).u8(0), "0 3 0 "},
        {"DHCID", 49, Wire().bytes({1, 2, 3, 4, 5}), "AQIDBAU="},
        {"OPENPGPKEY", 61, Wire().bytes({1, 2, 3}), "AQID"},
        {"OPENPGPKEY empty", 61, Wire(), ""},
        {"RRSIG", 46,
         Wire().u16(1).u8(8).u8(2).u32(3600).u32(0).u32(1700000000).u16(4711).ptr(ExampleCom).bytes({1, 2, 3}),
         "A 8 2 3600 19700101000000 20231114221320 4711 example.com. AQID"},
        {"RRSIG unsigned times", 46,
         Wire().u16(65280).u8(13).u8(0).u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(0x80000000).u16(0).u8(0),
         "TYPE65280 13 0 4294967295 21060207062815 20380119031408 0 . "},
        {"IPSECKEY none", 45, Wire().u8(10).u8(0).u8(2).bytes({1, 2, 3}), "10 0 2 . AQID"},
        {"IPSECKEY IPv4", 45, Wire().u8(10).u8(1).u8(2).bytes({192, 0, 2, 38}).bytes({1, 2, 3}),
         "10 1 2 192.0.2.38 AQID"},
        {"IPSECKEY IPv6", 45, Wire().u8(10).u8(2).u8(2).bytes(seq(0, 15)).u8(1).bytes({1, 2, 3}),
         "10 2 2 1:203:405:607:809:a0b:c0d:e01 AQID"},
        {"IPSECKEY name", 45, Wire().u8(10).u8(3).u8(2).ptr(MailExampleCom).bytes({1, 2, 3}),
         "10 3 2 mail.example.com. AQID"},
        {"IPSECKEY unknown gateway", 45, Wire().u8(10).u8(7).u8(2).bytes({1, 2, 3}), "10 7 2 AQID"},
    });
}

TEST(Rdata, Nsec3) {
    std::vector<uint8_t> hash = seq(1, 20);
    runCases({
        {"NSEC3 empty salt and maps", 50, Wire().u8(1).u8(1).u16(10).u8(0).u8(20).bytes(hash).u8(0).u8(1).u8(0x22),
         "1 1 10 - 041061050O3GG28A1C60Q3GF208H44OK NS SOA"},
        {"NSEC3 salt, window 1", 50, Wire().u8(1).u8(0).u16(0).u8(2).bytes({0xAA, 0xBB}).u8(2).bytes({0xFF, 0xFF}).u8(1).u8(1).u8(0x80),
         "1 0 0 AABB VVVG URI"},
        {"NSEC3 no hash, empty and several maps", 50,
         Wire().u8(1).u8(0).u16(1).u8(0).u8(0).u8(0).u8(0).u8(0).u8(2).bytes({0x40, 0x01}).u8(255).u8(32).bytes(std::vector<uint8_t>(31, 0)).u8(1),
         "1 0 1 -  A MX TYPE65535"},
        {"NSEC3PARAM no salt", 51, Wire().u8(1).u8(0).u16(10).u8(0), "1 0 10 -"},
        {"NSEC3PARAM salt", 51, Wire().u8(1).u8(0).u16(10).u8(4).bytes({0xDE, 0xAD, 0xBE, 0xEF}), "1 0 10 DEADBEEF"},
    });
}

TEST(Rdata, ServiceBinding) {
    std::vector<uint8_t> v6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    runCases({
        {"HTTPS alpn and port", 65, Wire().u16(1).u8(0).u16(1).u16(6).str("h2").str("h3").u16(3).u16(2).u16(443),
         "1 . alpn=\"h2,h3\" port=\"443\""},
        {"HTTPS alias", 65, Wire().u16(0).name("svc.example"), "0 svc.example."},
        {"SVCB unknown key", 64, Wire().u16(1).ptr(ExampleCom).u16(65000).u16(2).text("xy"),
         "1 example.com. key65000=\"xy\""},
        {"SVCB all keys", 64,
         Wire().u16(16).u8(0)
             .u16(0).u16(6).u16(1).u16(3).u16(9)
             .u16(2).u16(0)
             .u16(4).u16(8).bytes({192, 0, 2, 1, 192, 0, 2, 2})
             .u16(5).u16(3).bytes({1, 2, 3})
             .u16(6).u16(16).bytes(v6)
             .u16(7).u16(16).text("/dns-query{?dns}"),
         "16 . mandatory=\"alpn,port,key9\" no-default-alpn ipv4hint=\"192.0.2.1,192.0.2.2\" ech=\"AQID\" "
         "ipv6hint=\"2001:db8::1\" dohpath=\"/dns-query{?dns}\""},
        {"SVCB empty values", 64, Wire().u16(1).u8(0).u16(1).u16(0).u16(0).u16(0).u16(9).u16(0),
         "1 . alpn=\"\" mandatory=\"\" key9=\"\""},
        {"SVCB value past end", 64, Wire().u16(1).u8(0).u16(1).u16(7).str("h2"),
         "error: Parse HTTPS record data failed: Expected 7 << bytes at " + std::to_string(prefix().size() + 7) +
             " until " + std::to_string(prefix().size() + 10)},
        {"SVCB key cut", 64, Wire().u16(1).u8(0).u16(1),
         "error: Parse HTTPS record data failed: Expected 4 << bytes at " + std::to_string(prefix().size() + 3) +
             " until " + std::to_string(prefix().size() + 5)},
        {"SVCB alpn id past value", 64, Wire().u16(1).u8(0).u16(1).u16(3).u8(5).text("h2"),
         "error: Parse HTTPS record data failed: Expected 5 << bytes at " + std::to_string(prefix().size() + 8) +
             " until " + std::to_string(prefix().size() + 10)},
        {"SVCB alpn id past value, within record", 64, Wire().u16(1).u8(0).u16(1).u16(3).u8(5).text("h2").u16(3).u16(2).u16(443),
         "error: Parse HTTPS record data failed: Expected 5 << bytes at " + std::to_string(prefix().size() + 8) +
             " until " + std::to_string(prefix().size() + 10)},
        {"SVCB alpn id past record data", 64, Wire().u16(1).u8(0).u16(1).u16(3).u8(20).text("h2").u16(3).u16(2).u16(443),
         "error: Parse HTTPS record data failed: Expected 20 << bytes at " + std::to_string(prefix().size() + 8) +
             " until " + std::to_string(prefix().size() + 16)},
    });
}

// Malformed parameter values: the parser always moves on to the declared end
// of each value, so the next parameter is still read correctly.
TEST(Rdata, ServiceBindingMalformedValuesStayInStep) {
    auto next = [](Wire w) { return w.u16(3).u16(2).u16(853); };
    runCases({
        {"port of 3 bytes", 64, next(Wire().u16(1).u8(0).u16(3).u16(3).bytes({0x01, 0xBB, 0x07})),
         "1 . port=\"443\" port=\"853\""},
        {"port of 1 byte", 64, next(Wire().u16(1).u8(0).u16(3).u16(1).u8('A')), "1 . port=\"A\" port=\"853\""},
        {"port of 0 bytes", 64, next(Wire().u16(1).u8(0).u16(3).u16(0)), "1 . port=\"\" port=\"853\""},
        {"no-default-alpn with bytes", 64, next(Wire().u16(1).u8(0).u16(2).u16(2).bytes({0, 3})),
         "1 . no-default-alpn port=\"853\""},
        {"mandatory of odd length", 64, next(Wire().u16(1).u8(0).u16(0).u16(3).u16(1).u8(0)),
         "1 . mandatory=\"alpn\" port=\"853\""},
        {"ipv4hint of 6 bytes", 64, next(Wire().u16(1).u8(0).u16(4).u16(6).bytes({10, 0, 0, 1, 10, 0})),
         "1 . ipv4hint=\"10.0.0.1\" port=\"853\""},
        {"ipv6hint of 20 bytes", 64, next(Wire().u16(1).u8(0).u16(6).u16(20).bytes(std::vector<uint8_t>(20, 0))),
         "1 . ipv6hint=\"::\" port=\"853\""},
        {"ipv4hint of 3 bytes", 64, next(Wire().u16(1).u8(0).u16(4).u16(3).bytes({1, 2, 3})),
         "1 . ipv4hint=\"\" port=\"853\""},
    });
}

TEST(Rdata, GenericForm) {
    runCases({
        {"NSEC", 47, Wire().bytes({0x01, 0x02, 0xFF}), "\\# 3 0102FF"},
        {"TLSA", 52, Wire().bytes({3, 1, 1, 0xAB}), "\\# 4 030101AB"},
        {"DLV", 32769, Wire().bytes({0}), "\\# 1 00"},
        {"type 258", 258, Wire().bytes({0x10}), "\\# 1 10"},
        {"OPT", 41, Wire().bytes({0, 10, 0, 0}), "\\# 4 000A0000"},
        {"empty", 99, Wire(), "\\# 0 "},
        {"type 0", 0, Wire().bytes({0xFE}), "\\# 1 FE"},
    });
}

// Record data shorter than its type's fields fails with the type's name, the
// length and what the fields need; nothing is read past the record data.
TEST(Rdata, FieldsPastRecordData) {
    runCases({
        {"DS", 43, Wire().u16(1).u8(1), "error: DS record data length is 3 but its fields need at least 4"},
        {"CDS empty", 59, Wire(), "error: CDS record data length is 0 but its fields need at least 4"},
        {"CERT", 37, Wire().u16(1).u16(1), "error: CERT record data length is 4 but its fields need at least 5"},
        {"SSHFP", 44, Wire().u8(1), "error: SSHFP record data length is 1 but its fields need at least 2"},
        {"DNSKEY", 48, Wire().u16(257).u8(3), "error: DNSKEY record data length is 3 but its fields need at least 4"},
        {"CDNSKEY", 60, Wire(), "error: CDNSKEY record data length is 0 but its fields need at least 4"},
        {"NSEC3PARAM", 51, Wire().u8(1).u8(0).u16(1),
         "error: NSEC3PARAM record data length is 4 but its fields need at least 5"},
        {"NSEC3 salt", 50, Wire().u8(1).u8(0).u16(1).u8(8).bytes({1, 2}),
         "error: NSEC3 record data length is 7 but its fields need at least 13"},
        {"NSEC3 hash", 50, Wire().u8(1).u8(0).u16(1).u8(0).u8(20).bytes({1, 2}),
         "error: NSEC3 record data length is 8 but its fields need at least 26"},
        {"NSEC3 no hash length", 50, Wire().u8(1).u8(0).u16(1).u8(0),
         "error: NSEC3 record data length is 5 but its fields need at least 6"},
        {"NSEC3 bitmap", 50, Wire().u8(1).u8(0).u16(1).u8(0).u8(0).u8(0).u8(4).u8(0x40),
         "error: NSEC3 record data length is 9 but its fields need at least 12"},
        {"NSEC3 window without length", 50, Wire().u8(1).u8(0).u16(1).u8(0).u8(0).u8(0),
         "error: NSEC3 record data length is 7 but its fields need at least 8"},
        {"NSEC3 bitmap over 32 bytes", 50, Wire().u8(1).u8(0).u16(1).u8(0).u8(0).u8(255).u8(33).bytes(std::vector<uint8_t>(33, 0xFF)),
         "error: NSEC3 record type bitmap length is 33 but should be at most 32"},
        {"RRSIG fixed", 46, Wire().u16(1).u8(8).u8(2).u32(3600),
         "error: RRSIG record data length is 8 but its fields need at least 18"},
        {"IPSECKEY", 45, Wire().u8(1).u8(0), "error: IPSECKEY record data length is 2 but its fields need at least 3"},
        {"IPSECKEY IPv4 gateway", 45, Wire().u8(1).u8(1).u8(2).bytes({10, 0}),
         "error: IPSECKEY record data length is 5 but its fields need at least 7"},
        {"IPSECKEY IPv6 gateway", 45, Wire().u8(1).u8(2).u8(2).bytes({10, 0, 0, 0}),
         "error: IPSECKEY record data length is 7 but its fields need at least 19"},
        {"URI", 256, Wire().u16(1).u8(1), "error: URI record data length is 3 but its fields need at least 4"},
        {"CAA", 257, Wire().u8(0), "error: CAA record data length is 1 but its fields need at least 2"},
        {"MX", 15, Wire().u8(0), "error: MX record data length is 1 but its fields need at least 2"},
        {"SRV", 33, Wire().u16(0).u16(0), "error: SRV record data length is 4 but its fields need at least 6"},
        {"SOA", 6, Wire().u8(0).u8(0).u32(1), "error: SOA record data length is 6 but its fields need at least 22"},
        {"NAPTR", 35, Wire().u16(1).u16(2).str("U"), "error: NAPTR record data length is 6 but its fields need at least 7"},
        {"SVCB", 64, Wire().u8(1), "error: SVCB record data length is 1 but its fields need at least 2"},
    });
    // The signer's name runs on into the bytes after the record data.
    EXPECT_EQ(render(46, Wire().u16(1).u8(8).u8(2).u32(3600).u32(0).u32(0).u16(1).u8(3).text("ab"), true, {'c', 0}),
              "error: RRSIG record data length is 21 but its fields need at least 23");
    EXPECT_EQ(render(45, Wire().u8(1).u8(3).u8(2).u8(1), true, {'g', 0, 1}),
              "error: IPSECKEY record data length is 4 but its fields need at least 6");
}

TEST(Rdata, NamesAndBoundsAgainstPacket) {
    // A name in record data whose labels run beyond the record data.
    Wire p = prefix();
    uint32_t offset = p.size();
    p.u8(3).text("abc").u8(0);
    std::vector<unsigned char> out;
    EXPECT_THROW(
        {
            try {
                decodeDnsMessageRdata(offset, p.b.data(), p.size(), 2, 2, out, true);
            } catch (const DnsError& e) {
                EXPECT_STREQ(e.what(), "NS record data length is 2 but its fields need at least 5");
                throw;
            }
        },
        DnsError);
    // Record data past the packet.
    out.clear();
    try {
        decodeDnsMessageRdata(offset, p.b.data(), p.size(), 16, 6, out, true);
        FAIL();
    } catch (const DnsError& e) {
        EXPECT_EQ(std::string(e.what()), "Offset " + std::to_string(offset) + " + record data length 6 is out of "
                                         "bounds for packet of " + std::to_string(offset + 5) + " bytes");
    }
    // A name in record data that runs past the packet.
    EXPECT_EQ(render(2, Wire().u8(5).text("ab")),
              "error: Read FQDN failed: DNS name offset + label length " + std::to_string(prefix().size() + 6) +
                  " which is past packet len " + std::to_string(prefix().size() + 3));
    // Appending never clears.
    out.assign({'x', ';'});
    Wire a = Wire().bytes({1, 2, 3, 4});
    decodeDnsMessageRdata(0, a.b.data(), a.size(), 1, 4, out, false);
    EXPECT_EQ(text(out), "x;1.2.3.4");
}

TEST(Rdata, StringHelpers) {
    std::vector<unsigned char> out;
    uint8_t tab[] = {0x09, 'a', '"', '\\', 0x7F, 0x20};
    decodeRdataString(tab, sizeof tab, out);
    EXPECT_EQ(text(out), "\\009a\\\"\\\\\\127 ");

    struct Case {
        std::vector<uint8_t> in;
        bool quoted, single;
        std::string out;
        uint32_t consumed;
    };
    std::vector<Case> cases = {
        {{}, true, false, "", 0},
        {{2, 'a', 'b', 1, 'c'}, true, false, "\"ab\" \"c\"", 5},
        {{2, 'a', 'b', 1, 'c'}, false, false, "abc", 5},
        {{2, 'a', 'b', 1, 'c'}, true, true, "\"ab\"", 3},
        {{2, 'a', 'b', 1, 'c'}, false, true, "ab", 3},
        {{9, 'a', 'b'}, true, false, "\"ab\"", 3},
        {{0, 0}, true, false, "\"\" \"\"", 2},
        {{5}, true, true, "\"\"", 1},
    };
    for (const auto& c : cases) {
        out.clear();
        EXPECT_EQ(decodeRdataStrings(c.in.data(), uint32_t(c.in.size()), out, c.quoted, c.single), c.consumed);
        EXPECT_EQ(text(out), c.out);
    }
}

// Every prefix of well-formed record data of every type must render or fail
// with a DnsError or DataError; buffers end exactly at the packet's end so
// sanitizers see any overread.
TEST(Rdata, TruncatedRecordDataSweep) {
    std::vector<std::pair<uint16_t, Wire>> samples = {
        {6, Wire().ptr(0).name("h.m").u32(1).u32(2).u32(3).u32(4).u32(5)},
        {15, Wire().u16(1).ptr(13)},
        {16, Wire().str("abc").str("de")},
        {33, Wire().u16(1).u16(2).u16(3).name("t")},
        {35, Wire().u16(1).u16(2).str("U").str("E2U").str("!a!b!").name("r")},
        {37, Wire().u16(1).u16(2).u8(8).bytes({1, 2, 3})},
        {43, Wire().u16(1).u8(8).u8(2).bytes({1, 2})},
        {44, Wire().u8(1).u8(1).bytes({1, 2})},
        {45, Wire().u8(1).u8(2).u8(2).bytes(seq(0, 16)).bytes({1, 2})},
        {45, Wire().u8(1).u8(3).u8(2).name("gw").bytes({1, 2})},
        {46, Wire().u16(1).u8(8).u8(2).u32(1).u32(2).u32(3).u16(4).name("s").bytes({1, 2})},
        {48, Wire().u16(256).u8(3).u8(8).bytes({1, 2})},
        {50, Wire().u8(1).u8(0).u16(1).u8(2).bytes({1, 2}).u8(3).bytes({4, 5, 6}).u8(0).u8(2).bytes({0x60, 1})},
        {51, Wire().u8(1).u8(0).u16(1).u8(2).bytes({1, 2})},
        {65, Wire().u16(1).u8(0).u16(1).u16(3).str("h2").u16(4).u16(4).bytes({1, 2, 3, 4}).u16(6).u16(16).bytes(seq(0, 16))},
        {256, Wire().u16(1).u16(2).text("u")},
        {257, Wire().u8(0).str("issue").text("ca")},
    };
    for (auto& [type, full] : samples) {
        for (uint32_t n = 0; n <= full.size(); ++n) {
            Wire p = prefix();
            uint32_t offset = p.size();
            p.b.insert(p.b.end(), full.b.begin(), full.b.begin() + n);
            std::unique_ptr<uint8_t[]> packet(new uint8_t[p.size()]);
            std::copy(p.b.begin(), p.b.end(), packet.get());
            std::vector<unsigned char> out;
            try {
                decodeDnsMessageRdata(offset, packet.get(), p.size(), type, n, out, true);
            } catch (const DnsError&) {
            } catch (const ns::encoding::data::DataError&) {
            }
        }
    }
}

} // namespace
