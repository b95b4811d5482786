// Reading a whole file into memory, for the message functions and the table
// loaders.
#pragma once

#include <string>

#include "message/result.h"

namespace skerrow {

// The whole content of the file at `path`, or an Io error carrying errno.
Result<std::string> read_whole_file(const std::string& path);

}  // namespace skerrow
