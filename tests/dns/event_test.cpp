#include "dns/event.h"

#include <gtest/gtest.h>

#include <string>

#include "dns/dns.h"
#include "dns/dnstap.h"

namespace {

using ns::encoding::dnstap::DnstapEvent;
using ns::net::dns::DnsError;
using ns::net::dns::DnsMessageEvent;
using ns::net::dns::extractDnsMessageEventFromDnstapEvent;

std::string text(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

DnstapEvent makeEvent(uint64_t type) {
    DnstapEvent e{};
    e.type = type;
    e.socket_family = 1;
    e.socket_protocol = 1;
    e.query_address = {192, 0, 2, 1};
    e.response_address = {192, 0, 2, 53};
    e.query_port = 5353;
    e.response_port = 53;
    e.query_time_sec = 100;
    e.query_time_nsec = 1;
    e.query_message = {0x11, 0x22};
    e.response_time_sec = 200;
    e.response_time_nsec = 2;
    e.response_message = {0x33};
    return e;
}

TEST(DnsMessageEventTest, QueryTakesTheQuerySide) {
    for (uint64_t type : {1, 3, 5, 7, 9, 11}) {
        DnstapEvent d = makeEvent(type);
        DnsMessageEvent e;
        ASSERT_TRUE(extractDnsMessageEventFromDnstapEvent(e, d)) << type;
        EXPECT_EQ(e.type, type);
        EXPECT_TRUE(e.isQuery);
        EXPECT_EQ(e.timeSec, 100u);
        EXPECT_EQ(e.timeNsec, 1u);
        EXPECT_EQ(e.message, &d.query_message);
        EXPECT_EQ(e.socketProtocol, 1u);
        EXPECT_EQ(e.clientPort, 5353u);
        EXPECT_EQ(text(e.clientAddress), "192.0.2.1");
        EXPECT_EQ(text(e.serverAddress), "192.0.2.53");
    }
}

TEST(DnsMessageEventTest, ResponseTakesTheResponseSide) {
    for (uint64_t type : {2, 4, 6, 8, 10, 12}) {
        DnstapEvent d = makeEvent(type);
        DnsMessageEvent e;
        ASSERT_TRUE(extractDnsMessageEventFromDnstapEvent(e, d)) << type;
        EXPECT_FALSE(e.isQuery);
        EXPECT_EQ(e.timeSec, 200u);
        EXPECT_EQ(e.timeNsec, 2u);
        EXPECT_EQ(e.message, &d.response_message);
    }
}

TEST(DnsMessageEventTest, DeclinedTypesStillCopyTheFirstFields) {
    for (uint64_t type : {0ull, 13ull, 14ull, 0xFFFFFFFFFFFFFFFFull}) {
        DnstapEvent d = makeEvent(type);
        d.socket_protocol = 7;
        d.query_port = 99;
        DnsMessageEvent e;
        EXPECT_FALSE(extractDnsMessageEventFromDnstapEvent(e, d)) << type;
        EXPECT_EQ(e.type, type);
        EXPECT_EQ(e.socketProtocol, 7u);
        EXPECT_EQ(e.clientPort, 99u);
        EXPECT_TRUE(e.clientAddress.empty());
    }
}

TEST(DnsMessageEventTest, EmptyPayloadDecodesToADeclinedEvent) {
    DnstapEvent d{};
    ns::encoding::dnstap::decodeDnstapEvent(d, nullptr, 0, 0);
    DnsMessageEvent e;
    EXPECT_FALSE(extractDnsMessageEventFromDnstapEvent(e, d));
}

struct FailCase {
    const char* name;
    uint64_t type;
    void (*change)(DnstapEvent&);
    const char* message;
};

TEST(DnsMessageEventTest, FailuresInTheirOrder) {
    const FailCase cases[] = {
        {"response zero time, query time set", 6, [](DnstapEvent& d) { d.response_time_sec = 0; },
         "Expected message response_time_sec not to be 0 but got 0"},
        {"response zero time before empty message", 6,
         [](DnstapEvent& d) {
             d.response_time_sec = 0;
             d.response_message.clear();
         },
         "Expected message response_time_sec not to be 0 but got 0"},
        {"response nsec too big", 2, [](DnstapEvent& d) { d.response_time_nsec = 1000000000; },
         "Expected message response_time_nsec to be less than 1000000000 but got 1000000000"},
        {"query zero time", 5, [](DnstapEvent& d) { d.query_time_sec = 0; },
         "Expected message query_time_sec not to be 0 but got 0"},
        {"query nsec too big", 5, [](DnstapEvent& d) { d.query_time_nsec = 4294967295u; },
         "Expected message query_time_nsec to be less than 1000000000 but got 4294967295"},
        {"query nsec 1e9", 1, [](DnstapEvent& d) { d.query_time_nsec = 1000000000; },
         "Expected message query_time_nsec to be less than 1000000000 but got 1000000000"},
        {"client address 5 bytes", 5, [](DnstapEvent& d) { d.query_address.assign(5, 1); },
         "Expected message query_address to be 0, 4 or 16 bytes but got 5"},
        {"server address 5 bytes", 6, [](DnstapEvent& d) { d.response_address.assign(5, 1); },
         "Expected message response_address to be 0, 4 or 16 bytes but got 5"},
        {"server address 17 bytes", 5, [](DnstapEvent& d) { d.response_address.assign(17, 1); },
         "Expected message response_address to be 0, 4 or 16 bytes but got 17"},
    };
    for (const auto& c : cases) {
        DnstapEvent d = makeEvent(c.type);
        c.change(d);
        DnsMessageEvent e;
        try {
            extractDnsMessageEventFromDnstapEvent(e, d);
            ADD_FAILURE() << c.name << ": no exception";
        } catch (const DnsError& err) {
            EXPECT_STREQ(err.what(), c.message) << c.name;
        }
    }
}

TEST(DnsMessageEventTest, BadServerAddressFailsAfterClientAddressIsFilled) {
    DnstapEvent d = makeEvent(6);
    d.response_address.assign(5, 1);
    DnsMessageEvent e;
    EXPECT_THROW(extractDnsMessageEventFromDnstapEvent(e, d), DnsError);
    EXPECT_EQ(text(e.clientAddress), "192.0.2.1");
}

TEST(DnsMessageEventTest, LargestNanosecondsAccepted) {
    DnstapEvent d = makeEvent(5);
    d.query_time_nsec = 999999999;
    DnsMessageEvent e;
    EXPECT_TRUE(extractDnsMessageEventFromDnstapEvent(e, d));
    EXPECT_EQ(e.timeNsec, 999999999u);
}

TEST(DnsMessageEventTest, EmptyMessageOfTheChosenSideDeclines) {
    DnstapEvent d = makeEvent(6);
    d.response_message.clear(); // the query message is still there
    DnsMessageEvent e;
    EXPECT_FALSE(extractDnsMessageEventFromDnstapEvent(e, d));

    d = makeEvent(5);
    d.query_message.clear();
    EXPECT_FALSE(extractDnsMessageEventFromDnstapEvent(e, d));
}

TEST(DnsMessageEventTest, AddressForms) {
    const std::vector<unsigned char> v6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 1};
    struct Case {
        uint64_t family;
        std::vector<unsigned char> address;
        const char* expected;
    } cases[] = {
        {1, v6, "10.0.0.1"},
        {2, v6, "2001:db8::a00:1"},
        {0, v6, "2001:db8::a00:1"},
        {2, {127, 0, 0, 1}, "127.0.0.1"},
        {1, {}, ""},
    };
    for (const auto& c : cases) {
        DnstapEvent d = makeEvent(5);
        d.socket_family = c.family;
        d.query_address = c.address;
        d.response_address = c.address;
        DnsMessageEvent e;
        ASSERT_TRUE(extractDnsMessageEventFromDnstapEvent(e, d));
        EXPECT_EQ(text(e.clientAddress), c.expected);
        EXPECT_EQ(text(e.serverAddress), c.expected);
    }
}

TEST(DnsMessageEventTest, ReusedRecordIsEmptiedBetweenEvents) {
    DnsMessageEvent e;
    DnstapEvent d = makeEvent(6);
    ASSERT_TRUE(extractDnsMessageEventFromDnstapEvent(e, d));
    d.response_address.clear();
    d.query_address = {10, 1, 2, 3};
    ASSERT_TRUE(extractDnsMessageEventFromDnstapEvent(e, d));
    EXPECT_EQ(text(e.clientAddress), "10.1.2.3");
    EXPECT_TRUE(e.serverAddress.empty());
}

TEST(DnsMessageEventTest, DnstapIsNotChanged) {
    DnstapEvent d = makeEvent(6);
    const DnstapEvent before = d;
    DnsMessageEvent e;
    ASSERT_TRUE(extractDnsMessageEventFromDnstapEvent(e, d));
    EXPECT_EQ(d.response_message, before.response_message);
    EXPECT_EQ(d.query_address, before.query_address);
    EXPECT_EQ(d.response_time_sec, before.response_time_sec);
}

} // namespace
