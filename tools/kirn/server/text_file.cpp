#include "tools/kirn/server/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kirn {

bool ReadTextFile(const std::string& path, std::string* text, std::string* error) {
  constexpr off_t kMax = 1 << 20;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMax) {
    ::close(fd);
    *error = path + ": not a regular file of at most 1 MiB";
    return false;
  }
  text->clear();
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = path + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    text->append(buf, static_cast<size_t>(n));
    if (text->size() > static_cast<size_t>(kMax)) break;
  }
  ::close(fd);
  return true;
}

}  // namespace kirn
