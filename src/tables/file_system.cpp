#include "tables/file_system.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "message/read_file.h"

namespace skerrow {

namespace {

// The metadata of `path`, following links; false when it cannot be read. A
// path holding a NUL names nothing: the system would stop reading it there.
bool read_metadata(const std::string& path, struct stat* info) {
  return !has_nul(path) && ::stat(path.c_str(), info) == 0;
}

}  // namespace

bool path_exists(const std::string& path) {
  struct stat info {};
  return read_metadata(path, &info);
}

bool is_directory(const std::string& path) {
  struct stat info {};
  return read_metadata(path, &info) && S_ISDIR(info.st_mode);
}

bool is_regular_file(const std::string& path) {
  struct stat info {};
  return read_metadata(path, &info) && S_ISREG(info.st_mode);
}

FileSignature file_signature(const std::string& path) {
  struct stat info {};
  if (!read_metadata(path, &info)) return {};
  constexpr std::int64_t kNs = 1'000'000'000;
  return FileSignature{
      .exists = true,
      .device = static_cast<std::uint64_t>(info.st_dev),
      .inode = static_cast<std::uint64_t>(info.st_ino),
      .size = static_cast<std::uint64_t>(info.st_size),
      .modified_ns = std::int64_t{info.st_mtim.tv_sec} * kNs + info.st_mtim.tv_nsec,
      .changed_ns = std::int64_t{info.st_ctim.tv_sec} * kNs + info.st_ctim.tv_nsec,
  };
}

Result<std::vector<std::string>> list_directory(const std::string& path) {
  if (has_nul(path)) return nul_in_path();
  // Closes the stream on every way out, an allocation failure included.
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
  if (dir == nullptr) return os_error(errno);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return os_error(errno);
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  return names;
}

std::string join_path(std::string_view base, std::string_view name) {
  std::string path(base);
  if (!path.empty() && path.back() != '/') path += '/';
  path.append(name);
  return path;
}

std::string_view file_stem(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return name;
  return name.substr(0, dot);
}

}  // namespace skerrow
