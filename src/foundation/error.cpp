#include "foundation/error.h"

#include <cstring>

#include <openssl/err.h>

namespace ns::error {

std::string getMessage(int errnum)
{
    char buf[256];
    // GNU strerror_r may return a static text instead of filling buf.
    const char* text = strerror_r(errnum, buf, sizeof(buf));
    return text ? std::string(text) : std::string("Unknown error");
}

std::string getSslError()
{
    std::string result;
    while (unsigned long code = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(code, buf, sizeof(buf));
        if (!result.empty())
            result += ", ";
        result += buf;
    }
    return result.empty() ? std::string("Unknown error") : result;
}

} // namespace ns::error
