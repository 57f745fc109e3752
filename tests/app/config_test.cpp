#include "app/config.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

using ns::app::config::ConfigEntry;
using ns::app::config::ConfigError;
using ns::app::config::ConfigFile;

namespace {

class ConfigFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/qxconfXXXXXX";
        int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = tmpl;
    }
    void TearDown() override { std::remove(path_.c_str()); }

    void load(const std::string& text)
    {
        std::ofstream(path_, std::ios::binary) << text;
        file_.read(path_.c_str());
    }

    std::string path_;
    ConfigFile file_;
};

std::string parsedKey(const char* line)
{
    std::unique_ptr<ConfigEntry> e(ConfigFile::parse(line));
    return e ? e->key + "|" + e->value : "<none>";
}

} // namespace

TEST(ConfigParse, LogicalLines)
{
    struct Case {
        const char* line;
        const char* expected;
    } cases[] = {
        {"", "<none>"},
        {"# comment", "<none>"},
        {"   \t ", "<none>"},
        {"  # indented comment", "<none>"},
        {"Message-Format JSON", "message-format|JSON"},
        {"key   value with  blanks   # comment", "key|value with  blanks"},
        {"key a#b", "key|a"},
        {"key#value", "key|"},
        {"alone", "alone|"},
        {"name=value", "name=value|"},
        {"key value\r", "key|value"},
        {"KEY \xC3\x89t\xC3\xA9", "key|\xC3\x89t\xC3\xA9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parsedKey(c.line), c.expected) << c.line;
}

TEST_F(ConfigFileTest, EmptyAndCommentOnlyFiles)
{
    load("");
    EXPECT_EQ(file_.get("anything"), nullptr);
    EXPECT_TRUE(file_.getList("anything").empty());
    load("# only\n\n   \n# comments\n");
    EXPECT_EQ(file_.get("only"), nullptr);
}

TEST_F(ConfigFileTest, KeysIgnoreCaseValuesKeepIt)
{
    load("Message-Format JSON\nalone\n");
    ASSERT_NE(file_.get("message-format"), nullptr);
    EXPECT_STREQ(file_.get("message-format"), "JSON");
    EXPECT_EQ(file_.get("Message-Format"), nullptr);
    ASSERT_NE(file_.get("alone"), nullptr);
    EXPECT_STREQ(file_.get("alone"), "");
}

TEST_F(ConfigFileTest, ContinuationLines)
{
    load("listener unix /tmp/a.sock\n"
         "\tgroup=users\n"
         "# a comment does not break the join\n"
         "   mode=0660\n"
         "\n"
         "  indented after blank\n");
    auto l = file_.getList("listener");
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l.front(), "unix /tmp/a.sock group=users mode=0660");
    EXPECT_STREQ(file_.get("indented"), "after blank");
}

TEST_F(ConfigFileTest, IndentedFirstLineStartsAnEntry)
{
    load("  first value\nsecond value\n");
    EXPECT_STREQ(file_.get("first"), "value");
    EXPECT_STREQ(file_.get("second"), "value");
}

TEST_F(ConfigFileTest, CommentInFirstLineLosesContinuation)
{
    load("forwarder ipv4 127.0.0.1 # note\n  port=1\n");
    EXPECT_STREQ(file_.get("forwarder"), "ipv4 127.0.0.1");
}

TEST_F(ConfigFileTest, CarriageReturns)
{
    load("a one\r\n\r\nb two\r\n");
    EXPECT_STREQ(file_.get("a"), "one");
    EXPECT_STREQ(file_.get("b"), "two");
}

TEST_F(ConfigFileTest, CarriageReturnBeforeAContinuationLine)
{
    load("forwarder ipv4 127.0.0.1\r\n  5353\r\n\r\nnext 1\r\n");
    EXPECT_STREQ(file_.get("forwarder"), "ipv4 127.0.0.1 5353");
    EXPECT_STREQ(file_.get("next"), "1");
}

TEST_F(ConfigFileTest, RepeatedKeys)
{
    load("domain-suffix a.com\nDOMAIN-SUFFIX b.com\n");
    EXPECT_STREQ(file_.get("domain-suffix"), "a.com");
    auto l = file_.getList("domain-suffix");
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l.back(), "b.com");
}

TEST_F(ConfigFileTest, NulEndsTheLineText)
{
    load(std::string("key va\0lue\nnext 1\n", 18));
    EXPECT_STREQ(file_.get("key"), "va");
    EXPECT_STREQ(file_.get("next"), "1");
}

TEST_F(ConfigFileTest, LongLines)
{
    std::string value(100000, 'x');
    load("long " + value + "\n");
    EXPECT_EQ(std::string(file_.get("long")), value);
}

TEST_F(ConfigFileTest, RereadDiscardsEntries)
{
    load("a 1\n");
    load("b 2\n");
    EXPECT_EQ(file_.get("a"), nullptr);
    EXPECT_STREQ(file_.get("b"), "2");
}

TEST(ConfigRead, MissingFile)
{
    ConfigFile f;
    try {
        f.read("/nonexistent/q.conf");
        FAIL() << "no exception";
    } catch (const ConfigError& e) {
        EXPECT_STREQ(e.what(), "ifstream(/nonexistent/q.conf) failed to open: No such file or directory");
    }
}

TEST(ConfigRead, DirectoryIsAnError)
{
    char tmpl[] = "/tmp/qxconfdirXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    ConfigFile f;
    f.add("kept", "no");
    try {
        f.read(tmpl);
        FAIL() << "no exception";
    } catch (const ConfigError& e) {
        EXPECT_EQ(std::string(e.what()), std::string("ifstream(") + tmpl + ") failed to read: Is a directory");
    }
    EXPECT_EQ(f.get("kept"), nullptr);
    rmdir(tmpl);
}
