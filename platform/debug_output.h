// The operating system's debug output stream.
//
// Every line that the driver traces ends up here. By default a call writes its text to standard
// error with a single write(2), so lines from one process never interleave mid-line and journald
// keeps them whole when the driver runs as a service. Tests may install a sink to capture lines.
#pragma once

#include <functional>
#include <string_view>

namespace plat {

// Writes `text` unchanged (no tag, no newline added) as one unit.
void OutputDebugString(std::string_view text);

// Replaces where OutputDebugString writes. An empty function restores standard error.
// Returns the sink that was installed before. Not thread-safe against concurrent writers; install
// it before the code under test runs.
using DebugSink = std::function<void(std::string_view)>;
DebugSink SetDebugSink(DebugSink sink);

}  // namespace plat
