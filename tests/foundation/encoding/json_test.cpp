#include "foundation/encoding/json.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace ns::encoding::json;

namespace {

std::string js(const std::string& in) {
    std::vector<unsigned char> out = {'>'};
    formatJsonStr(out, reinterpret_cast<const uint8_t*>(in.data()), static_cast<uint32_t>(in.size()));
    return std::string(out.begin() + 1, out.end());
}

} // namespace

TEST(Json, StringEscapes) {
    using namespace std::string_literals;
    struct Case {
        std::string in;
        std::string want;
    };
    const Case cases[] = {
        {"", "\"\""},
        {"plain text", "\"plain text\""},
        {"a/b", "\"a\\/b\""},
        {"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
        {"say \"hi\"\\", "\"say \\\"hi\\\"\\\\\""},
        {"\x01", "\"\\u0001\""},
        {"\0\x07\x0B\x0E\x1F\x7F"s, "\"\\u0000\\u0007\\u000b\\u000e\\u001f\x7F\""},
        {"a\x1Bz\n", "\"a\\u001bz\\n\""},
        {"\xC3\xA9\xFF", "\"\xC3\xA9\xFF\""},
        {"//", "\"\\/\\/\""},
        {"x\n", "\"x\\n\""},
        {"\ny", "\"\\ny\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(js(c.in), c.want);
}

TEST(Json, EveryByteAlone) {
    const std::string escaped = "\b\t\n\f\r\"/\\";
    for (int b = 0; b < 256; ++b) {
        const std::string in(1, static_cast<char>(b));
        const std::string got = js(in);
        if (escaped.find(static_cast<char>(b)) != std::string::npos) {
            EXPECT_EQ(got.size(), 4u) << b;
        } else if (b < 0x20) {
            char want[9];
            std::snprintf(want, sizeof(want), "\"\\u%04x\"", b);
            EXPECT_EQ(got, want) << b;
        } else {
            EXPECT_EQ(got, "\"" + in + "\"") << b;
        }
    }
}

// The unchecked writer gives the same text within its stated room.
TEST(Json, WriterMatchesWithinItsRoom) {
    std::string in;
    for (int b = 0; b < 256; ++b)
        in.push_back(static_cast<char>(b));
    std::vector<unsigned char> room(6 * in.size() + 2 + 1, 0xEE);
    unsigned char* end = writeJsonStr(room.data(), reinterpret_cast<const uint8_t*>(in.data()), in.size());
    ASSERT_LE(end, room.data() + room.size() - 1);
    EXPECT_EQ(room.back(), 0xEE);
    EXPECT_EQ(std::string(room.data(), end), js(in));
}

TEST(Json, Keys) {
    std::vector<unsigned char> out = {'{'};
    formatJsonKey(out, "timestamp", true);
    out.push_back('1');
    formatJsonKey(out, "host", false);
    EXPECT_EQ(std::string(out.begin(), out.end()), "{\"timestamp\":1,\"host\":");
}
