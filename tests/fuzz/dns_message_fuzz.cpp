// libFuzzer target: DNS message decoding with record data rendering.
// Every input must decode or leave an error text; the workspace is reused
// across inputs as the formatter does.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "dns/dns.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ns::net::dns::DnsMessage message;
    if (size > 0xFFFF)
        return 0;
    decodeDnsMessage(data, uint32_t(size), message, size % 2 == 0);
    if (!message.error.empty() && message.error.rfind("Read DNS message failed: ", 0) != 0)
        std::abort();
    if (message.error.empty()) {
        for (uint32_t i = 0; i < message.ancount; ++i)
            if (message.answers[i]->name.size() > 4 * 255)
                std::abort();
    }
    return 0;
}
