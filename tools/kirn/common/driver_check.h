// The monitoring check of one driver, from its counters (core/panel_counters.h): the state a
// monitoring plugin reports and the one line it prints. `kirn status --check` prints it; the
// exporter's /healthz answers from it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/panel_counters.h"

namespace kirn {

// The states of a monitoring plugin, which are also its exit codes.
enum CheckState : int { kCheckOk = 0, kCheckWarning = 1, kCheckCritical = 2, kCheckUnknown = 3 };

struct CheckOptions {
  // How long the link may be down before it is critical (0: at once).
  int64_t critical_after_s = 0;
  // How recent a dropped command warns (0: drops never warn).
  int64_t drop_window_s = 300;
};

struct CheckResult {
  int state = kCheckUnknown;
  // "<summary>[: <reasons>] | <perfdata>", without the "XARVEL <STATE> - " in front.
  std::string text;
};

// "OK", "WARNING", "CRITICAL" or "UNKNOWN".
const char* CheckStateName(int state);

// Checks one driver from a complete counters answer:
//   critical  the link failed or (over TCP) no controller is active, for critical_after_s or
//             longer; the latest save failed
//   warning   running on controller B; a command dropped within the drop window; the link
//             unconfirmed, or down for less than critical_after_s
CheckResult CheckDriver(const xarvel::PanelCounters& counters, const CheckOptions& options);

// The sum of a counter over all its lines.
int64_t CounterTotal(const xarvel::PanelCounters& counters, std::string_view name);

}  // namespace kirn
