#include "platform/debug_output.h"

#include <unistd.h>

#include <utility>

#include "platform/file_io.h"

namespace plat {
namespace {

DebugSink& Sink() {
  static DebugSink sink;
  return sink;
}

}  // namespace

void OutputDebugString(std::string_view text) {
  if (Sink()) {
    Sink()(text);
    return;
  }
  WriteAll(STDERR_FILENO, text);
}

DebugSink SetDebugSink(DebugSink sink) {
  return std::exchange(Sink(), std::move(sink));
}

}  // namespace plat
