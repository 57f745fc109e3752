// libFuzzer target: whatever decodes must encode and decode again to the
// same fields.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "dns/dnstap.h"

using namespace ns::encoding::dnstap;

namespace {

bool sameFields(const DnstapEvent& a, const DnstapEvent& b) {
    return a.identity == b.identity && a.version == b.version && a.extra == b.extra && a.type == b.type &&
           a.socket_family == b.socket_family && a.socket_protocol == b.socket_protocol &&
           a.query_address == b.query_address && a.response_address == b.response_address &&
           a.query_port == b.query_port && a.response_port == b.response_port &&
           a.query_time_sec == b.query_time_sec && a.query_time_nsec == b.query_time_nsec &&
           a.query_message == b.query_message && a.response_time_sec == b.response_time_sec &&
           a.response_time_nsec == b.response_time_nsec && a.response_message == b.response_message;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static DnstapEvent first{};
    static DnstapEvent second{};
    static std::vector<unsigned char> encoded;
    try {
        decodeDnstapEvent(first, data, static_cast<unsigned int>(size), 0);
    } catch (const DnstapError&) {
        return 0;
    }
    encoded.clear();
    encodeDnstapEvent(encoded, first);
    const auto n = static_cast<unsigned int>(encoded.size());
    if (decodeDnstapEvent(second, encoded.data(), n, 0) != n || !sameFields(first, second) ||
        getDnstapEventType(encoded.data(), n, 0) != first.type) {
        std::abort();
    }
    return 0;
}
