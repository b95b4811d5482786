// Reading a whole file into memory, for the message functions and the table
// loaders.
#pragma once

#include <string>

#include "message/result.h"

namespace skerrow {

// Which files a caller accepts. Message files may be pipes; table files are
// read by name from a tree, where a FIFO would block the open and a device
// such as /dev/zero would never end, so only regular files are read.
enum class FileKind { any, regular };

// The whole content of the file at `path`, or an Io error: errno, or for a
// file of the wrong kind "<path> is not a regular file or directory". A path
// holding a NUL octet names no file (see nul_in_path).
Result<std::string> read_whole_file(const std::string& path, FileKind kind = FileKind::any);

// The system takes a path only up to its first NUL octet, so a path holding
// one would name another file than the caller's: such a path is refused with
// this error before the system sees it.
bool has_nul(const std::string& path);
error::Io nul_in_path();

}  // namespace skerrow
