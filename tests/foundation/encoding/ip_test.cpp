#include "foundation/encoding/ip.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace ns::encoding::ip;

namespace {

using Bytes = std::vector<unsigned char>;

std::string v4(std::initializer_list<uint8_t> a) {
    Bytes out = {'>'};
    formatIpv4(out, std::vector<uint8_t>(a).data());
    return std::string(out.begin() + 1, out.end());
}

std::string v6(const char* text) {
    uint8_t a[16];
    EXPECT_EQ(inet_pton(AF_INET6, text, a), 1) << text;
    Bytes out = {'>'};
    formatIpv6(out, a);
    return std::string(out.begin() + 1, out.end());
}

std::string parseError(const std::string& text) {
    Bytes out = {'x'};
    try {
        parseIp(out, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
    } catch (const IpError& e) {
        EXPECT_EQ(out.size(), 1u);
        return e.what();
    }
    return "<no error>";
}

} // namespace

TEST(Ip, FormatIpv4) {
    EXPECT_EQ(v4({0, 0, 0, 0}), "0.0.0.0");
    EXPECT_EQ(v4({255, 255, 255, 255}), "255.255.255.255");
    EXPECT_EQ(v4({10, 0, 0, 1}), "10.0.0.1");
    EXPECT_EQ(v4({192, 168, 100, 9}), "192.168.100.9");
}

TEST(Ip, FormatIpv6) {
    struct Case {
        const char* in;
        const char* want;
    };
    const Case cases[] = {
        {"::", "::"},
        {"::1", "::1"},
        {"1::", "1::"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
        {"2001:db8:0:0:1:0:0:0", "2001:db8:0:0:1::"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
        {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},
        {"2001:DB8:ABCD:EF01:0:0:0:0", "2001:db8:abcd:ef01::"},
        {"0:0:1:0:0:0:0:0", "0:0:1::"},
        {"0:1:0:1:0:1:0:1", "0:1:0:1:0:1:0:1"},
        {"1:0:0:0:0:0:0:1", "1::1"},
        {"fe80::0a0b:00c0", "fe80::a0b:c0"},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        // Mapped and compatible IPv4 addresses stay in groups.
        {"::ffff:10.0.0.1", "::ffff:a00:1"},
        {"::ffff:0.0.0.0", "::ffff:0:0"},
        {"::1.2.3.4", "::102:304"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(v6(c.in), c.want) << c.in;
}

TEST(Ip, FormatIpv6ParsesBackToSameBytes) {
    std::mt19937 rng(3);
    for (int i = 0; i < 2000; ++i) {
        uint8_t a[16];
        for (int g = 0; g < 8; ++g) {
            // Mostly zero groups, so runs of every length show up.
            const unsigned v = (rng() % 3 == 0) ? rng() & 0xFFFF : 0;
            a[2 * g] = static_cast<uint8_t>(v >> 8);
            a[2 * g + 1] = static_cast<uint8_t>(v);
        }
        Bytes text;
        formatIpv6(text, a);
        ASSERT_LE(text.size(), 39u);
        Bytes back;
        ASSERT_EQ(parseIp(back, text.data(), static_cast<uint32_t>(text.size())), 1);
        EXPECT_EQ(Bytes(a, a + 16), back);
    }
}

TEST(Ip, ParseIp) {
    Bytes out = {'x'};
    const std::string lo4 = "127.0.0.1";
    EXPECT_EQ(parseIp(out, reinterpret_cast<const uint8_t*>(lo4.data()), 9), 0);
    EXPECT_EQ(out, (Bytes{'x', 127, 0, 0, 1}));
    out.clear();
    EXPECT_EQ(parseIp(out, reinterpret_cast<const uint8_t*>("::1"), 3), 1);
    Bytes lo6(16, 0);
    lo6[15] = 1;
    EXPECT_EQ(out, lo6);

    // A 63-character text is tried, a 64-character one is refused at once.
    const std::string long63 = "0000:0000:0000:0000:0000:ffff:" + std::string("192.168.000.001") + "xxxxxxxxxxxxxxxxxx";
    ASSERT_EQ(long63.size(), 63u);
    EXPECT_EQ(parseError(long63), "Parse IP address " + long63 + " failed: Invalid IP address");
    EXPECT_EQ(parseError(long63 + "x"), "Parse IP address failed: IP address too long");
    const std::string valid63 = "0000:0000:0000:0000:0000:0000:0000:0001";
    out.clear();
    EXPECT_EQ(parseIp(out, reinterpret_cast<const uint8_t*>(valid63.data()), 39), 1);

    EXPECT_EQ(parseError("localhost"), "Parse IP address localhost failed: Invalid IP address");
    EXPECT_EQ(parseError(""), "Parse IP address  failed: Invalid IP address");
    EXPECT_EQ(parseError("1.2.3"), "Parse IP address 1.2.3 failed: Invalid IP address");
    // Only the n characters count, not what follows them.
    out.clear();
    EXPECT_EQ(parseIp(out, reinterpret_cast<const uint8_t*>("10.1.2.3garbage"), 8), 0);
    EXPECT_EQ(out, (Bytes{10, 1, 2, 3}));
}

TEST(Ip, EmbeddedNulIsNotAnAddress) {
    const std::string text("1.2.3.4\0evil", 12);
    EXPECT_EQ(parseError(text).rfind("Parse IP address ", 0), 0u);
    EXPECT_FALSE(isIp(text.data(), static_cast<uint32_t>(text.size())));
}

TEST(Ip, IsIp) {
    struct Case {
        const char* text;
        bool want;
    };
    const Case cases[] = {
        {"127.0.0.1", true}, {"::1", true},      {"2001:db8::1", true}, {"::ffff:1.2.3.4", true},
        {"example.com", false}, {"", false},     {"256.0.0.1", false},  {"1.2.3.4.5", false},
        {"[::1]", false},      {" 1.2.3.4", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isIp(c.text, static_cast<uint32_t>(std::string(c.text).size())), c.want) << c.text;
    EXPECT_FALSE(isIp(std::string(100, '1').c_str(), 100));
}
