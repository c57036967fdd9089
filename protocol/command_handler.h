// Carries out the control system's command texts (route, lock, poll, query, name change).
#pragma once

#include <cstdint>
#include <string_view>

namespace xarvel {

// Back to no name change in progress: revertive mode 0, entry index -1.
void ResetRmState();

// Parses one command text and carries it out.
void ParseCommand(std::string_view text);

// A database entry of `device_id` changed (changed_by_rm 1: through the name-change command,
// which may write the name to the controller and re-send revertives; database -1: only the
// dialog's lists are refreshed).
void DatabaseChange(int device_id, int32_t entry_index, int changed_by_rm, int database);

}  // namespace xarvel
