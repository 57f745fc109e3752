// Non-blocking stream sockets (Unix-domain and TCP) with whole-second waits.
#pragma once

namespace ns::net {

// Start-up hook called once before any socket is built.
void init();

} // namespace ns::net
