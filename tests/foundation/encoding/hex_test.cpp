#include "foundation/encoding/hex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ns::encoding::hex;

namespace {

using Bytes = std::vector<unsigned char>;

std::string hexOf(const Bytes& in) {
    Bytes out = {'>'};
    formatHex(out, in.data(), static_cast<uint32_t>(in.size()));
    return std::string(out.begin() + 1, out.end());
}

Bytes parse(const std::string& text, Bytes out = {}) {
    parseHex(out, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return out;
}

std::string parseError(const std::string& text, Bytes* out) {
    try {
        parseHex(*out, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    } catch (const HexError& e) {
        return e.what();
    }
    return "<no error>";
}

} // namespace

TEST(Hex, FormatUpperCaseHighNibbleFirst) {
    EXPECT_EQ(hexOf({0x0A, 0xFF}), "0AFF");
    EXPECT_EQ(hexOf({}), "");
    Bytes all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<unsigned char>(i));
    const std::string text = hexOf(all);
    ASSERT_EQ(text.size(), 512u);
    EXPECT_EQ(text.substr(0, 8), "00010203");
    EXPECT_EQ(text.substr(504), "FCFDFEFF");
    EXPECT_EQ(parse(text), all);
}

TEST(Hex, ParseEitherCase) {
    EXPECT_EQ(parse("deadBEEF09"), (Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x09}));
    EXPECT_EQ(parse("DEADbeef09"), parse("deadbeef09"));
    EXPECT_EQ(parse("", {'x'}), (Bytes{'x'}));
    EXPECT_EQ(parse("ff", {'x'}), (Bytes{'x', 0xFF}));
}

TEST(Hex, ParseErrors) {
    Bytes out = {'x'};
    EXPECT_EQ(parseError("abc", &out), "Hex string length must be even");
    EXPECT_EQ(out, (Bytes{'x'}));
    EXPECT_EQ(parseError("00g0", &out), "Invalid character in hex string: g");
    EXPECT_EQ(out[0], 'x');
    EXPECT_EQ(parseError("0 00", &out), "Invalid character in hex string:  ");
    EXPECT_EQ(parseError("0G", &out), "Invalid character in hex string: G");
    EXPECT_EQ(parseError("z0", &out), "Invalid character in hex string: z");
}
