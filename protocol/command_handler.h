// Carries out the control system's command texts (route, lock, poll, query, name change).
//
// A command text names the command in its first two characters ("RC", "RL", "RP", "RQ", "RM"),
// skips the third and holds blank-separated fields after it; a field in single quotes may hold
// blanks. Refusals (unknown command, unknown device, no access, numbers out of range, a locked
// destination, an RX-only driver for RC) are silent towards the control system and leave only
// trace lines. Main thread only; one command at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace xarvel {

// Fields a command carries, and the longest text a field keeps (a 255-byte slot).
inline constexpr int kCommandFields = 5;
inline constexpr size_t kMaxFieldText = 254;

// The fields of the command being handled, each as text and as integer. Index 0 is field 1.
struct CommandFields {
  std::array<std::array<char, kMaxFieldText + 1>, kCommandFields> text{};
  std::array<size_t, kCommandFields> length{};
  std::array<int32_t, kCommandFields> value{};

  // Text of field k (1..5).
  std::string_view Text(int k) const {
    const auto i = static_cast<size_t>(k - 1);
    return std::string_view(text[i].data(), length[i]);
  }
  int32_t Value(int k) const { return value[static_cast<size_t>(k - 1)]; }
};

// What the last name change (RM) left for DatabaseChange.
struct RmState {
  int RevertiveMode = 0;
  int EntryIndex = -1;
  std::string Name;
};

struct CommandState {
  CommandFields fields;
  RmState rm;
};

// The one command state of the process.
CommandState& Commands();
// Back to no name change in progress: revertive mode 0, entry index -1, no name.
void ResetRmState();
// Back to empty fields and no name change (tests).
void ResetCommandState();

// Parses one command text and carries it out. The text ends at its first NUL, as a C string
// would.
void ParseCommand(std::string_view text);

// Fills command fields 1..n (n at most 5) from the text after its third character. Fields the
// text does not reach, and all fields of a text shorter than three characters, come out as the
// empty text and 0; fields after n are emptied as well. A field longer than kMaxFieldText is cut.
// A field's integer is the decimal value of its leading digits (optional sign; 0 when there are
// none; clamped to the range of int32).
void ExtractFields(std::string_view text, int n);

// The router, destination and source a route command (RC) names, in the reading the driver tries
// first; all 0 for another command. For the trace line of a route command that is dropped before
// it is carried out.
struct RouteNamed {
  int device = 0;
  int dest = 0;
  int source = 0;
};
RouteNamed RouteCommandNames(std::string_view text);

// RC: route a source to a destination. Result 1.
int Cmd_RouterConnect(std::string_view text);
// RL: lock or unlock destinations of a router. True when the lock was applied. The text always
// goes to the lock log.
bool Cmd_RouterLock(std::string_view text);
// RP: revertives for a range of destinations. Result 1.
int Cmd_RouterPoll(std::string_view text);
// RQ: query replies for a range of destinations. Result 1.
int Cmd_RouterQuery(std::string_view text);
// RM: a source or destination name changed.
void Cmd_DatabaseModify(std::string_view text);

// A name in database `database` of `device_id` changed: refreshes the dialog's name lists,
// writes the name to the controller when that is enabled (only for a change made by RM,
// `changed_by_rm` 1) and re-sends the revertives the RM's revertive mode asks for. Database 2
// and above are ignored.
void DatabaseChange(int device_id, int32_t entry_index, int changed_by_rm, int database);

}  // namespace xarvel
