// Turns one DnsMessageEvent into one output line: a JSON object or a
// query-log line behind a syslog header.
#pragma once

#include <cstdint>
#include <vector>

#include "dns/dns.h"
#include "dns/event.h"
#include "dns/format.h"

namespace ns::net::dns {

// Not safe for concurrent use: every format() decodes into the one workspace
// and stores registered-domain offsets in it. `config` and `isDnstap` are
// only read after construction and may be read from any thread.
class DnsMessageEventFormatter {
public:
    explicit DnsMessageEventFormatter(ns::event::format::EventFormatterConfig config);
    ~DnsMessageEventFormatter();

    DnsMessageEventFormatter(const DnsMessageEventFormatter&) = delete;
    DnsMessageEventFormatter& operator=(const DnsMessageEventFormatter&) = delete;

    // True when the output is the dnstap payload itself (nothing to format).
    bool isFormatDnstap() const;

    // Appends one line for the event and returns true, or leaves `out` as it
    // was and returns false (dnstap output, unknown event type). When it
    // throws, `out` is back at its length on entry as well.
    bool format(std::vector<uint8_t>& out, DnsMessageEvent& event);

    DnsMessage dnsMessage;
    ns::event::format::EventFormatterConfig config;
    bool isDnstap;
};

} // namespace ns::net::dns
