#include "dns/dnstap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

using namespace ns::encoding::dnstap;
using Bytes = std::vector<unsigned char>;

// The replaced operators below pair malloc with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Counts heap allocations while enabled, to prove the decoder's steady state.
static std::atomic<bool> countAllocations{false};
static std::atomic<long> allocations{0};

void* operator new(std::size_t n) {
    if (countAllocations.load(std::memory_order_relaxed)) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* p = std::malloc(n ? n : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

Bytes bytes(std::initializer_list<int> v) {
    Bytes out;
    for (int b : v) {
        out.push_back(static_cast<unsigned char>(b));
    }
    return out;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

DnstapEvent emptyEvent() {
    DnstapEvent e{};
    resetDnstapEvent(e, true);
    return e;
}

// Runs f and returns the DnstapError message, or "" when nothing was thrown.
template <typename F>
std::string errorOf(F f) {
    try {
        f();
    } catch (const DnstapError& e) {
        return e.what();
    }
    return "";
}

unsigned int decode(DnstapEvent& e, const Bytes& b) {
    return decodeDnstapEvent(e, b.data(), static_cast<unsigned int>(b.size()), 0);
}

// Wraps a Message body into a frame: type 1 then field 14.
Bytes frame(const Bytes& message) {
    Bytes out = bytes({0x78, 0x01, 0x72});
    encodeVarint(out, message.size());
    out.insert(out.end(), message.begin(), message.end());
    return out;
}

DnstapEvent sampleEvent() {
    DnstapEvent e = emptyEvent();
    e.identity = text("resolver1");
    e.version = text("v9.9");
    e.extra = bytes({0x00, 0xFF});
    e.type = 6;
    e.socket_family = 2;
    e.socket_protocol = 1;
    e.query_address = bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    e.response_address = bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2});
    e.query_port = 53211;
    e.response_port = 53;
    e.query_time_sec = 1700000000;
    e.query_time_nsec = 123456789;
    e.query_message = bytes({0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0});
    e.response_time_sec = 1700000001;
    e.response_time_nsec = 999999999;
    e.response_message = bytes({0x12, 0x34, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0});
    return e;
}

void expectSameFields(const DnstapEvent& a, const DnstapEvent& b) {
    EXPECT_EQ(a.identity, b.identity);
    EXPECT_EQ(a.version, b.version);
    EXPECT_EQ(a.extra, b.extra);
    EXPECT_EQ(a.type, b.type);
    EXPECT_EQ(a.socket_family, b.socket_family);
    EXPECT_EQ(a.socket_protocol, b.socket_protocol);
    EXPECT_EQ(a.query_address, b.query_address);
    EXPECT_EQ(a.response_address, b.response_address);
    EXPECT_EQ(a.query_port, b.query_port);
    EXPECT_EQ(a.response_port, b.response_port);
    EXPECT_EQ(a.query_time_sec, b.query_time_sec);
    EXPECT_EQ(a.query_time_nsec, b.query_time_nsec);
    EXPECT_EQ(a.query_message, b.query_message);
    EXPECT_EQ(a.response_time_sec, b.response_time_sec);
    EXPECT_EQ(a.response_time_nsec, b.response_time_nsec);
    EXPECT_EQ(a.response_message, b.response_message);
}

} // namespace

TEST(DnstapVarint, DecodesTableOfEncodings) {
    struct Case {
        Bytes in;
        uint64_t value;
    };
    const Case cases[] = {
        {bytes({0x00}), 0},
        {bytes({0x7F}), 127},
        {bytes({0x80, 0x01}), 128},
        {bytes({0xAC, 0x02}), 300},
        {bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x0F}), 4294967295ULL},
        {bytes({0x80, 0x80, 0x00}), 0},  // over-long but within ten bytes
        {bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}), UINT64_MAX},
        {bytes({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}), 1ULL << 63},
    };
    for (const auto& c : cases) {
        uint64_t v = 12345;
        const auto size = static_cast<unsigned int>(c.in.size());
        EXPECT_EQ(decodeVarint(&v, c.in.data(), size, 0), size);
        EXPECT_EQ(v, c.value);
        EXPECT_EQ(skipVarint(c.in.data(), size, 0), size);
    }
}

TEST(DnstapVarint, RejectsMoreThan64Bits) {
    const Bytes tenth2 = bytes({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02});
    const Bytes eleven = bytes({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x81, 0x00});
    for (const Bytes* b : {&tenth2, &eleven}) {
        uint64_t v = 0;
        EXPECT_EQ(errorOf([&] { decodeVarint(&v, b->data(), static_cast<unsigned int>(b->size()), 0); }),
                  "Variable length encoded uint exceeds 64 bits");
    }
    // Skipping sets no length limit.
    EXPECT_EQ(skipVarint(eleven.data(), 11, 0), 11u);
}

TEST(DnstapVarint, ReportsBoundsByWhereTheDataEnds) {
    const Bytes b = bytes({0x01, 0x80, 0x80});
    uint64_t v = 0;
    EXPECT_EQ(errorOf([&] { decodeVarint(&v, b.data(), 3, 1); }),
              "Read variable length encoded uint failed: Offset 3 is out of bounds for data of 3 bytes");
    EXPECT_EQ(errorOf([&] { decodeVarint(&v, b.data(), 3, 3); }),
              "Read variable length encoded uint failed: Offset 3 is out of bounds for data of 3 bytes");
    EXPECT_EQ(errorOf([&] { decodeVarint(&v, b.data(), 1, 5); }),
              "Read variable length encoded uint failed: Offset 5 is out of bounds for data of 1 bytes");
    EXPECT_EQ(errorOf([&] { skipVarint(b.data(), 3, 1); }), "Skip 3 is out of bounds for data of 3 bytes");
    EXPECT_EQ(errorOf([&] { skipVarint(b.data(), 2, 2); }), "Skip 2 is out of bounds for data of 2 bytes");
}

TEST(DnstapVarint, EncodesAndRoundTrips) {
    Bytes out = bytes({0xEE});
    encodeVarint(out, 0);
    encodeVarint(out, 300);
    EXPECT_EQ(out, bytes({0xEE, 0x00, 0xAC, 0x02}));
    for (uint64_t v : {uint64_t{0}, uint64_t{1}, uint64_t{127}, uint64_t{128}, uint64_t{16383}, uint64_t{16384},
                       uint64_t{1} << 32, uint64_t{1} << 63, UINT64_MAX}) {
        Bytes b;
        encodeVarint(b, v);
        uint64_t back = 0;
        EXPECT_EQ(decodeVarint(&back, b.data(), static_cast<unsigned int>(b.size()), 0), b.size());
        EXPECT_EQ(back, v);
    }
    Bytes max;
    encodeVarint(max, UINT64_MAX);
    EXPECT_EQ(max.size(), 10u);
}

TEST(DnstapFixed, ReadsLittleEndianAndChecksBounds) {
    const Bytes b = bytes({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08});
    uint32_t v32 = 0;
    uint64_t v64 = 0;
    EXPECT_EQ(decodeFixed32(&v32, b.data(), 8, 4), 8u);
    EXPECT_EQ(v32, 0x08070605u);
    EXPECT_EQ(decodeFixed64(&v64, b.data(), 8, 0), 8u);
    EXPECT_EQ(v64, 0x0807060504030201ULL);
    EXPECT_EQ(skipFixed32(b.data(), 8, 4), 8u);
    EXPECT_EQ(skipFixed64(b.data(), 8, 0), 8u);

    EXPECT_EQ(errorOf([&] { decodeFixed32(&v32, b.data(), 8, 5); }), "Not enough bytes to decode fixed32 field");
    EXPECT_EQ(errorOf([&] { decodeFixed64(&v64, b.data(), 8, 1); }), "Not enough bytes to decode fixed64 field");
    EXPECT_EQ(errorOf([&] { skipFixed32(b.data(), 3, 0); }), "Not enough bytes to skip fixed32 field");
    EXPECT_EQ(errorOf([&] { skipFixed64(b.data(), 7, 0); }), "Not enough bytes to skip fixed64 field");
    // Offsets near the 32-bit limit must not wrap into a passing check.
    EXPECT_EQ(errorOf([&] { decodeFixed32(&v32, b.data(), 8, 0xFFFFFFFE); }),
              "Not enough bytes to decode fixed32 field");
    EXPECT_EQ(errorOf([&] { skipFixed64(b.data(), 8, 0xFFFFFFFC); }), "Not enough bytes to skip fixed64 field");

    Bytes out;
    encodeFixed32(out, 0x08070605u);
    EXPECT_EQ(out, bytes({0x05, 0x06, 0x07, 0x08}));
}

TEST(DnstapFields, TagsLengthsAndSkips) {
    unsigned int field = 0;
    unsigned char wt = 0;
    const Bytes tag = bytes({0x72});
    EXPECT_EQ(decodeTag(&field, &wt, tag.data(), 1, 0), 1u);
    EXPECT_EQ(field, 14u);
    EXPECT_EQ(wt, 2);

    // A field number beyond 32 bits is not narrowed onto a small known one.
    Bytes big;
    encodeVarint(big, (uint64_t{1} << 35 | 1) << 3 | 2);
    decodeTag(&field, &wt, big.data(), static_cast<unsigned int>(big.size()), 0);
    EXPECT_NE(field, 1u);

    Bytes enc;
    encodeTag(enc, 15, 0);
    encodeTag(enc, 1000, 5);
    EXPECT_EQ(enc, bytes({0x78, 0xC5, 0x3E}));

    const Bytes b = bytes({0x03, 'a', 'b', 'c', 0x04, 'x'});
    uint64_t length = 0;
    EXPECT_EQ(decodeBytesLength(&length, b.data(), 6, 0), 1u);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(skipBytes(b.data(), 6, 0), 4u);
    EXPECT_EQ(errorOf([&] { skipBytes(b.data(), 6, 4); }),
              "Invalid length 4 for bytes field with only 1 bytes remaining");
    EXPECT_EQ(errorOf([&] { decodeBytesLength(&length, b.data(), 3, 0); }),
              "Invalid length 3 for bytes field with only 2 bytes remaining");
    // A huge declared length is rejected before anything is read or allocated.
    Bytes huge;
    encodeVarint(huge, UINT64_MAX);
    EXPECT_EQ(errorOf([&] { decodeBytesLength(&length, huge.data(), 10, 0); }),
              "Invalid length 18446744073709551615 for bytes field with only 0 bytes remaining");

    const Bytes any = bytes({0x96, 0x01, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(skip(0, any.data(), 8, 0), 2u);
    EXPECT_EQ(skip(1, any.data(), 8, 0), 8u);
    EXPECT_EQ(skip(5, any.data(), 8, 0), 4u);
    EXPECT_EQ(skip(2, b.data(), 6, 0), 4u);
    for (unsigned char w : {3, 4, 6, 7}) {
        EXPECT_EQ(errorOf([&] { skip(w, any.data(), 8, 0); }),
                  "Decode dnstap failed: Unknown top-level field type " + std::to_string(w));
    }

    Bytes eb = bytes({0x01});
    encodeBytes(eb, nullptr, 0);
    const Bytes payload = text("hey");
    encodeBytes(eb, payload.data(), 3);
    EXPECT_EQ(eb, bytes({0x01, 0x00, 0x03, 'h', 'e', 'y'}));
}

TEST(DnstapEncode, EmptyEventIsMinimalFrame) {
    DnstapEvent e = emptyEvent();
    Bytes out = bytes({0xAA});
    encodeDnstapEvent(out, e);
    EXPECT_EQ(out, bytes({0xAA, 0x78, 0x01, 0x72, 0x02, 0x08, 0x00}));
}

TEST(DnstapEncode, WritesFieldsInFixedOrder) {
    DnstapEvent e = emptyEvent();
    e.identity = text("id");
    e.type = 5;
    e.socket_family = 1;
    e.socket_protocol = 2;
    e.query_address = bytes({127, 0, 0, 1});
    e.response_address = bytes({10, 0, 0, 1});
    e.query_port = 1;
    e.query_time_sec = 2;
    e.query_time_nsec = 3;
    e.query_message = bytes({0xAB});
    e.response_port = 4;
    e.response_time_sec = 5;
    e.response_time_nsec = 6;
    e.response_message = bytes({0xCD});
    Bytes out;
    encodeDnstapEvent(out, e);
    const Bytes message = bytes({0x08, 5, 0x10, 1, 0x18, 2, 0x22, 4, 127, 0, 0, 1, 0x2A, 4, 10, 0, 0, 1,
                                 0x30, 1, 0x40, 2, 0x4D, 3, 0, 0, 0, 0x52, 1, 0xAB, 0x38, 4, 0x60, 5,
                                 0x6D, 6, 0, 0, 0, 0x72, 1, 0xCD});
    Bytes expected = bytes({0x0A, 2, 'i', 'd', 0x78, 0x01, 0x72});
    expected.push_back(static_cast<unsigned char>(message.size()));
    expected.insert(expected.end(), message.begin(), message.end());
    EXPECT_EQ(out, expected);
    EXPECT_EQ(e.messageBuffer, message);
}

TEST(DnstapDecode, RoundTripsEncodedEvents) {
    DnstapEvent in = sampleEvent();
    Bytes out;
    encodeDnstapEvent(out, in);
    DnstapEvent back = emptyEvent();
    EXPECT_EQ(decode(back, out), out.size());
    expectSameFields(in, back);
    EXPECT_EQ(getDnstapEventType(out.data(), static_cast<unsigned int>(out.size()), 0), 6u);

    // Extreme values survive too.
    in.type = UINT64_MAX;
    in.query_time_nsec = UINT32_MAX;
    in.response_port = UINT64_MAX;
    in.identity.clear();
    out.clear();
    encodeDnstapEvent(out, in);
    EXPECT_EQ(decode(back, out), out.size());
    expectSameFields(in, back);
}

TEST(DnstapDecode, EmptyRangeGivesEmptyEvent) {
    DnstapEvent e = sampleEvent();
    const Bytes b = bytes({0x78, 0x01});
    EXPECT_EQ(decodeDnstapEvent(e, b.data(), 2, 2), 2u);
    expectSameFields(e, emptyEvent());
    EXPECT_EQ(decodeDnstapEvent(e, nullptr, 0, 0), 0u);
}

TEST(DnstapDecode, FrameTypeField) {
    DnstapEvent e = emptyEvent();
    EXPECT_EQ(errorOf([&] { decode(e, bytes({0x78, 0x02})); }), "Expected type field to be 1 but got 2");
    EXPECT_EQ(errorOf([&] { decode(e, bytes({0x7D, 1, 0, 0, 0})); }),
              "Expected type field to use varint type but got 5");
    // No type field at all is accepted.
    const Bytes noType = bytes({0x72, 0x02, 0x08, 0x03});
    EXPECT_EQ(decode(e, noType), 4u);
    EXPECT_EQ(e.type, 3u);
}

TEST(DnstapDecode, SkipsUnknownFieldsAroundKnownOnes) {
    // Message: query_message, field 11 (bytes), response_time_sec, field 15 and 200, response_port.
    Bytes msg = bytes({0x08, 0x06, 0x52, 0x02, 0xAA, 0xBB, 0x5A, 0x03, 1, 2, 3, 0x60, 0x07});
    encodeTag(msg, 15, 0);
    encodeVarint(msg, 99);
    encodeTag(msg, 200, 5);
    encodeFixed32(msg, 1);
    encodeTag(msg, 0, 1);
    msg.insert(msg.end(), 8, 0x11);
    msg.push_back(0x38);
    msg.push_back(53);
    // Frame: unknown field 4 (fixed64), frame 5 (varint), then the Message.
    Bytes b = bytes({0x21, 1, 2, 3, 4, 5, 6, 7, 8, 0x28, 0x96, 0x01});
    const Bytes f = frame(msg);
    b.insert(b.end(), f.begin(), f.end());
    DnstapEvent e = emptyEvent();
    EXPECT_EQ(decode(e, b), b.size());
    EXPECT_EQ(e.type, 6u);
    EXPECT_EQ(e.query_message, bytes({0xAA, 0xBB}));
    EXPECT_EQ(e.response_time_sec, 7u);
    EXPECT_EQ(e.response_port, 53u);
}

TEST(DnstapDecode, WrongWireTypesOfKnownFields) {
    struct Case {
        unsigned int field;
        bool inMessage;
        unsigned char wt;
        std::string message;
    };
    const Case cases[] = {
        {1, false, 0, "Expected identity field to use bytes type but got 0"},
        {2, false, 5, "Expected version field to use bytes type but got 5"},
        {3, false, 1, "Expected extra field to use bytes type but got 1"},
        {14, false, 0, "Expected message field to use bytes type but got 0"},
        {15, false, 2, "Expected type field to use varint type but got 2"},
        {1, true, 2, "Expected message type field to use varint type but got 2"},
        {2, true, 5, "Expected message socket_family field to use varint type but got 5"},
        {3, true, 1, "Expected message socket_protocol field to use varint type but got 1"},
        {4, true, 0, "Expected message query_address field to use bytes type but got 0"},
        {5, true, 0, "Expected message response_address field to use bytes type but got 0"},
        {6, true, 2, "Expected message query_port field to use varint type but got 2"},
        {7, true, 5, "Expected message response_port field to use varint type but got 5"},
        {8, true, 2, "Expected message query_time_sec field to use varint type but got 2"},
        {9, true, 0, "Expected message query_time_nsec field to use fixed32 type but got 0"},
        {10, true, 5, "Expected message query_message field to use bytes type but got 5"},
        {12, true, 1, "Expected message response_time_sec field to use varint type but got 1"},
        {13, true, 0, "Expected message response_time_nsec field to use fixed32 type but got 0"},
        {14, true, 0, "Expected message response_message field to use bytes type but got 0"},
    };
    for (const auto& c : cases) {
        Bytes field;
        encodeTag(field, c.field, c.wt);
        // Enough well-formed value bytes for any wire type.
        field.insert(field.end(), {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
        const Bytes b = c.inMessage ? frame(field) : field;
        DnstapEvent e = emptyEvent();
        EXPECT_EQ(errorOf([&] { decode(e, b); }), c.message) << "field " << c.field;
    }
}

TEST(DnstapDecode, SkippedFieldWithGroupWireTypeFails) {
    DnstapEvent e = emptyEvent();
    EXPECT_EQ(errorOf([&] { decode(e, bytes({0x2B})); }), "Decode dnstap failed: Unknown top-level field type 3");
    EXPECT_EQ(errorOf([&] { decode(e, frame(bytes({0x5C}))); }),
              "Decode dnstap failed: Unknown top-level field type 4");
}

TEST(DnstapDecode, MessageFieldsCannotReachBeyondTheMessage) {
    // query_message claims 5 bytes; the Message holds 3 after the length,
    // while the frame has plenty after the Message.
    Bytes b = frame(bytes({0x52, 0x05, 1, 2, 3}));
    b.insert(b.end(), {0x0A, 0x03, 'a', 'b', 'c'});
    DnstapEvent e = emptyEvent();
    EXPECT_EQ(errorOf([&] { decode(e, b); }), "Invalid length 5 for bytes field with only 3 bytes remaining");
    // A varint running to the end of the Message reports the Message's size.
    Bytes v = frame(bytes({0x30, 0x80}));
    v.push_back(0x01);
    EXPECT_EQ(errorOf([&] { decode(e, v); }),
              "Read variable length encoded uint failed: Offset 2 is out of bounds for data of 2 bytes");
    // A fixed32 at the end of the Message.
    Bytes f = frame(bytes({0x4D, 1, 2}));
    f.insert(f.end(), {0x00, 0x00});
    EXPECT_EQ(errorOf([&] { decode(e, f); }), "Not enough bytes to decode fixed32 field");
}

TEST(DnstapDecode, RepeatedFieldsKeepLastValue) {
    Bytes b = bytes({0x0A, 1, 'a', 0x0A, 2, 'b', 'c'});
    const Bytes first = frame(bytes({0x08, 5, 0x30, 9, 0x52, 1, 0x11}));
    const Bytes second = frame(bytes({0x08, 6, 0x52, 2, 0x22, 0x33}));
    b.insert(b.end(), first.begin(), first.end());
    b.insert(b.end(), second.begin(), second.end());
    DnstapEvent e = emptyEvent();
    EXPECT_EQ(decode(e, b), b.size());
    EXPECT_EQ(e.identity, text("bc"));
    EXPECT_EQ(e.type, 6u);
    EXPECT_EQ(e.query_port, 9u);  // absent from the second Message
    EXPECT_EQ(e.query_message, bytes({0x22, 0x33}));
}

TEST(DnstapDecode, ResetsEveryFieldBeforeReading) {
    DnstapEvent e = sampleEvent();
    decode(e, frame(bytes({0x08, 0x01})));
    DnstapEvent expected = emptyEvent();
    expected.type = 1;
    expectSameFields(e, expected);

    DnstapEvent partial = sampleEvent();
    resetDnstapEvent(partial, false);
    EXPECT_EQ(partial.identity, text("resolver1"));
    EXPECT_EQ(partial.extra, bytes({0x00, 0xFF}));
    EXPECT_TRUE(partial.query_message.empty());
    EXPECT_EQ(partial.response_time_nsec, 0u);
}

TEST(DnstapDecode, ReusedEventDoesNotAllocate) {
    DnstapEvent in = sampleEvent();
    Bytes payload;
    encodeDnstapEvent(payload, in);
    DnstapEvent e = emptyEvent();
    decode(e, payload);  // warm-up grows the fields once
    DnstapEvent smaller = sampleEvent();
    smaller.query_message.resize(3);
    smaller.identity.clear();
    Bytes payload2;
    encodeDnstapEvent(payload2, smaller);

    allocations = 0;
    countAllocations = true;
    for (int i = 0; i < 100; ++i) {
        decode(e, i % 2 ? payload : payload2);
        getDnstapEventType(payload.data(), static_cast<unsigned int>(payload.size()), 0);
    }
    countAllocations = false;
    EXPECT_EQ(allocations.load(), 0);
    expectSameFields(e, in);
}

TEST(DnstapType, FindsTheMessageType) {
    // Unknown frame fields and a Message without type come first.
    Bytes b = bytes({0x0A, 1, 'x', 0x78, 0x07});
    const Bytes noType = frame(bytes({0x30, 0x01}));
    const Bytes withType = frame(bytes({0x52, 1, 0xFF, 0x08, 0x0C}));
    b.insert(b.end(), noType.begin() + 2, noType.end());  // without its 0x78 0x01
    b.insert(b.end(), withType.begin() + 2, withType.end());
    EXPECT_EQ(getDnstapEventType(b.data(), static_cast<unsigned int>(b.size()), 0), 12u);

    const Bytes none = frame(bytes({0x30, 0x01}));
    EXPECT_EQ(errorOf([&] { getDnstapEventType(none.data(), static_cast<unsigned int>(none.size()), 0); }),
              "Message type field not found");
    EXPECT_EQ(errorOf([&] { getDnstapEventType(nullptr, 0, 0); }), "Message type field not found");
    const Bytes badMsg = bytes({0x70, 0x01});
    EXPECT_EQ(errorOf([&] { getDnstapEventType(badMsg.data(), 2, 0); }),
              "Expected message field to use bytes type but got 0");
    const Bytes badType = frame(bytes({0x0D, 1, 0, 0, 0}));
    EXPECT_EQ(errorOf([&] { getDnstapEventType(badType.data(), static_cast<unsigned int>(badType.size()), 0); }),
              "Expected message type field to use varint type but got 5");
}

// Hostile input: random bytes, every truncation and byte flips of valid
// frames. Each decode either consumes the whole range or throws DnstapError;
// nothing else may escape, and under the sanitizers nothing is read out of
// bounds (every input is copied into an exactly sized heap buffer).
TEST(DnstapRobustness, RandomAndTruncatedInputs) {
    std::mt19937 rng(20240607);
    DnstapEvent e = emptyEvent();
    long decoded = 0;
    long failed = 0;
    auto check = [&](const Bytes& input) {
        std::unique_ptr<unsigned char[]> exact(new unsigned char[input.size() + 1]);
        std::copy(input.begin(), input.end(), exact.get());
        const auto size = static_cast<unsigned int>(input.size());
        try {
            EXPECT_EQ(decodeDnstapEvent(e, exact.get(), size, 0), size);
            ++decoded;
            EXPECT_LE(e.query_message.size(), input.size());
        } catch (const DnstapError&) {
            ++failed;
        }
        try {
            getDnstapEventType(exact.get(), size, 0);
        } catch (const DnstapError&) {
        }
    };

    std::vector<Bytes> seeds;
    Bytes enc;
    DnstapEvent s = sampleEvent();
    encodeDnstapEvent(enc, s);
    seeds.push_back(enc);
    enc.clear();
    DnstapEvent z = emptyEvent();
    encodeDnstapEvent(enc, z);
    seeds.push_back(enc);

    for (const Bytes& seed : seeds) {
        for (size_t n = 0; n <= seed.size(); ++n) {
            check(Bytes(seed.begin(), seed.begin() + static_cast<long>(n)));
        }
        for (int i = 0; i < 20000; ++i) {
            Bytes m = seed;
            const int flips = 1 + static_cast<int>(rng() % 4);
            for (int k = 0; k < flips; ++k) {
                m[rng() % m.size()] = static_cast<unsigned char>(rng());
            }
            check(m);
        }
    }
    // Random bytes, biased toward key bytes of known fields so that deep
    // paths are reached.
    const unsigned char keys[] = {0x0A, 0x12, 0x1A, 0x72, 0x78, 0x08, 0x22, 0x4D, 0x52, 0x6D, 0x80, 0xFF};
    for (int i = 0; i < 50000; ++i) {
        Bytes m(rng() % 64);
        for (auto& b : m) {
            b = rng() % 3 ? static_cast<unsigned char>(rng() % 8) : keys[rng() % sizeof(keys)];
        }
        check(m);
    }
    EXPECT_GT(decoded, 0);
    EXPECT_GT(failed, 0);
}

namespace {

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

} // namespace

// Frames captured from a real resolver (which writes the frame type after
// the Message), for a UDP A query and a TCP AAAA response.
TEST(DnstapDecode, CapturedResolverFrames) {
    const Bytes query = fromHex(
        "0A02766D120E756E626F756E6420312E31372E31726008051001180122047F0000012A047F00000130B0C103389BDB0240B7EEE1"
        "D8064D1095B202523932230120000100000000000103777777076578616D706C650474657374000001000100002904D000000000"
        "000C000A000819D05E549A65AAAB7801");
    const Bytes response = fromHex(
        "0A02766D120E756E626F756E6420312E31372E31727008061001180222047F0000012A047F0000013099B702389BDB0260B7EEE1"
        "D8066DA033E203724979368580000100010000000103777777076578616D706C65047465737400001C0001C00C001C0001000001"
        "2C001020010DB800000000000000000000001000002904D00000000000007801");
    DnstapEvent e = emptyEvent();
    EXPECT_EQ(decode(e, query), query.size());
    EXPECT_EQ(e.identity, text("vm"));
    EXPECT_EQ(e.version, text("unbound 1.17.1"));
    EXPECT_TRUE(e.extra.empty());
    EXPECT_EQ(e.type, 5u);
    EXPECT_EQ(e.socket_family, 1u);
    EXPECT_EQ(e.socket_protocol, 1u);
    EXPECT_EQ(e.query_address, bytes({127, 0, 0, 1}));
    EXPECT_EQ(e.response_address, bytes({127, 0, 0, 1}));
    EXPECT_EQ(e.query_port, 57520u);
    EXPECT_EQ(e.response_port, 44443u);
    EXPECT_EQ(e.query_time_sec, 1796765495u);
    EXPECT_EQ(e.query_time_nsec, 45258000u);
    EXPECT_EQ(e.query_message.size(), 57u);
    EXPECT_EQ(e.query_message[0], 0x32);
    EXPECT_EQ(e.query_message[56], 0xAB);
    EXPECT_EQ(e.response_time_sec, 0u);
    EXPECT_TRUE(e.response_message.empty());
    EXPECT_EQ(getDnstapEventType(query.data(), static_cast<unsigned int>(query.size()), 0), 5u);

    EXPECT_EQ(decode(e, response), response.size());
    EXPECT_EQ(e.type, 6u);
    EXPECT_EQ(e.socket_protocol, 2u);
    EXPECT_EQ(e.query_port, 39833u);
    EXPECT_EQ(e.response_time_sec, 1796765495u);
    EXPECT_EQ(e.response_time_nsec, 65156000u);
    EXPECT_EQ(e.query_time_sec, 0u);
    EXPECT_TRUE(e.query_message.empty());
    EXPECT_EQ(e.response_message.size(), 73u);
    // The AAAA answer's address sits just before the OPT record.
    const Bytes tail(e.response_message.end() - 27, e.response_message.end() - 11);
    EXPECT_EQ(tail, fromHex("20010DB8000000000000000000000010"));

    // Our encoding of the decoded event decodes to the same fields.
    Bytes again;
    encodeDnstapEvent(again, e);
    DnstapEvent back = emptyEvent();
    EXPECT_EQ(decode(back, again), again.size());
    expectSameFields(e, back);
}
