#include "dns/psl.h"

#include <cstring>
#include <set>

#include <gtest/gtest.h>

using namespace ns::net::dns;

namespace {

unsigned offsetOf(const char* name, bool builtin, bool configured)
{
    return getDomainSuffixOffset(reinterpret_cast<const unsigned char*>(name),
                                 static_cast<unsigned>(std::strlen(name)), builtin, configured);
}

class SuffixTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        config_domain_suffix_map.clear();
        loadPslDomainSuffixes(false);
    }
    void TearDown() override { config_domain_suffix_map.clear(); }
};

} // namespace

TEST(BuiltinRules, MatchTheShippedList)
{
    const auto& rules = getPslDomainSuffixes();
    ASSERT_EQ(rules.size(), 6933u);
    EXPECT_EQ(rules.front(), "ac");
    EXPECT_EQ(rules.back(), "zuerich");
    std::set<std::string> distinct(rules.begin(), rules.end());
    EXPECT_EQ(distinct.size(), rules.size());
    unsigned wildcard = 0, exception = 0, idn = 0;
    size_t longest = 0;
    for (const auto& r : rules) {
        wildcard += r.rfind("*.", 0) == 0;
        exception += r[0] == '!';
        idn += r.find("xn--") != std::string::npos;
        longest = std::max(longest, r.size());
    }
    EXPECT_EQ(wildcard, 16u);
    EXPECT_EQ(exception, 8u);
    EXPECT_EQ(idn, 444u);
    EXPECT_EQ(longest, 38u);
}

TEST_F(SuffixTest, NoTableInUseGivesEmptyDomain)
{
    EXPECT_EQ(offsetOf("www.example.com", false, false), 15u);
    EXPECT_EQ(offsetOf("", false, false), 0u);
}

TEST_F(SuffixTest, BuiltinRules)
{
    struct Case {
        const char* name;
        unsigned offset;
    } cases[] = {
        {"www.example.com", 4},       // one label below "com"
        {"co.uk", 0},                 // the whole name is a listed suffix
        {"a.b.co.uk", 2},             // "co.uk" is reached before "uk"
        {"", 0},
        {"localhost", 0},             // one label, no rule
        {"x.y.nothing-listed", 4},    // no rule: the last label
        {"a.b.c.ck", 6},              // only "*.ck" and "!www.ck" exist: last label
        {"a.b.kawasaki.jp", 4},       // the wildcard is literal text; "jp" matches
    };
    for (const auto& c : cases)
        EXPECT_EQ(offsetOf(c.name, true, false), c.offset) << c.name;
}

TEST_F(SuffixTest, TrailingDotKeys)
{
    loadPslDomainSuffixes(true);
    EXPECT_EQ(offsetOf("www.example.com.", true, false), 4u);
    EXPECT_EQ(offsetOf("x.y.nothing-listed.", true, false), 4u);
    // Reloading without the dot leaves only keys of the new form.
    loadPslDomainSuffixes(false);
    EXPECT_EQ(builtin_domain_suffix_map.count("com."), 0u);
    EXPECT_EQ(builtin_domain_suffix_map.count("com"), 1u);
    EXPECT_EQ(builtin_domain_suffix_map.size(), 6933u);
}

TEST_F(SuffixTest, ConfiguredDomainsComeFirst)
{
    addDomainSuffix("Example.COM", false);
    EXPECT_EQ(offsetOf("a.b.example.com", true, true), 4u);
    EXPECT_EQ(offsetOf("a.b.example.com", false, true), 4u);
    addDomainSuffix("b.example.org", false);
    EXPECT_EQ(offsetOf("a.b.example.org", true, true), 2u);
    EXPECT_EQ(offsetOf("a.b.example.org", true, false), 4u);
    // Only the configured table: a name under no configured domain keeps its last label.
    EXPECT_EQ(offsetOf("a.b.other.net", false, true), 10u);
    EXPECT_EQ(offsetOf("", false, true), 0u);
    EXPECT_EQ(offsetOf("single", false, true), 0u);
}
