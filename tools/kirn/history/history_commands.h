// kirn's history room as a command: `kirn history` reads the crosspoint history that kirn
// metrics records.
#pragma once

#include "tools/kirn/common/command_line.h"

namespace kirn {

int RunHistory(const Args& args);
extern const char kHistoryHelp[];

}  // namespace kirn
