#include "dns/params.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ns::net::dns;

namespace {

using Formatter = void (*)(std::vector<unsigned char>&, uint16_t);

std::string run(Formatter f, uint16_t value) {
    std::vector<unsigned char> out;
    f(out, value);
    return std::string(out.begin(), out.end());
}

} // namespace

TEST(DnsParams, TablesHoldTheirRows) {
    EXPECT_EQ(algorithm_types.size(), 17u);
    EXPECT_EQ(cert_types.size(), 10u);
    EXPECT_EQ(record_classes.size(), 6u);
    EXPECT_EQ(record_types.size(), 98u);
    EXPECT_EQ(response_codes.size(), 20u);
    EXPECT_EQ(socket_protocols.size(), 7u);
}

TEST(DnsParams, NamesAndFallbacks) {
    struct Case {
        Formatter f;
        uint16_t value;
        const char* text;
    };
    const Case cases[] = {
        {formatRecordType, 1, "A"},
        {formatRecordType, 28, "AAAA"},
        {formatRecordType, 255, "ANY"},
        {formatRecordType, 0, "RESERVED0"},
        {formatRecordType, 23, "NSAP-PTR"},
        {formatRecordType, 53, "SMIMEA"},
        {formatRecordType, 54, "TYPE54"},
        {formatRecordType, 55, "HIP"},
        {formatRecordType, 68, "BRID"},
        {formatRecordType, 69, "TYPE69"},
        {formatRecordType, 98, "TYPE98"},
        {formatRecordType, 99, "SPF"},
        {formatRecordType, 109, "EUI64"},
        {formatRecordType, 110, "TYPE110"},
        {formatRecordType, 128, "NXNAME"},
        {formatRecordType, 129, "TYPE129"},
        {formatRecordType, 248, "TYPE248"},
        {formatRecordType, 249, "TKEY"},
        {formatRecordType, 264, "IPN"},
        {formatRecordType, 265, "TYPE265"},
        {formatRecordType, 32767, "TYPE32767"},
        {formatRecordType, 32768, "TA"},
        {formatRecordType, 32769, "DLV"},
        {formatRecordType, 32770, "TYPE32770"},
        {formatRecordType, 65280, "TYPE65280"},
        {formatRecordType, 65535, "TYPE65535"},
        {formatRecordClass, 0, "RESERVED0"},
        {formatRecordClass, 1, "IN"},
        {formatRecordClass, 2, "CLASS2"},
        {formatRecordClass, 3, "CH"},
        {formatRecordClass, 254, "NONE"},
        {formatRecordClass, 65535, "CLASS65535"},
        {formatResponseCode, 0, "NOERROR"},
        {formatResponseCode, 9, "NOTAUTH"},
        {formatResponseCode, 11, "DSOTYPENI"},
        {formatResponseCode, 12, "RCODE12"},
        {formatResponseCode, 15, "RCODE15"},
        {formatResponseCode, 16, "BADVERS"},
        {formatResponseCode, 23, "BADCOOKIE"},
        {formatResponseCode, 24, "RCODE24"},
        {formatSocketProtocol, 0, "PROTO0"},
        {formatSocketProtocol, 1, "UDP"},
        {formatSocketProtocol, 5, "DNSCryptUDP"},
        {formatSocketProtocol, 7, "DOQ"},
        {formatSocketProtocol, 8, "PROTO8"},
        {formatAlgorithmType, 9, "9"},
        {formatAlgorithmType, 13, "ECDSA256"},
        {formatAlgorithmType, 16, "ED448"},
        {formatAlgorithmType, 254, "PRIVATEOID"},
        {formatAlgorithmType, 255, "255"},
        {formatCertType, 0, "0"},
        {formatCertType, 8, "IACPKIX"},
        {formatCertType, 253, "URI"},
        {formatCertType, 65535, "65535"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.f, c.value), c.text) << "value " << c.value;
    }
}

TEST(DnsParams, AppendsWithoutClearing) {
    std::vector<unsigned char> out = {'x'};
    formatRecordType(out, 1);
    formatDnsParameter(out, record_types, 54, "TYPE");
    formatDnsParameter(out, cert_types, 7, "");
    EXPECT_EQ(std::string(out.begin(), out.end()), "xATYPE54ACPKIX");
}
