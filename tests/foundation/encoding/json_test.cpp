#include "foundation/encoding/json.h"

#include <gtest/gtest.h>

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

TEST(Json, StringEscapesExactlyEightBytes) {
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
        {"\x01", "\"\x01\""},
        {"\0\x07\x0B\x0E\x1F\x7F"s, "\"\0\x07\x0B\x0E\x1F\x7F\""s},
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
        if (escaped.find(static_cast<char>(b)) != std::string::npos)
            EXPECT_EQ(got.size(), 4u) << b;
        else
            EXPECT_EQ(got, "\"" + in + "\"") << b;
    }
}

TEST(Json, Keys) {
    std::vector<unsigned char> out = {'{'};
    formatJsonKey(out, "timestamp", true);
    out.push_back('1');
    formatJsonKey(out, "host", false);
    EXPECT_EQ(std::string(out.begin(), out.end()), "{\"timestamp\":1,\"host\":");
}
