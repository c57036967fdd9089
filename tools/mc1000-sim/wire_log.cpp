#include "tools/mc1000-sim/wire_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace mc1000sim {
namespace {

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a log that cannot be written must not stop the emulator
    done += static_cast<size_t>(n);
  }
}

}  // namespace

std::string Escape(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + 8);
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (u < 0x20 || u >= 0x7f) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", u);
          out += hex;
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

WireLog::WireLog() : start_(std::chrono::steady_clock::now()) {}

WireLog::~WireLog() {
  if (file_ >= 0) ::close(file_);
}

bool WireLog::OpenFile(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  if (file_ >= 0) ::close(file_);
  file_ = fd;
  return true;
}

void WireLog::Line(std::string_view text) {
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start_)
                           .count();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%lld.%03lld ", static_cast<long long>(elapsed / 1000),
                static_cast<long long>(elapsed % 1000));
  std::string line = stamp;
  line.append(text);
  line.push_back('\n');
  if (!quiet_) WriteAll(2, line);
  if (file_ >= 0) WriteAll(file_, line);
}

}  // namespace mc1000sim
