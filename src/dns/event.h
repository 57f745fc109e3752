// One side of a dnstap exchange as the event formatter sees it: direction,
// time, addresses as text, client port, transport and the DNS message.
#pragma once

#include <cstdint>
#include <vector>

namespace ns::encoding::dnstap {
struct DnstapEvent;
}

namespace ns::net::dns {

// Owned by one forwarder thread and reused for every event: the address texts
// keep their storage. `message` points into the DnstapEvent it was extracted
// from, which must outlive its use and not be decoded into meanwhile.
struct DnsMessageEvent {
    uint64_t type = 0;
    bool isQuery = false;
    uint64_t timeSec = 0;
    uint32_t timeNsec = 0;
    uint64_t socketProtocol = 0;
    std::vector<uint8_t> serverAddress;
    std::vector<uint8_t> clientAddress;
    uint64_t clientPort = 0;
    const std::vector<uint8_t>* message = nullptr;
};

// Fills `event` from `dnstap`. Returns false for a frame with nothing to
// format (unknown type, no message of the chosen side); throws DnsError when
// a time or an address field is out of range. `dnstap` is not changed.
bool extractDnsMessageEventFromDnstapEvent(DnsMessageEvent& event,
                                           ns::encoding::dnstap::DnstapEvent& dnstap);

} // namespace ns::net::dns
