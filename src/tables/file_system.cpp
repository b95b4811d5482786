#include "tables/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace skerrow {
namespace {

// Closes the descriptor on every way out.
struct FileDescriptor {
  int fd;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

bool path_exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

bool is_directory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool is_regular_file(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

Result<std::vector<std::string>> list_directory(const std::string& path) {
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

Result<std::string> read_file(const std::string& path) {
  const FileDescriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return os_error(errno);
  std::string content;
  struct stat info {};
  // One octet more than the size lets a single read reach the end of a
  // regular file; the loop still reads on when the size is unknown or the
  // file grew.
  bool known_size = false;
  std::size_t size = 0;
  if (::fstat(file.fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0) {
    known_size = true;
    size = static_cast<std::size_t>(info.st_size);
  }
  content.resize(known_size ? size + 1 : 4096);
  std::size_t used = 0;
  for (;;) {
    if (used == content.size()) content.resize(content.size() * 2);
    const ssize_t n = ::read(file.fd, content.data() + used, content.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
    if (known_size && used >= size && used < content.size()) break;  // the whole file is in
  }
  content.resize(used);
  return content;
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
