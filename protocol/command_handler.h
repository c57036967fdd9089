// Carries out the control system's command texts (route, lock, poll, query, name change).
#pragma once

#include <string_view>

namespace xarvel {

// Back to no name change in progress: revertive mode 0, entry index -1.
void ResetRmState();

// Parses one command text and carries it out.
void ParseCommand(std::string_view text);

}  // namespace xarvel
