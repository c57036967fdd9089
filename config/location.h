// Where the control system keeps its configuration, and access to its profiles.
//
// The location mode decides once per process where the configuration root lies:
//   1  the Windows directory stand-in (plat::WindowsDirectory()), then "/";
//   2  $ZQ_ROOT "/" $ZQ_SYSTEM "/";
//   3  the "ConfigPath" key of section "Config" in the locator file (plat::LocatorFilePath()),
//      then "/".
// The mode is fixed by the first path request; the root text itself is rebuilt from its source
// on every call, so an edit of the locator file moves all later accesses.
//
// Every profile and data file of the driver is named through this layer. All calls run on the
// main thread; none of them throws or reports errors to the caller.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace xarvel {

// Longest configuration root, separator included (the root buffer holds 512 with terminator).
inline constexpr size_t kMaxConfigRoot = 511;
// Longest resolved profile path that ReadProfileString and WriteProfileString accept.
inline constexpr size_t kMaxProfilePath = 383;

// Location modes.
enum LocationMode : int {
  kLocationUndetermined = 0,
  kLocationWindowsDirectory = 1,
  kLocationEnvironment = 2,
  kLocationConfigFile = 3,
};

// The process-wide location state.
struct LocationState {
  int mode = kLocationUndetermined;
};

// The one location state of the process.
LocationState& Location();
// Back to "not yet determined" (tests).
void ResetLocation();

// Returns the location mode (1..3), determining it first when it is still 0: 2 when $ZQ_ROOT is
// defined (even empty), else 3 when the locator file has a non-empty "ConfigPath", else 1.
int DetermineLocationMode();

// Returns the configuration root, ending in "/". In mode 2 an undefined $ZQ_SYSTEM counts as
// empty (root "$ZQ_ROOT//", i.e. $ZQ_ROOT itself). Returns an empty text when no usable root can
// be formed: a root longer than kMaxConfigRoot, mode 2 with $ZQ_ROOT empty or no longer defined,
// or mode 3 with "ConfigPath" emptied since the mode was fixed (either would otherwise put the
// configuration at the file-system root). Callers must treat an empty result as "no location"
// and build no path from it. A refusal traces one line on the debug output.
std::string ConfigRoot();

// Returns the full path of a profile or system file given by its bare name. Mode 2: the name in
// lower case, "kapi.ini" replaced by "kirn_system.ini", under <root>config/system/. Modes 1 and
// 3: <root> followed by the name exactly as given. Empty when ConfigRoot() is empty.
std::string ProfilePath(std::string_view name);

// Returns the full path of a data file given by its bare name. Mode 2: the name in lower case
// under <root>data/. Modes 1 and 3: <root> followed by the name as given. Empty when
// ConfigRoot() is empty.
std::string DataFilePath(std::string_view name);

// Returns the value of `key` in `section` of a profile, or `def` when the file, section or key
// is missing; cut to `size` - 1 characters (`size` counts a terminator; 0 gives ""). `file` is
// a full path when it contains "/", else a bare name resolved with ProfilePath(). When the
// resolved path is empty or longer than kMaxProfilePath the file is not read: the result is
// `def` (cut likewise) and one line is traced.
std::string ReadProfileString(std::string_view section, std::string_view key, std::string_view def,
                              size_t size, std::string_view file);

// Sets `key` in `section` of a profile to `value`, creating file, section and key as needed.
// `file` is resolved as for ReadProfileString; a path that is empty or too long is not written
// and one line is traced, as is a write that the file system refuses.
void WriteProfileString(std::string_view section, std::string_view key, std::string_view value,
                        std::string_view file);

}  // namespace xarvel
