// File queries used by the queue file reader and the Unix socket set-up.
#pragma once

#include <cstdint>

#include "foundation/error.h"

namespace ns::file {

NS_DECLARE_ERROR(FileError);

// True when stat64 succeeds, false when it fails with ENOENT; throws otherwise.
bool exists(const char* path);

// The file's size; any stat64 failure (a missing file included) throws.
int64_t size(const char* path);

} // namespace ns::file
