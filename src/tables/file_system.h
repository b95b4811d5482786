// The few file-system operations the table loaders need. Existence and kind
// tests follow symbolic links: many table directories of the ecCodes tree
// are links to others.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "message/result.h"

namespace skerrow {

// True if the metadata of `path` can be read (never for a path holding a NUL).
bool path_exists(const std::string& path);
bool is_directory(const std::string& path);
bool is_regular_file(const std::string& path);
// What tells one version of a file from another: its identity, size and
// modification time. `exists` is false when the metadata cannot be read.
struct FileSignature {
  bool exists = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified_ns = 0;
  std::int64_t changed_ns = 0;
  bool operator==(const FileSignature&) const = default;
};
FileSignature file_signature(const std::string& path);

// The names of the entries of a directory (without "." and ".."), or an Io
// error carrying errno (or nul_in_path() for a path holding a NUL).
Result<std::vector<std::string>> list_directory(const std::string& path);
// `base` joined with `name` by one "/" (none added after a trailing "/" or to
// an empty base).
std::string join_path(std::string_view base, std::string_view name);
// A file name without its last extension: "1003.table" -> "1003",
// "a.b.table" -> "a.b"; a name like ".table" is all stem.
std::string_view file_stem(std::string_view name);

}  // namespace skerrow
