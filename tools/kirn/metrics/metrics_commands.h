// kirn's metrics room: `kirn metrics`, the HTTP server for monitoring, wired from the server,
// survey, exposition, page and history rooms.
#pragma once

#include "tools/kirn/common/command_line.h"

namespace kirn {

int RunMetrics(const Args& args);
extern const char kMetricsHelp[];

}  // namespace kirn
