#include "foundation/encoding/data.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace ns::encoding::data;

namespace {

using Bytes = std::vector<unsigned char>;

std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

template <typename F>
std::string errorOf(F&& f) {
    try {
        f();
    } catch (const DataError& e) {
        return e.what();
    }
    return "<no error>";
}

} // namespace

TEST(DataReaders, ReadBigEndianAndReturnOffsetPastField) {
    const uint8_t d[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
    uint8_t v8 = 0;
    uint16_t v16 = 0;
    uint32_t v32 = 0;
    uint64_t v64 = 0;
    EXPECT_EQ(decodeUint8(&v8, d, 9, 8), 9u);
    EXPECT_EQ(v8, 0x09);
    EXPECT_EQ(decodeUint16(&v16, d, 5, 3), 5u);
    EXPECT_EQ(v16, 0x0405);
    EXPECT_EQ(decodeUint24(&v32, d, 9, 1), 4u);
    EXPECT_EQ(v32, 0x020304u);
    EXPECT_EQ(decodeUint32(&v32, d, 9, 0), 4u);
    EXPECT_EQ(v32, 0x01020304u);
    EXPECT_EQ(decodeUint64(&v64, d, 9, 1), 9u);
    EXPECT_EQ(v64, 0x0203040506070809ull);
}

TEST(DataReaders, OutOfBoundsThrowsAndStoresNothing) {
    const uint8_t d[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    uint8_t v8 = 7;
    uint16_t v16 = 7;
    uint32_t v32 = 7;
    uint64_t v64 = 7;
    struct Case {
        std::string got;
        std::string want;
    };
    const Case cases[] = {
        {errorOf([&] { decodeUint8(&v8, d, 5, 5); }),
         "Read uint8_t failed: Offset 5 + 1 is out of bounds for data of 5 bytes"},
        {errorOf([&] { decodeUint16(&v16, d, 5, 4); }),
         "Read uint16_t failed: Offset 4 + 2 is out of bounds for data of 5 bytes"},
        {errorOf([&] { decodeUint24(&v32, d, 5, 3); }),
         "Read uint24_t failed: Offset 3 + 3 is out of bounds for data of 5 bytes"},
        {errorOf([&] { decodeUint32(&v32, d, 3, 0); }),
         "Read uint32_t failed: Offset 0 + 4 is out of bounds for data of 3 bytes"},
        {errorOf([&] { decodeUint64(&v64, d, 7, 0); }),
         "Read uint64_t failed: Offset 0 + 8 is out of bounds for data of 7 bytes"},
        // Offsets near 2^32 must not wrap around into the buffer.
        {errorOf([&] { decodeUint32(&v32, d, 8, 0xFFFFFFFEu); }),
         "Read uint32_t failed: Offset 4294967294 + 4 is out of bounds for data of 8 bytes"},
        {errorOf([&] { decodeUint64(&v64, d, 8, 0xFFFFFFF9u); }),
         "Read uint64_t failed: Offset 4294967289 + 8 is out of bounds for data of 8 bytes"},
        {errorOf([&] { decodeUint16(&v16, d, 8, 9); }),
         "Read uint16_t failed: Offset 9 + 2 is out of bounds for data of 8 bytes"},
        {errorOf([&] { decodeUint8(&v8, nullptr, 0, 0); }),
         "Read uint8_t failed: Offset 0 + 1 is out of bounds for data of 0 bytes"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.got, c.want);
    EXPECT_EQ(v8, 7);
    EXPECT_EQ(v16, 7);
    EXPECT_EQ(v32, 7u);
    EXPECT_EQ(v64, 7u);
}

TEST(DataVle, DecodesKnownValues) {
    struct Case {
        Bytes in;
        uint64_t value;
    };
    const Case cases[] = {
        {{0x00}, 0},
        {{0x7F}, 127},
        {{0xAC, 0x02}, 300},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, 4294967295ull},
        {{0x80, 0x80, 0x80, 0x80, 0x08}, 2147483648ull},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, std::numeric_limits<uint64_t>::max()},
    };
    for (const auto& c : cases) {
        Bytes d = {0x55};
        d.insert(d.end(), c.in.begin(), c.in.end());
        d.push_back(0x55);
        uint64_t v = 0;
        EXPECT_EQ(decodeUintVle(&v, d.data(), static_cast<uint32_t>(d.size()), 1), 1 + c.in.size());
        EXPECT_EQ(v, c.value);
    }
}

TEST(DataVle, TruncatedAndOverlongValuesThrow) {
    uint64_t v = 9;
    const uint8_t lone[] = {0x01, 0x80};
    EXPECT_EQ(errorOf([&] { decodeUintVle(&v, lone, 2, 1); }),
              "Read variable length encoding uint failed: Offset 2 is out of bounds for data of 2 bytes");
    EXPECT_EQ(errorOf([&] { decodeUintVle(&v, lone, 2, 2); }),
              "Read variable length encoding uint failed: Offset 2 is out of bounds for data of 2 bytes");
    EXPECT_EQ(errorOf([&] { decodeUintVle(&v, lone, 2, 7); }),
              "Read variable length encoding uint failed: Offset 7 is out of bounds for data of 2 bytes");

    // Tenth byte carrying bits past bit 63, and an eleventh byte.
    const uint8_t over[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02};
    EXPECT_THROW(decodeUintVle(&v, over, sizeof(over), 0), DataError);
    const uint8_t eleven[] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00};
    EXPECT_THROW(decodeUintVle(&v, eleven, sizeof(eleven), 0), DataError);
    Bytes many(100, 0x80);
    EXPECT_THROW(decodeUintVle(&v, many.data(), static_cast<uint32_t>(many.size()), 0), DataError);
    EXPECT_EQ(v, 9u);
}

TEST(DataVle, RoundTripsEveryWidth) {
    std::vector<uint64_t> values = {0, 1, 127, 128, 300, 16383, 16384, 0xFFFFFFFFull, 0x100000000ull,
                                    std::numeric_limits<uint64_t>::max()};
    for (int bit = 0; bit < 64; ++bit) {
        values.push_back(uint64_t(1) << bit);
        values.push_back((uint64_t(1) << bit) - 1);
    }
    std::mt19937_64 rng(42);
    for (int i = 0; i < 1000; ++i)
        values.push_back(rng() >> (rng() % 64));
    for (uint64_t value : values) {
        Bytes out = {0xEE};
        encodeUintVle(out, value);
        ASSERT_LE(out.size(), 11u);
        EXPECT_EQ(out[0], 0xEE);
        uint64_t back = 0;
        EXPECT_EQ(decodeUintVle(&back, out.data(), static_cast<uint32_t>(out.size()), 1), out.size());
        EXPECT_EQ(back, value);
    }
    Bytes out;
    encodeUintVle(out, 300);
    EXPECT_EQ(out, (Bytes{0xAC, 0x02}));
    out.clear();
    encodeUintVle(out, 0);
    EXPECT_EQ(out, (Bytes{0x00}));
    out.clear();
    encodeUintVle(out, std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(out.size(), 10u);
}

TEST(DataWriters, AppendBigEndianAfterExistingBytes) {
    Bytes out = {'x'};
    encodeUint16(out, 0x0102);
    encodeUint32(out, 0x03040506);
    encodeUint64(out, 0x0708090A0B0C0D0Eull);
    EXPECT_EQ(out, (Bytes{'x', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
    uint32_t v = 0;
    EXPECT_EQ(decodeUint32(&v, out.data(), static_cast<uint32_t>(out.size()), 3), 7u);
    EXPECT_EQ(v, 0x03040506u);
}

TEST(DataText, AppendersKeepEarlierBytes) {
    Bytes out = {'>'};
    formatChar(out, 'a');
    const uint8_t raw[] = {0x00, 0xFF};
    formatBytes(out, raw, 2);
    formatBytes(out, nullptr, 0);
    formatChars(out, "text");
    formatChars(out, "");
    EXPECT_EQ(out, (Bytes{'>', 'a', 0x00, 0xFF, 't', 'e', 'x', 't'}));
}

TEST(DataText, FormatUint) {
    struct Case {
        uint64_t v;
        const char* text;
    };
    const Case cases[] = {
        {0, "0"},         {9, "9"},           {10, "10"},       {99, "99"},
        {100, "100"},     {1000, "1000"},     {4294967295ull, "4294967295"},
        {18446744073709551615ull, "18446744073709551615"},
        {10000000000000000000ull, "10000000000000000000"},
    };
    for (const auto& c : cases) {
        Bytes out = {'#'};
        formatUint(out, c.v);
        EXPECT_EQ(str(out), std::string("#") + c.text);
    }
}

TEST(DataText, Lowercase) {
    Bytes out = {'Q'};
    const std::string in = "ABC-xyz@[`Z\xC4";
    lowercase(out, reinterpret_cast<const uint8_t*>(in.data()), static_cast<uint32_t>(in.size()));
    EXPECT_EQ(str(out), "Qabc-xyz@[`z\xC4");
    lowercase(out, nullptr, 0);
    EXPECT_EQ(out.size(), 1 + in.size());
}

TEST(DataText, Trim) {
    struct Case {
        std::string in;
        std::string want;
    };
    const Case cases[] = {
        {"\t a b\r\n", "a b"},
        {" \t\r\n ", ""},
        {"", ""},
        {"\fx ", "\fx"},
        {"x\v", "x\v"},
        {"abc", "abc"},
        {"  a", "a"},
        {"a  ", "a"},
    };
    for (const auto& c : cases) {
        Bytes b(c.in.begin(), c.in.end());
        trim(b);
        EXPECT_EQ(str(b), c.want) << "input: " << c.in;
    }
}
