// Termination requests from the operating system (SIGTERM, SIGINT, SIGHUP), delivered on the
// main thread's event loop instead of inside a signal handler.
#pragma once

#include <functional>

namespace plat {

// Calls `handler` from the Qt event loop each time the process receives SIGTERM, SIGINT or
// SIGHUP. Install once, after the Qt application object exists. Returns false when the
// notification channel could not be set up (the signals then keep their default action).
bool OnTerminationSignal(std::function<void()> handler);

}  // namespace plat
