// The process-wide log: one line per call, flushed at once; info and warn go
// to standard output, error to standard error. One mutex serialises all
// three so lines of different threads never interleave.
#pragma once

#include <mutex>

namespace ns::log {

// The only lock of the log; held for the whole line, flush included.
extern std::mutex mtx;

void init(bool);
void info(const char* text);
void warn(const char* text);
void error(const char* text);

} // namespace ns::log
