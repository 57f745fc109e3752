#include "dns/formatter.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <utility>

#include "dns/params.h"
#include "dns/psl.h"
#include "foundation/encoding/hex.h"
#include "foundation/encoding/json.h"

namespace ns::net::dns {

namespace {

using ns::event::format::EventFormatterConfig;

// JSON "type" values and query-log prefixes, indexed by dnstap Message type.
constexpr const char* EventTypeJson[13] = {
    nullptr,
    "\"auth-query\"",      "\"auth-response\"",
    "\"resolver-query\"",  "\"resolver-response\"",
    "\"client-query\"",    "\"client-response\"",
    "\"forwarder-query\"", "\"forwarder-response\"",
    "\"stub-query\"",      "\"stub-response\"",
    "\"tool-query\"",      "\"tool-response\"",
};

constexpr const char* EventTypeQuerylog[13] = {
    nullptr,
    "queries: client ",    "queries: client ",
    "queries: resolver ",  "queries: resolver ",
    "queries: client ",    "queries: client ",
    "queries: forwarder ", "queries: forwarder ",
    "queries: stub ",      "queries: stub ",
    "queries: tool ",      "queries: tool ",
};

// Upper bounds used to size the one buffer growth of a line: any fixed text
// of a line or of one record, and a decimal number.
constexpr size_t FixedBound = 512;
constexpr size_t RecordBound = 192;
constexpr size_t NumberBound = 20;

constexpr uint16_t FlagAa = 0x0400;
constexpr uint16_t FlagTc = 0x0200;
constexpr uint16_t FlagRd = 0x0100;
constexpr uint16_t FlagRa = 0x0080;

// Writes a line into room reserved at the end of the output buffer with one
// growth; finish() trims the buffer to what was written. Every caller has
// sized the room with the bounds above, so no write checks for space.
class LineWriter {
public:
    LineWriter(std::vector<uint8_t>& out, size_t bound) : out_(out) {
        const size_t start = out.size();
        out.resize(start + bound);
        p_ = out.data() + start;
    }

    void finish() { out_.resize(static_cast<size_t>(p_ - out_.data())); }

    void put(char c) { *p_++ = static_cast<uint8_t>(c); }

    template <size_t N>
    void lit(const char (&text)[N]) {
        std::memcpy(p_, text, N - 1);
        p_ += N - 1;
    }

    void chars(const char* text) { bytes(reinterpret_cast<const uint8_t*>(text), std::strlen(text)); }

    void bytes(const uint8_t* data, size_t n) {
        if (n != 0)
            std::memcpy(p_, data, n);
        p_ += n;
    }

    void bytes(const std::vector<uint8_t>& v) { bytes(v.data(), v.size()); }

    void quoted(const std::vector<uint8_t>& v) {
        put('"');
        bytes(v);
        put('"');
    }

    void number(uint64_t value) {
        auto* p = reinterpret_cast<char*>(p_);
        p_ = reinterpret_cast<uint8_t*>(std::to_chars(p, p + NumberBound, value).ptr);
    }

    void boolean(bool value) {
        if (value)
            lit("true");
        else
            lit("false");
    }

    void jsonStr(const uint8_t* data, size_t n) { p_ = ns::encoding::json::writeJsonStr(p_, data, n); }

    void jsonStr(const std::vector<uint8_t>& v) { jsonStr(v.data(), v.size()); }

    void hex(const uint8_t* data, size_t n) { p_ = ns::encoding::hex::writeHex(p_, data, n); }

    // Same text as formatDnsParameter: the mnemonic, else prefix and number.
    void param(const DnsParameterTable& table, uint16_t value, const char* prefix) {
        const auto it = table.find(value);
        if (it != table.end()) {
            chars(it->second);
        } else {
            chars(prefix);
            number(value);
        }
    }

private:
    std::vector<uint8_t>& out_;
    uint8_t* p_;
};

size_t recordCount(const std::vector<DnsRecord*>& records, uint16_t count) {
    return std::min(records.size(), static_cast<size_t>(count));
}

} // namespace

DnsMessageEventFormatter::DnsMessageEventFormatter(ns::event::format::EventFormatterConfig config)
    : config(std::move(config)), isDnstap(this->config.format == 2) {}

DnsMessageEventFormatter::~DnsMessageEventFormatter() = default;

bool DnsMessageEventFormatter::isFormatDnstap() const { return isDnstap; }

namespace {

// Registered-domain lookups of one line. Owner names mostly repeat the
// question name or the record before, so the last result is reused for an
// equal name instead of probing the suffix tables again.
class DomainFinder {
public:
    explicit DomainFinder(const EventFormatterConfig& config)
        : builtin_(config.builtinSuffixes), configured_(config.configSuffixes) {}

    uint32_t find(const std::vector<uint8_t>& name) {
        const uint32_t n = static_cast<uint32_t>(name.size());
        if (last_ != nullptr && last_->size() == n && (n == 0 || std::memcmp(last_->data(), name.data(), n) == 0))
            return lastOffset_;
        last_ = &name;
        lastOffset_ = getDomainSuffixOffset(name.data(), n, builtin_, configured_);
        return lastOffset_;
    }

private:
    bool builtin_;
    bool configured_;
    const std::vector<uint8_t>* last_ = nullptr;
    uint32_t lastOffset_ = 0;
};

void writeDomain(LineWriter& w, const std::vector<uint8_t>& nameLower, uint32_t offset, bool json) {
    const uint8_t* start = nameLower.data() + offset;
    const size_t n = nameLower.size() - offset;
    if (json)
        w.jsonStr(start, n);
    else
        w.bytes(start, n);
}

} // namespace

bool DnsMessageEventFormatter::format(std::vector<uint8_t>& out, DnsMessageEvent& event) {
    const bool json = config.format == 0;
    if (!json && config.format != 1)
        return false;

    const size_t entry = out.size();
    try {
        const uint8_t* packet = event.message != nullptr ? event.message->data() : nullptr;
        const uint32_t packetSize = event.message != nullptr ? static_cast<uint32_t>(event.message->size()) : 0;
        decodeDnsMessage(packet, packetSize, dnsMessage, config.fqdnTrailingDot);
        DnsMessage& m = dnsMessage;
        const bool failed = !m.error.empty();
        // A type without a name writes nothing; only an undecodable message is
        // still reported whatever its type.
        if (!failed && (event.type < 1 || event.type > 12))
            return false;

        // A time from 2^63 on would turn negative; held at the largest signed
        // value it renders the epoch like any other absurd stamp.
        const int64_t seconds = event.timeSec > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(event.timeSec);
        if (json)
            ns::event::format::formatJsonHeader(out, config, seconds, event.timeNsec);
        else
            ns::event::format::formatSyslogHeader(out, config, seconds, event.timeNsec);

        const size_t addresses = event.clientAddress.size() + event.serverAddress.size();

        if (failed) {
            if (json) {
                LineWriter w(out, FixedBound + addresses + 2 * size_t(packetSize) + 6 * m.error.size());
                w.lit(",\"type\":\"error\",\"data\":{\"client\":");
                w.quoted(event.clientAddress);
                w.lit(",\"server\":");
                w.quoted(event.serverAddress);
                w.lit(",\"port\":");
                w.number(event.clientPort);
                w.lit(",\"size\":");
                w.number(packetSize);
                w.lit(",\"packet\":\"");
                w.hex(packet, packetSize);
                w.lit("\",\"text\":");
                w.jsonStr(reinterpret_cast<const uint8_t*>(m.error.data()), m.error.size());
                w.lit("}}\n");
                w.finish();
            } else {
                LineWriter w(out, FixedBound + addresses + 2 * size_t(packetSize) + m.error.size());
                w.lit("errors: ");
                w.bytes(reinterpret_cast<const uint8_t*>(m.error.data()), m.error.size());
                w.lit(": client ");
                w.bytes(event.clientAddress);
                w.put('#');
                w.number(event.clientPort);
                w.lit(": server ");
                w.bytes(event.serverAddress);
                w.lit(": packet \\# ");
                w.number(packetSize);
                w.put(' ');
                w.hex(packet, packetSize);
                w.put('\n');
                w.finish();
            }
            return true;
        }

        const bool response = !event.isQuery;
        const bool domains = config.domainSuffix;
        DomainFinder finder(config);
        const size_t an = response ? recordCount(m.answers, m.ancount) : 0;

        if (json) {
            const size_t nsCount = response ? recordCount(m.authority, m.nscount) : 0;
            const size_t ar = response ? recordCount(m.additional, m.arcount) : 0;

            // Names and record data are presentation text, which has no byte
            // below 0x20: each byte takes at most two in a JSON string.
            size_t bound = FixedBound + addresses + 2 * (m.qname.size() + m.qnameLower.size());
            const std::vector<DnsRecord*>* sections[3] = {&m.answers, &m.authority, &m.additional};
            const size_t counts[3] = {an, nsCount, ar};
            for (int s = 0; s < 3; ++s)
                for (size_t i = 0; i < counts[s]; ++i) {
                    const DnsRecord& r = *(*sections[s])[i];
                    bound += RecordBound + 2 * (r.name.size() + r.nameLower.size() + r.rdata.size());
                }

            LineWriter w(out, bound);
            w.lit(",\"type\":");
            w.chars(EventTypeJson[event.type]);
            w.lit(",\"data\":{\"client\":");
            w.quoted(event.clientAddress);
            w.lit(",\"server\":");
            w.quoted(event.serverAddress);
            w.lit(",\"port\":");
            w.number(event.clientPort);
            w.lit(",\"proto\":\"");
            w.param(socket_protocols, static_cast<uint16_t>(event.socketProtocol), "PROTO");
            w.lit("\",\"size\":");
            w.number(packetSize);
            w.lit(",\"txid\":");
            w.number(m.id);
            w.lit(",\"flags\":{\"rd\":");
            w.boolean(m.flags & FlagRd);
            if (response) {
                w.lit(",\"ra\":");
                w.boolean(m.flags & FlagRa);
                w.lit(",\"aa\":");
                w.boolean(m.flags & FlagAa);
                w.lit(",\"tc\":");
                w.boolean(m.flags & FlagTc);
            }
            w.lit("},\"qname\":");
            w.jsonStr(m.qname);
            if (domains) {
                m.qdomainOffset = finder.find(m.qnameLower);
                w.lit(",\"qdomain\":");
                writeDomain(w, m.qnameLower, m.qdomainOffset, true);
            }
            w.lit(",\"qclass\":\"");
            w.param(record_classes, m.qclass, "CLASS");
            w.lit("\",\"qtype\":\"");
            w.param(record_types, m.qtype, "TYPE");
            w.put('"');
            if (response) {
                w.lit(",\"rcode\":\"");
                w.param(response_codes, m.flags & 0x000F, "RCODE");
                w.put('"');
                static constexpr const char* keys[3] = {",\"answers\":[", ",\"authority\":[", ",\"additional\":["};
                for (int s = 0; s < 3; ++s) {
                    w.chars(keys[s]);
                    for (size_t i = 0; i < counts[s]; ++i) {
                        DnsRecord& r = *(*sections[s])[i];
                        if (i != 0)
                            w.put(',');
                        w.lit("{\"name\":");
                        w.jsonStr(r.name);
                        if (domains) {
                            r.domainOffset = finder.find(r.nameLower);
                            w.lit(",\"domain\":");
                            writeDomain(w, r.nameLower, r.domainOffset, true);
                        }
                        w.lit(",\"ttl\":");
                        w.number(r.ttl);
                        w.lit(",\"rrclass\":\"");
                        w.param(record_classes, r.rrclass, "CLASS");
                        w.lit("\",\"rrtype\":\"");
                        w.param(record_types, r.type, "TYPE");
                        w.lit("\",\"data\":");
                        w.jsonStr(r.rdata);
                        w.put('}');
                    }
                    w.put(']');
                }
            }
            w.lit("}}\n");
            w.finish();
            return true;
        }

        const bool extended = config.querylogExtended;
        size_t bound = FixedBound + addresses + m.qname.size() + m.qnameLower.size();
        for (size_t i = 0; i < an; ++i) {
            const DnsRecord& r = *m.answers[i];
            bound += RecordBound + r.name.size() + r.nameLower.size() + r.rdata.size();
        }

        LineWriter w(out, bound);
        w.chars(EventTypeQuerylog[event.type]);
        w.bytes(event.clientAddress);
        w.put('#');
        w.number(event.clientPort);
        if (extended) {
            w.lit(" %");
            w.number(m.id);
        }
        if (response)
            w.lit(": response: ");
        else
            w.lit(": query: ");
        w.bytes(m.qname);
        w.put(' ');
        if (extended) {
            w.put('[');
            if (domains) {
                m.qdomainOffset = finder.find(m.qnameLower);
                writeDomain(w, m.qnameLower, m.qdomainOffset, false);
            }
            w.lit("] ");
        }
        w.param(record_classes, m.qclass, "CLASS");
        w.put(' ');
        w.param(record_types, m.qtype, "TYPE");
        w.put(' ');
        w.put((m.flags & FlagRd) ? '+' : '-');
        // The same 16 bits that name the protocol in JSON, so both agree.
        switch (static_cast<uint16_t>(event.socketProtocol)) {
        case 2: // TCP
        case 3: // DOT
        case 4: // DOH
        case 6: // DNSCryptTCP
            w.put('T');
            break;
        default:
            break;
        }
        w.lit(" (");
        if (event.serverAddress.empty())
            w.lit("<unknown>");
        else
            w.bytes(event.serverAddress);
        if (extended) {
            w.put(' ');
            w.number(packetSize);
            w.put('b');
        }
        w.put(')');
        if (response) {
            w.put(' ');
            w.param(response_codes, m.flags & 0x000F, "RCODE");
            for (size_t i = 0; i < an; ++i) {
                DnsRecord& r = *m.answers[i];
                w.lit("; ");
                w.bytes(r.name);
                w.put(' ');
                if (extended) {
                    w.put('[');
                    if (domains) {
                        r.domainOffset = finder.find(r.nameLower);
                        writeDomain(w, r.nameLower, r.domainOffset, false);
                    }
                    w.lit("] ");
                }
                w.number(r.ttl);
                w.put(' ');
                w.param(record_classes, r.rrclass, "CLASS");
                w.put(' ');
                w.param(record_types, r.type, "TYPE");
                w.put(' ');
                w.bytes(r.rdata);
            }
        }
        w.put('\n');
        w.finish();
        return true;
    } catch (...) {
        // A collector must never receive half a line.
        out.resize(entry);
        throw;
    }
}

} // namespace ns::net::dns
