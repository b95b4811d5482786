#include "message/read_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace skerrow {
namespace {

// Closes the descriptor on every path out.
struct FileDescriptor {
  int fd;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

Result<std::vector<std::uint8_t>> read_whole_file(const std::string& path) {
  FileDescriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return os_error(errno);
  std::vector<std::uint8_t> content;
  struct stat info {};
  // The size, when known, sizes the buffer once; the loop still reads to the
  // end, so files that grow or report no size (pipes) are read whole too.
  std::size_t initial = 65536;
  if (::fstat(file.fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    initial = static_cast<std::size_t>(info.st_size) + 1;  // +1 sees the end in one read
  }
  content.resize(initial);
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
  }
  content.resize(used);
  return content;
}

}  // namespace skerrow
