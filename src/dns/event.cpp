#include "dns/event.h"

#include <string>

#include "dns/dns.h"
#include "dns/dnstap.h"
#include "foundation/encoding/ip.h"

namespace ns::net::dns {

namespace {

[[noreturn]] void fail(const char* text, uint64_t value) {
    std::string message(text);
    message += std::to_string(value);
    throw DnsError(message);
}

// Address text of a raw dnstap address field; `what` names the field in the
// failure message.
void formatAddress(std::vector<uint8_t>& out, const std::vector<unsigned char>& address, uint64_t family,
                   const char* what) {
    switch (address.size()) {
    case 0:
        return;
    case 4:
        ns::encoding::ip::formatIpv4(out, address.data());
        return;
    case 16:
        // Family 1 is IPv4 carried in a 16-byte field: only the last four count.
        if (family == 1)
            ns::encoding::ip::formatIpv4(out, address.data() + 12);
        else
            ns::encoding::ip::formatIpv6(out, address.data());
        return;
    default:
        fail(what, address.size());
    }
}

} // namespace

bool extractDnsMessageEventFromDnstapEvent(DnsMessageEvent& event, ns::encoding::dnstap::DnstapEvent& dnstap) {
    event.type = dnstap.type;
    event.socketProtocol = dnstap.socket_protocol;
    event.clientPort = dnstap.query_port;

    if (dnstap.type > 12 || dnstap.type == 0)
        return false;

    if (dnstap.type % 2 == 0) {
        event.isQuery = false;
        if (dnstap.response_time_sec == 0)
            fail("Expected message response_time_sec not to be 0 but got ", dnstap.response_time_sec);
        event.timeSec = dnstap.response_time_sec;
        if (dnstap.response_time_nsec > 999999999)
            fail("Expected message response_time_nsec to be less than 1000000000 but got ",
                 dnstap.response_time_nsec);
        event.timeNsec = dnstap.response_time_nsec;
        if (dnstap.response_message.empty())
            return false;
        event.message = &dnstap.response_message;
    } else {
        event.isQuery = true;
        if (dnstap.query_time_sec == 0)
            fail("Expected message query_time_sec not to be 0 but got ", dnstap.query_time_sec);
        event.timeSec = dnstap.query_time_sec;
        if (dnstap.query_time_nsec > 999999999)
            fail("Expected message query_time_nsec to be less than 1000000000 but got ", dnstap.query_time_nsec);
        event.timeNsec = dnstap.query_time_nsec;
        if (dnstap.query_message.empty())
            return false;
        event.message = &dnstap.query_message;
    }

    event.serverAddress.clear();
    event.clientAddress.clear();
    formatAddress(event.clientAddress, dnstap.query_address, dnstap.socket_family,
                  "Expected message query_address to be 0, 4 or 16 bytes but got ");
    formatAddress(event.serverAddress, dnstap.response_address, dnstap.socket_family,
                  "Expected message response_address to be 0, 4 or 16 bytes but got ");
    return true;
}

} // namespace ns::net::dns
