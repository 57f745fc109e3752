#include "dns/psl.h"

namespace ns::net::dns {

namespace {

std::list<std::string> buildRuleList()
{
    std::list<std::string> rules;
    for (unsigned i = 0; i < pslRuleCount; ++i)
        rules.emplace_back(pslRules[i]);
    return rules;
}

std::string makeKey(const char* text, bool trailingDot)
{
    std::string key(text);
    for (char& c : key)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    if (trailingDot)
        key.push_back('.');
    return key;
}

} // namespace

const std::list<std::string> psl = buildRuleList();
DomainSuffixMap builtin_domain_suffix_map;
DomainSuffixMap config_domain_suffix_map;

const std::list<std::string>& getPslDomainSuffixes()
{
    return psl;
}

void loadPslDomainSuffixes(bool trailingDot)
{
    builtin_domain_suffix_map.clear();
    builtin_domain_suffix_map.reserve(psl.size());
    for (const std::string& rule : psl)
        builtin_domain_suffix_map.emplace(makeKey(rule.c_str(), trailingDot), false);
}

void addDomainSuffix(const char* domain, bool trailingDot)
{
    config_domain_suffix_map.emplace(makeKey(domain, trailingDot), true);
}

unsigned int getDomainSuffixOffset(const unsigned char* name, unsigned int length, bool builtin, bool configured)
{
    if (!builtin && !configured)
        return length;
    const char* text = reinterpret_cast<const char*>(name);
    unsigned int pos = 0;
    unsigned int prev = 0;
    // Suffixes from the longest to the shortest; the first hit wins, and at
    // each position a configured domain beats a built-in rule.
    for (;;) {
        const std::string_view suffix(text + pos, length - pos);
        if (configured && config_domain_suffix_map.find(suffix) != config_domain_suffix_map.end())
            return pos;
        if (builtin && builtin_domain_suffix_map.find(suffix) != builtin_domain_suffix_map.end())
            return prev;
        if (pos >= length)
            return prev;
        prev = pos;
        while (pos < length && text[pos] != '.')
            ++pos;
        if (pos < length)
            ++pos;
    }
}

} // namespace ns::net::dns
