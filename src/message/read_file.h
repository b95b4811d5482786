// Reading a whole file into memory, for the message functions and the table
// loaders.
#pragma once

#include <string>

#include "message/result.h"

namespace skerrow {

// The whole content of the file at `path`, or an Io error carrying errno.
// A path holding a NUL octet names no file (see nul_in_path).
Result<std::string> read_whole_file(const std::string& path);

// The system takes a path only up to its first NUL octet, so a path holding
// one would name another file than the caller's: such a path is refused with
// this error before the system sees it.
bool has_nul(const std::string& path);
error::Io nul_in_path();

}  // namespace skerrow
