// Forwarder settings: one record per `forwarder` entry, and its parser.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/error.h"
#include "net/fstrm.h"
#include "net/net.h"
#include "net/tls.h"

namespace ns::worker::forwarder {

NS_DECLARE_ERROR(ForwarderError);

// Settings of one collector connection; copied by value into its forwarder.
struct ForwarderConfig {
    uint32_t id = 0;
    uint32_t batchSize = 100;  // most events taken from the queue per send
    bool requeue = true;       // unsent events of a batch go back after an error
    bool durable = false;      // the batch sent just before an error goes back too
    bool forceStdout = false;  // run-stdout mode; never set by the parser
    ns::net::SocketConfig socketConfig;
    ns::net::tls::TlsSocketConfig tlsSocketConfig;
    ns::net::fstrm::FstrmSocketConfig fstrmSocketConfig;
};

struct ForwardersConfig {
    std::vector<ForwarderConfig> forwarders;
};

// Reads "ipv4|ipv6 host port [name=value ...]" into config; fields the text
// does not name keep their values. Throws ForwarderError at the first
// rejected token, leaving config partly filled.
void parseForwarder(const char* text, ForwarderConfig& config);

} // namespace ns::worker::forwarder
