#include "message/read_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

error::Io nul_in_path() { return error::Io{0, "file name contained an unexpected NUL byte"}; }

Result<std::string> read_whole_file(const std::string& path, FileKind kind) {
  if (has_nul(path)) return nul_in_path();
  // Without a writer, opening a FIFO waits for one; O_NONBLOCK makes the
  // open return at once, and a regular file ignores the flag.
  const int flags = O_RDONLY | O_CLOEXEC | (kind == FileKind::regular ? O_NONBLOCK : 0);
  const FileDescriptor file{::open(path.c_str(), flags)};
  if (file.fd < 0) return os_error(errno);
  std::string content;
  struct stat info {};
  // A directory passes here and fails to read with the system's own text.
  if (kind == FileKind::regular &&
      (::fstat(file.fd, &info) != 0 || !(S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)))) {
    return error::Io{0, path + " is not a regular file or directory"};
  }
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

}  // namespace skerrow
