// The driver profile: the driver's own settings, its router definitions and its access list.
//
// ProfileInit reads the profile "DEV_%03d.INI" (device numbers 1..999) or "XARVEL.INI" (device
// number 0) once at start-up, mends missing and unusable values and writes most defaults back,
// so that a first run leaves a complete profile. Sections: "Controller" for the settings and
// "Access", "Routers" for the router definitions "Router_A" .. "Router_Z".
//
// The state lives in one process-wide DriverProfile. The other modules read it directly; after
// ProfileInit only the menu commands change a few flags and the router tables fill in the
// counts and tables of RouterConfig. Main thread only.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/number_scan.h"

namespace xarvel {

inline constexpr int kRouterCount = 26;
// Access numbers 0..1000 each have an entry.
inline constexpr int kAccessCount = 1001;

inline constexpr std::string_view kControllerSection = "Controller";
inline constexpr std::string_view kRoutersSection = "Routers";
// The value written for an undefined router.
inline constexpr std::string_view kRouterTemplate =
    "Router,Min_Dest,Max_Dest,Offset_Src,Offset_Dest";

// One router; index i is router letter 'A' + i. DeviceId 0 means the router is not defined.
// After ProfileInit either DeviceId, Min_Dest and Max_Dest are all >= 1, or all five numbers
// are 0. The three tables are empty (no table) until the router tables module allocates them.
struct RouterConfig {
  int32_t DeviceId = 0;     // control-system device number of the router
  int32_t SourceCount = 0;  // from the router device's own profile
  int32_t DestCount = 0;    // from the router device's own profile
  int32_t Min_Dest = 0;     // first destination of the poll range
  int32_t Max_Dest = 0;     // last destination of the poll range
  int32_t Offset_Src = 0;   // controller source = control-system source + offset (when > 0)
  int32_t Offset_Dest = 0;  // controller destination = control-system destination + offset
  std::vector<uint8_t> LockMemory;
  std::vector<uint8_t> TallyMemory;
  std::vector<uint8_t> MC1000LockMemory;
};

// The settings of section "Controller", named after their keys. All 0 / empty before
// ProfileInit. The debug mode flag lives in the debug module (Debug().DebugMode).
struct Settings {
  std::string Name;  // controller name, up to 79 characters
  int ParkSource = 0;
  std::string ParkName;  // up to 16 characters
  int ForwardBufferDelay = 0;
  int CrossPointsPerBufferDelay = 0;
  int MaxUnACKedRoutesBeforeCommsFail = 0;
  // Read when present, never written. 0 = automatic (1 s plus the wire time of what is
  // outstanding).
  int ReplyTimeoutMs = 0;
  // Read when present, never written. 0 = no resync walk when the link returns.
  int ResyncOnConnect = 1;
  long SaveDelay = 0;  // minutes
  int TallyDelay = 0;  // milliseconds
  int SourceToDest = 0;
  int DestToSource = 0;
  int NameLength = 0;
  int Simulation = 0;       // 1 = no controller link
  int Connection_Mode = 0;  // 1 serial, 2 TCP ("IP"), 0 not recognised
  int Dual_Controllers = 0;
  std::string IP_Address_A;  // up to 15 characters
  std::string IP_Address_B;
  int IP_Port = 0;
  int Com = 0;
  unsigned Speed = 0;  // 2400, 4800, 9600, 19200 or 38400 after ProfileInit
  int DataBits = 0;
  int StopBits = 0;
  char Parity = 0;  // 'e', 'o' or 'n' after ProfileInit
  int PollForMC1000LockStatus = 0;
  int LockStatusInfodriverID = 0;
  int UpdateMC1000DatabaseNames = 0;
  int UpdateSourceDatabase = 0;  // first number of "UpdateMC1000FromKIRNDatabases"
  int UpdateDestDatabase = 0;    // second number
};

struct DriverProfile {
  // Device number of the process, set by the program entry: 1..999 selects "DEV_%03d.INI",
  // anything else "XARVEL.INI".
  int DeviceNumber = 0;
  Settings settings;
  std::array<RouterConfig, kRouterCount> routers{};
  // The router that the dialog and the router menu work on (0..25).
  int CurrentRouter = 0;
  // 1 = commands with this access number are obeyed. Entry 0 is always 1 after ProfileInit.
  std::array<int, kAccessCount> Access{};
  // "Config : <full profile path>", shown in the About box.
  std::string ProfileText;
  // One start-up warning for the dialog's message line, shown and cleared at the end of
  // start-up when StatusMessageFlag is set.
  std::string StatusMessage;
  int StatusMessageFlag = 0;
};

// The one driver profile state of the process.
DriverProfile& Profile();
// Back to the state before ProfileInit, device number 0 included (tests).
void ResetProfile();

// The bare profile name for Profile().DeviceNumber: "DEV_%03d.INI" for 1..999, else
// "XARVEL.INI".
std::string DriverProfileName();

// Reads the whole driver profile into Profile() and Debug().DebugMode, writing defaults back,
// then reads the access list. Returns 1 when at least one router is defined, else 0.
// Also sets the link supervisor's active controller to none and its reset counts to 0.
// A number key whose text holds no number is treated like a missing key (its default is used
// and, where a missing key would be, written back). Defaults that are written along with a
// mended key (the IP group, the serial group, "LockStatusInfodriverID",
// "UpdateMC1000FromKIRNDatabases") go only to keys that are missing or empty.
// REQUIRES: called once at start-up, before the router tables exist (it does not free them).
int ProfileInit();

// Reads "LogLevel" (err, warning, notice, info or debug) and sets the log level from it unless
// the command line or XARVEL_LOG_LEVEL set it. Never writes the key; an unknown value is traced
// and ignored. Part of ProfileInit.
void ReadLogLevel();

// Fills Profile().Access from the "Access" key ("ALL", or numbers and ranges "a-b" separated
// by commas; numbers 1..999 only, 1000 only through "ALL"). Entry 0 is always 1.
void ReadAccessList();

// Writes "DebugMode" = "1" when Debug().DebugMode is exactly 1, else "0".
void SaveDebugMode();

}  // namespace xarvel
