#include "foundation/file.h"

#include <cerrno>
#include <sstream>
#include <sys/stat.h>

namespace ns::file {

namespace {

[[noreturn]] void throwStatError(const char* path, int err)
{
    std::ostringstream msg;
    msg << "stat64(" << path << ") failed: " << ns::error::getMessage(err);
    throw FileError(msg.str());
}

} // namespace

bool exists(const char* path)
{
    struct stat64 st;
    if (stat64(path, &st) == 0)
        return true;
    const int err = errno;
    if (err == ENOENT)
        return false;
    throwStatError(path, err);
}

int64_t size(const char* path)
{
    struct stat64 st;
    if (stat64(path, &st) != 0)
        throwStatError(path, errno);
    return static_cast<int64_t>(st.st_size);
}

} // namespace ns::file
