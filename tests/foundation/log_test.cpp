#include "foundation/log.h"

#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/error.h"
#include "foundation/file.h"

#include <openssl/err.h>
#include <openssl/evp.h>

namespace {

// Redirects std::cout and std::cerr into strings for the test's lifetime.
class Capture {
public:
    Capture() : oldOut(std::cout.rdbuf(out.rdbuf())), oldErr(std::cerr.rdbuf(err.rdbuf())) {}
    ~Capture()
    {
        std::cout.rdbuf(oldOut);
        std::cerr.rdbuf(oldErr);
    }
    std::ostringstream out, err;

private:
    std::streambuf* oldOut;
    std::streambuf* oldErr;
};

} // namespace

TEST(Log, LineForms)
{
    Capture c;
    ns::log::info("Started");
    ns::log::warn("careful");
    ns::log::error("broken");
    ns::log::info("");
    EXPECT_EQ(c.out.str(), "[INFO] Started\n[WARN] careful\n[INFO] \n");
    EXPECT_EQ(c.err.str(), "[ERROR] broken\n");
}

TEST(Log, LinesOfThreadsNeverInterleave)
{
    Capture c;
    std::vector<std::thread> threads;
    const std::string text(200, 'x');
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                ns::log::info(text.c_str());
        });
    for (auto& t : threads)
        t.join();
    std::istringstream lines(c.out.str());
    std::string line;
    int n = 0;
    while (std::getline(lines, line)) {
        ASSERT_EQ(line, "[INFO] " + text);
        ++n;
    }
    EXPECT_EQ(n, 8 * 200);
}

TEST(Errors, SslErrorQueueIsDrained)
{
    ERR_clear_error();
    EXPECT_EQ(ns::error::getSslError(), "Unknown error");
    ERR_put_error(ERR_LIB_SSL, 0, 1, __FILE__, __LINE__);
    ERR_put_error(ERR_LIB_EVP, 0, 2, __FILE__, __LINE__);
    const std::string text = ns::error::getSslError();
    EXPECT_NE(text.find(", "), std::string::npos) << text;
    EXPECT_EQ(text.rfind("error:", 0), 0u) << text;
    EXPECT_EQ(ns::error::getSslError(), "Unknown error");
}

TEST(Errors, EveryModuleErrorIsAnUnknownError)
{
    try {
        throw ns::file::FileError("composed message");
    } catch (const ns::error::UnknownError& e) {
        EXPECT_STREQ(e.what(), "composed message");
    }
    EXPECT_EQ(ns::error::getMessage(ENOENT), "No such file or directory");
}

TEST(FileQueries, ExistsAndSize)
{
    EXPECT_FALSE(ns::file::exists("/nonexistent-dir/x"));
    EXPECT_TRUE(ns::file::exists("/"));
    try {
        ns::file::exists("/etc/passwd/child");
        FAIL() << "no exception";
    } catch (const ns::file::FileError& e) {
        EXPECT_STREQ(e.what(), "stat64(/etc/passwd/child) failed: Not a directory");
    }
    EXPECT_THROW(ns::file::size("/nonexistent-dir/x"), ns::file::FileError);
    char path[] = "/tmp/qxsizeXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ns::file::size(path), 0);
    ASSERT_EQ(write(fd, "abc", 3), 3);
    close(fd);
    EXPECT_EQ(ns::file::size(path), 3);
    unlink(path);
}
