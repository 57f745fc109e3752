// The built-in public suffix rules, the suffix tables and the lookup of the
// registered domain of a name.
#pragma once

namespace ns::net::dns {

// The rules compiled in from data/public_suffix_icann.txt, in file order.
extern const char* const psl[];
extern const unsigned pslSize;

} // namespace ns::net::dns
