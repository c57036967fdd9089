// The web room of kirn: `kirn metrics`, the HTTP server with the Prometheus exporter, /healthz,
// the status page and its JSON. It uses the common room; it alone names the HTTP library.
#pragma once

#include "tools/kirn/common/command_line.h"

namespace kirn {

int RunMetrics(const Args& args);
extern const char kMetricsHelp[];
// kirn history: reads the crosspoint history that kirn metrics records.
int RunHistory(const Args& args);
extern const char kHistoryHelp[];

}  // namespace kirn
