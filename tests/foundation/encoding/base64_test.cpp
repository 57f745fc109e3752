#include "foundation/encoding/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace ns::encoding::base64;

namespace {

std::string b64(const std::string& in) {
    std::vector<unsigned char> out = {'>'};
    formatBase64(out, reinterpret_cast<const uint8_t*>(in.data()), static_cast<uint32_t>(in.size()));
    return std::string(out.begin() + 1, out.end());
}

std::string parse(const std::string& in) {
    std::vector<unsigned char> out = {'>'};
    parseBase64(out, reinterpret_cast<const uint8_t*>(in.data()), in.size());
    return std::string(out.begin() + 1, out.end());
}

std::string parseError(const std::string& in) {
    try {
        parse(in);
    } catch (const Base64Error& e) {
        return e.what();
    }
    return "<no error>";
}

} // namespace

TEST(Base64, RfcVectors) {
    struct Case {
        const char* plain;
        const char* text;
    };
    const Case cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(b64(c.plain), c.text);
        EXPECT_EQ(parse(c.text), c.plain);
    }
}

TEST(Base64, RoundTripOfAllByteValues) {
    std::mt19937 rng(7);
    for (int len = 0; len < 70; ++len) {
        std::string in;
        for (int i = 0; i < len; ++i)
            in.push_back(static_cast<char>(rng()));
        const std::string text = b64(in);
        EXPECT_EQ(text.size() % 4, 0u);
        EXPECT_EQ(parse(text), in);
    }
    EXPECT_EQ(b64("\xFB\xFF"), "+/8=");
}

TEST(Base64, ParseSkipsBlanks) {
    EXPECT_EQ(parse("Zm9v\nYmFy"), "foobar");
    EXPECT_EQ(parse(" Zm9v\tYm\r\nFy "), "foobar");
    EXPECT_EQ(parse("Zg= ="), "f");
    EXPECT_EQ(parse("   "), "");
    std::vector<unsigned char> out = {'x'};
    parseBase64(out, nullptr, 10);
    EXPECT_EQ(out.size(), 1u);
}

TEST(Base64, ParseErrors) {
    struct Case {
        const char* in;
        const char* want;
    };
    const Case cases[] = {
        {"Zm9vY", "Invalid base64 length: 5"},
        {" Zm9 vY\n", "Invalid base64 length: 5"},
        {"Zg=a", "Invalid base64 padding"},
        {"Zg==Zm9v", "Invalid base64 padding"},
        {"Z===", "Invalid base64 padding"},
        {"====", "Invalid base64 padding"},
        {"Zm9!", "Invalid base64 character: !"},
        {"Zm-v", "Invalid base64 character: -"},
        {"Zm_v", "Invalid base64 character: _"},
        {"Zm\vv", "Invalid base64 character: \v"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseError(c.in), c.want) << c.in;
}
