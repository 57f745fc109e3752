// Formatting settings of text events and the headers every text line starts
// with: the opening of a JSON object and the RFC 5424 / RFC 3164 syslog header.
#pragma once

#include <cstdint>
#include <vector>

namespace ns::event::format {

// Filled once from the configuration and passed by value; read-only after.
struct EventFormatterConfig {
    EventFormatterConfig();

    uint32_t format;            // 0 JSON, 1 query-log lines, 2 dnstap unchanged
    uint32_t pid;               // PROCID of the syslog header
    uint32_t priority;          // syslog PRI, written unchecked
    bool rfc3164;               // RFC 3164 header instead of RFC 5424
    std::vector<uint8_t> host;  // host name, no terminating NUL
    bool querylogExtended;
    bool domainSuffix;
    bool builtinSuffixes;
    bool configSuffixes;
    bool fqdnTrailingDot;
};

// Appends {"timestamp":"...","host":"...","schema":1 and leaves the object
// open for the event's own keys.
void formatJsonHeader(std::vector<uint8_t>& out, const EventFormatterConfig& config, int64_t seconds,
                      uint32_t nanoseconds);

// Appends the syslog header in the form config.rfc3164 selects, up to and
// including the blank before the message.
void formatSyslogHeader(std::vector<uint8_t>& out, const EventFormatterConfig& config, int64_t seconds,
                        uint32_t nanoseconds);

} // namespace ns::event::format
