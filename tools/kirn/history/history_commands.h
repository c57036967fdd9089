// kirn's history room as a command: `kirn history` reads the crosspoint history that kirn
// metrics records.
#pragma once

#include <string>

#include "tools/kirn/common/command_line.h"

namespace kirn {

int RunHistory(const Args& args);
extern const char kHistoryHelp[];
// The line after the help: the file that `kirn history` reads here without --history, and from
// which variable it comes.
std::string HistoryHelpTail();

}  // namespace kirn
