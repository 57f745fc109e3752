#include "foundation/log.h"

#include <cstring>
#include <iostream>
#include <string>

namespace ns::log {

std::mutex mtx;

namespace {

// The line is composed first and handed to the stream in one write, so a
// reader of a pipe never sees half a line even from other writers.
void writeLine(std::ostream& os, const char* prefix, const char* text)
{
    std::string line;
    const size_t plen = std::strlen(prefix);
    const size_t tlen = text ? std::strlen(text) : 0;
    line.reserve(plen + tlen + 1);
    line.append(prefix, plen);
    if (tlen)
        line.append(text, tlen);
    line.push_back('\n');
    std::lock_guard<std::mutex> lock(mtx);
    os.write(line.data(), static_cast<std::streamsize>(line.size()));
    os.flush();
}

} // namespace

void init(bool) {}

void info(const char* text) { writeLine(std::cout, "[INFO] ", text); }
void warn(const char* text) { writeLine(std::cout, "[WARN] ", text); }
void error(const char* text) { writeLine(std::cerr, "[ERROR] ", text); }

} // namespace ns::log
