// The host room of kirn: the workstation bus host with the control-system interface stand-in
// (`kirn serve`) and the infodriver stand-in (`kirn infodriver`). It uses the common room only.
#pragma once

#include "tools/kirn/common/command_line.h"

namespace kirn {

int RunServe(const Args& args);
int RunInfodriver(const Args& args);

}  // namespace kirn
