// libFuzzer target: arbitrary bytes through the forwarder's text path (dnstap
// decode, extraction, format) and, taken as a DNS message, straight into the
// formatter. A formatted event is one line: a single newline, at its end; a
// declined event leaves the buffer as it was.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "dns/dns.h"
#include "dns/dnstap.h"
#include "dns/event.h"
#include "dns/formatter.h"
#include "dns/psl.h"

using ns::net::dns::DnsMessageEvent;
using ns::net::dns::DnsMessageEventFormatter;

namespace {

ns::event::format::EventFormatterConfig makeConfig(uint32_t format, bool extended, bool rfc3164, bool trailingDot) {
    ns::event::format::EventFormatterConfig c;
    c.format = format;
    c.querylogExtended = extended;
    c.rfc3164 = rfc3164;
    c.fqdnTrailingDot = trailingDot;
    return c;
}

struct Formatters {
    Formatters() {
        ns::net::dns::loadPslDomainSuffixes(true);
        ns::net::dns::addDomainSuffix("example.com", true);
    }
    DnsMessageEventFormatter json{makeConfig(0, false, false, true)};
    DnsMessageEventFormatter standard{makeConfig(1, false, true, true)};
    DnsMessageEventFormatter extended{makeConfig(1, true, false, true)};
    DnsMessageEventFormatter noDot{makeConfig(0, false, false, false)};
};

void check(DnsMessageEventFormatter& formatter, DnsMessageEvent& event) {
    static std::vector<uint8_t> out;
    out.assign({'x'});
    if (!formatter.format(out, event)) {
        if (out.size() != 1)
            std::abort();
        return;
    }
    if (out.size() < 3 || out.back() != '\n')
        std::abort();
    for (size_t i = 1; i + 1 < out.size(); ++i)
        if (out[i] == '\n')
            std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Formatters f;
    static ns::encoding::dnstap::DnstapEvent frame{};
    static DnsMessageEvent event;

    try {
        ns::encoding::dnstap::decodeDnstapEvent(frame, data, static_cast<unsigned>(size), 0);
        if (ns::net::dns::extractDnsMessageEventFromDnstapEvent(event, frame)) {
            check(f.json, event);
            check(f.standard, event);
            check(f.extended, event);
        }
    } catch (const ns::encoding::dnstap::DnstapError&) {
    } catch (const ns::net::dns::DnsError&) {
    }

    // The bytes as the DNS message of a response and of a query event.
    static std::vector<uint8_t> message;
    message.assign(data, data + size);
    DnsMessageEvent direct;
    direct.timeSec = 1;
    direct.message = &message;
    for (uint64_t type : {6u, 5u, 13u}) {
        direct.type = type;
        direct.isQuery = type % 2 == 1;
        check(f.json, direct);
        check(f.extended, direct);
        check(f.noDot, direct);
    }
    return 0;
}
