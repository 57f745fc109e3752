#include "dns/format.h"

#include "foundation/encoding/data.h"
#include "foundation/encoding/json.h"
#include "foundation/encoding/time.h"

namespace ns::event::format {

namespace data = ns::encoding::data;

namespace {

constexpr char DefaultHost[] = "127.0.0.1";

} // namespace

EventFormatterConfig::EventFormatterConfig()
    : format(0),
      pid(0),
      priority(30),
      rfc3164(false),
      host(DefaultHost, DefaultHost + sizeof(DefaultHost) - 1),
      querylogExtended(false),
      domainSuffix(true),
      builtinSuffixes(true),
      configSuffixes(true),
      fqdnTrailingDot(true) {}

void formatJsonHeader(std::vector<uint8_t>& out, const EventFormatterConfig& config, int64_t seconds,
                      uint32_t nanoseconds) {
    data::formatChar(out, '{');
    encoding::json::formatJsonKey(out, "timestamp", true);
    data::formatChar(out, '"');
    encoding::time::formatTimeIso(out, seconds, nanoseconds);
    data::formatChar(out, '"');
    encoding::json::formatJsonKey(out, "host", false);
    encoding::json::formatJsonStr(out, config.host.data(), static_cast<uint32_t>(config.host.size()));
    encoding::json::formatJsonKey(out, "schema", false);
    data::formatChar(out, '1');
}

void formatSyslogHeader(std::vector<uint8_t>& out, const EventFormatterConfig& config, int64_t seconds,
                        uint32_t nanoseconds) {
    data::formatChar(out, '<');
    data::formatUint(out, config.priority);
    if (config.rfc3164) {
        data::formatChar(out, '>');
        encoding::time::formatTimeSyslogRfc3164(out, seconds);
        data::formatChar(out, ' ');
        data::formatBytes(out, config.host.data(), static_cast<uint32_t>(config.host.size()));
        data::formatChars(out, " quorvalex[");
        data::formatUint(out, config.pid);
        data::formatChars(out, "]: ");
    } else {
        data::formatChars(out, ">1 ");
        encoding::time::formatTimeIso(out, seconds, nanoseconds);
        data::formatChar(out, ' ');
        data::formatBytes(out, config.host.data(), static_cast<uint32_t>(config.host.size()));
        data::formatChars(out, " quorvalex ");
        data::formatUint(out, config.pid);
        data::formatChars(out, " - - ");
    }
}

} // namespace ns::event::format
