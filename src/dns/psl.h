// The built-in public suffix rules, the two suffix tables and the lookup of
// the offset at which a name's registered domain begins.
//
// Both tables are filled on the main thread while the configuration is read
// and only read afterwards, by every forwarder thread, without locks.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

namespace ns::net::dns {

// Hash that lets the tables be probed with a string_view of a name's suffix,
// so a lookup never builds a std::string.
struct SuffixHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

using DomainSuffixMap = std::unordered_map<std::string, bool, SuffixHash, std::equal_to<>>;

// The rules compiled in from data/public_suffix_icann.txt, in file order.
extern const char* const pslRules[];
extern const unsigned pslRuleCount;

// The built-in rule list, built from the compiled-in rules at process start.
extern const std::list<std::string> psl;

// Public suffixes from the built-in rules.
extern DomainSuffixMap builtin_domain_suffix_map;
// Registered domains named by the configuration's domain-suffix entries.
extern DomainSuffixMap config_domain_suffix_map;

const std::list<std::string>& getPslDomainSuffixes();

// Empties the built-in table, then adds every rule (with "." appended when
// names carry a trailing dot).
void loadPslDomainSuffixes(bool trailingDot);

// Adds one configured registered domain.
void addDomainSuffix(const char* domain, bool trailingDot);

// Offset within the lower-case name at which its registered domain begins;
// the length when neither table is in use.
unsigned int getDomainSuffixOffset(const unsigned char* name, unsigned int length, bool builtin, bool configured);

} // namespace ns::net::dns
