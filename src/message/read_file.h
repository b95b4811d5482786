// Reading a whole file into memory, for the message functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "message/result.h"

namespace skerrow {

// The whole content of the file at `path`, or an Io error carrying errno.
Result<std::vector<std::uint8_t>> read_whole_file(const std::string& path);

}  // namespace skerrow
