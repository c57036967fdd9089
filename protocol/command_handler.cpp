#include "protocol/command_handler.h"

namespace xarvel {

// Commands are not carried out yet: every text is taken in and ignored, as a refused command is.
void ResetRmState() {}
void ParseCommand(std::string_view /*text*/) {}
void DatabaseChange(int, int32_t, int, int) {}

}  // namespace xarvel
