#include "platform/debug_output.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace plat {
namespace {

DebugSink& Sink() {
  static DebugSink sink;
  return sink;
}

void WriteStderr(std::string_view text) {
  const char* p = text.data();
  size_t left = text.size();
  // One write normally carries the whole line; loop only for partial writes and EINTR.
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

void OutputDebugString(std::string_view text) {
  if (Sink()) {
    Sink()(text);
    return;
  }
  WriteStderr(text);
}

DebugSink SetDebugSink(DebugSink sink) {
  return std::exchange(Sink(), std::move(sink));
}

}  // namespace plat
