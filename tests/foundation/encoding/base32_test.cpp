#include "foundation/encoding/base32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using ns::encoding::base32::formatBase32;

namespace {

std::string b32(const std::string& in, std::vector<unsigned char> out = {}) {
    formatBase32(out, reinterpret_cast<const uint8_t*>(in.data()), static_cast<uint32_t>(in.size()));
    return std::string(out.begin(), out.end());
}

} // namespace

TEST(Base32, RfcVectorsWithoutPadding) {
    struct Case {
        const char* in;
        const char* want;
    };
    const Case cases[] = {
        {"", ""},
        {"f", "CO"},
        {"fo", "CPNG"},
        {"foo", "CPNMU"},
        {"foob", "CPNMUOG"},
        {"fooba", "CPNMUOJ1"},
        {"foobar", "CPNMUOJ1E8"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(b32(c.in), c.want) << c.in;
}

TEST(Base32, LengthsAndAlphabet) {
    EXPECT_EQ(b32(std::string(9, '\0')), std::string(15, '0'));
    EXPECT_EQ(b32(std::string(20, 'x')).size(), 32u);
    EXPECT_EQ(b32(std::string(5, '\xFF')), "VVVVVVVV");
    EXPECT_EQ(b32("\xFF"), "VS");
    EXPECT_EQ(b32("\xFF\xFF\xFF\xFF"), "VVVVVVO");
    // Existing buffer content stays in front.
    EXPECT_EQ(b32("f", {'a', 'b'}), "abCO");
}
