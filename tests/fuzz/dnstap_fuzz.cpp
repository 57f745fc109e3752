// libFuzzer target: the dnstap decoder and the type scan on arbitrary bytes.
// Every input must either decode to its end or raise DnstapError.
#include <cstdint>
#include <cstdlib>

#include "dns/dnstap.h"

using namespace ns::encoding::dnstap;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static DnstapEvent event{};  // reused, as a forwarder does
    const auto n = static_cast<unsigned int>(size);
    try {
        if (decodeDnstapEvent(event, data, n, 0) != n) {
            std::abort();
        }
    } catch (const DnstapError&) {
    }
    try {
        getDnstapEventType(data, n, 0);
    } catch (const DnstapError&) {
    }
    return 0;
}
