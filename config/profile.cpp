#include "config/profile.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "config/location.h"
#include "tracing/debug.h"

namespace xarvel {
namespace {

// Buffer sizes (terminator included) of the profile reads.
constexpr size_t kNumberSize = 9;
constexpr size_t kNameSize = 80;
constexpr size_t kParkNameSize = 17;
constexpr size_t kConnectionModeSize = 16;
constexpr size_t kAddressSize = 16;
constexpr size_t kRouterEntrySize = 32;
constexpr size_t kAccessSize = 256;

constexpr std::string_view kNoAddress = "0.0.0.0";

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// Every access resolves the profile name anew; nothing caches the path.
std::string Read(std::string_view section, std::string_view key, std::string_view def,
                 size_t size) {
  return ReadProfileString(section, key, def, size, DriverProfileName());
}

void Write(std::string_view section, std::string_view key, std::string_view value) {
  WriteProfileString(section, key, value, DriverProfileName());
}

std::string ReadText(std::string_view key, std::string_view def, size_t size) {
  return Read(kControllerSection, key, def, size);
}

void WriteKey(std::string_view key, std::string_view value) {
  Write(kControllerSection, key, value);
}

// A number key: a text that holds no number reads as the default does, so it is mended like a
// missing key instead of turning into a zero that nobody configured.
int ReadInt(std::string_view key, std::string_view def) {
  int value = 0;
  ScanDecimal(def, value);
  ScanDecimal(ReadText(key, def, kNumberSize), value);
  return value;
}

// Companion keys that are written together with a mended key are written only when they are
// missing (or empty), so that values the operator did set are never overwritten.
void WriteIfMissing(std::string_view key, std::string_view value) {
  if (ReadText(key, "", 2).empty()) WriteKey(key, value);
}

void WriteIpGroup() {
  WriteKey("Dual_Controllers", "1");
  WriteIfMissing("IP_Address_A", kNoAddress);
  WriteIfMissing("IP_Address_B", kNoAddress);
  WriteIfMissing("IP_Port", "4000");
}

void WriteSerialGroup() {
  WriteKey("Com", "2");
  WriteIfMissing("Speed", "38400");
  WriteIfMissing("DataBits", "8");
  WriteIfMissing("StopBits", "1");
  WriteIfMissing("Parity", "N");
}

// A number key that gets `replacement` (in memory and in the profile) when it reads `sentinel`.
int ReadIntMended(std::string_view key, std::string_view def, int sentinel,
                  std::string_view replacement) {
  int value = ReadInt(key, def);
  if (value == sentinel) {
    WriteKey(key, replacement);
    ScanDecimal(replacement, value);
  }
  return value;
}

void ReadControllerKeys(Settings& s) {
  s.Name = ReadText("Name", "-1", kNameSize);
  if (s.Name.size() < 3) {
    s.Name = "MC1000 Controller";
    WriteKey("Name", s.Name);
  }
  s.ParkSource = ReadIntMended("ParkSource", "-1", -1, "0");
  s.ParkName = ReadText("ParkName", "###", kParkNameSize);
  if (s.ParkName == "###") {
    s.ParkName = "- -";
    WriteKey("ParkName", s.ParkName);
  }
  s.ForwardBufferDelay = ReadIntMended("ForwardBufferDelay", "-1", -1, "0");
  s.CrossPointsPerBufferDelay = ReadIntMended("CrossPointsPerBufferDelay", "-1", -1, "1");
  s.MaxUnACKedRoutesBeforeCommsFail =
      ReadIntMended("MaxUnACKedRoutesBeforeCommsFail", "-1", -1, "5");
  // Two keys an operator may add; a first run does not write them, so its profile stays as it
  // always was. A reply timeout of 0 or less, or none, is automatic.
  s.ReplyTimeoutMs = std::max(ReadInt("ReplyTimeoutMs", "0"), 0);
  s.ResyncOnConnect = ReadInt("ResyncOnConnect", "1") == 0 ? 0 : 1;

  s.SaveDelay = 0;
  ScanLong(ReadText("SaveDelay", "0", kNumberSize), s.SaveDelay);
  if (s.SaveDelay == 0) {
    s.SaveDelay = 10;
    WriteKey("SaveDelay", "10");
  }

  s.TallyDelay = ReadIntMended("TallyDelay", "-1", -1, "500");
  Debug().DebugMode = ReadIntMended("DebugMode", "-1", -1, "0");
  s.SourceToDest = ReadIntMended("SourceToDest", "-1", -1, "1");
  s.DestToSource = ReadIntMended("DestToSource", "-1", -1, "0");
  s.NameLength = ReadIntMended("NameLength", "-1", -1, "8");
  s.Simulation = ReadIntMended("Simulation", "-1", -1, "0") == 1 ? 1 : 0;
}

void ReadConnectionMode(Settings& s) {
  const std::string mode = ReadText("Connection_Mode", "SERIAL", kConnectionModeSize);
  if (mode == "SERIAL" || mode == "1") {
    s.Connection_Mode = 1;
    WriteKey("Connection_Mode", "SERIAL");
    if (ReadInt("Dual_Controllers", "-1") == -1) WriteIpGroup();
  } else if (mode == "IP" || mode == "2") {
    s.Connection_Mode = 2;
    WriteKey("Connection_Mode", "IP");
    if (ReadInt("Com", "-1") == -1) WriteSerialGroup();
  } else {
    // Connection mode 0: the serial port carries the link, but a failed or restored link is
    // handled as in IP mode (no RX-only asserted for the routers, no " Comms Fail "). Said
    // plainly, since it is nearly always a typing error.
    s.Connection_Mode = 0;
    DebugPrintAt(LogLevel::kWarning,
                 "Prof-Init  - Connection_Mode \"" + mode +
                     "\" not recognised (SERIAL, 1, IP or 2 expected) - connection mode 0: "
                     "serial port, link failure handled as for IP",
                 1);
  }
}

void ReadIpSettings(DriverProfile& p) {
  Settings& s = p.settings;
  s.IP_Address_A = std::string(kNoAddress);
  s.IP_Address_B = std::string(kNoAddress);
  s.IP_Port = 0;
  s.Dual_Controllers = 1;

  if (s.Connection_Mode != 2) {
    if (ReadInt("Dual_Controllers", "-1") == -1) WriteIpGroup();
    return;
  }

  const int dual = ReadInt("Dual_Controllers", "-1");
  if (dual == 0 || dual == 1) {
    s.Dual_Controllers = dual;
  } else {
    WriteIpGroup();
    s.Dual_Controllers = 1;
  }
  s.IP_Address_A = ReadText("IP_Address_A", kNoAddress, kAddressSize);
  s.IP_Address_B = ReadText("IP_Address_B", kNoAddress, kAddressSize);
  s.IP_Port = ReadInt("IP_Port", "4000");

  // Only the text "0.0.0.0" counts as no address; a second controller exists when B has one.
  const bool valid_a = s.IP_Address_A != kNoAddress;
  const bool valid_b = s.IP_Address_B != kNoAddress;
  s.Dual_Controllers = valid_b ? 1 : 0;
  WriteKey("Dual_Controllers", valid_b ? "1" : "0");
  if (!valid_a) {
    DebugPrintAt(LogLevel::kWarning, "Profile init - INVALID SERVER A Address ", 1);
    if (s.Dual_Controllers == 0) {
      DebugPrintAt(LogLevel::kErr,
                   "Profile init - NO IP Connectivity possible -- all invalid IP addresses", 1);
      p.StatusMessage = "Profile init - NO IP Connectivity possible -- IP addresses invalid";
      p.StatusMessageFlag = 1;
    }
  }
}

void ReadSerialSettings(Settings& s) {
  s.Com = ReadIntMended("Com", "0", 0, "2");

  s.Speed = 0;
  ScanUnsigned(ReadText("Speed", "0", kNumberSize), s.Speed);
  if (s.Speed == 0) {
    s.Speed = 38400;
    WriteKey("Speed", "38400");
  }
  s.DataBits = ReadIntMended("DataBits", "0", 0, "8");
  s.StopBits = ReadIntMended("StopBits", "0", 0, "1");

  // Unsupported rates fall back in memory only; the profile keeps what the operator wrote.
  switch (s.Speed) {
    case 2400:
    case 4800:
    case 9600:
    case 19200:
    case 38400:
      break;
    default:
      s.Speed = 38400;
  }

  const std::string parity = ReadText("Parity", "0", kNumberSize);
  const char first = parity.empty() ? '\0' : parity.front();
  if (first == 'E' || first == 'e') {
    s.Parity = 'e';
  } else if (first == 'O' || first == 'o') {
    s.Parity = 'o';
  } else if (first == 'N' || first == 'n') {
    s.Parity = 'n';
  } else {
    WriteKey("Parity", "N");
    s.Parity = 'n';
  }
}

void ReadMC1000Options(Settings& s) {
  const int poll = ReadInt("PollForMC1000LockStatus", "-1");
  s.PollForMC1000LockStatus = 0;
  s.LockStatusInfodriverID = -1;
  if (poll == -1) {
    WriteKey("PollForMC1000LockStatus", "0");
    WriteIfMissing("LockStatusInfodriverID", "-1");
  }
  s.LockStatusInfodriverID = ReadInt("LockStatusInfodriverID", "-1");
  if (poll == 1) {
    s.PollForMC1000LockStatus = 1;
    if (s.LockStatusInfodriverID < 1 || s.LockStatusInfodriverID > 999) {
      DebugPrintAt(
          LogLevel::kWarning,
          "MC1000 LockInfodriver - Warning invalid device id for Infodriver - correct in ini file",
          0);
    }
  }
  DebugPrintfAt(LogLevel::kInfo, 1, "Prof-Init  - PollMc1000Lock %d  lockInfodriver %d ", poll,
                s.LockStatusInfodriverID);

  const int update = ReadInt("UpdateMC1000DatabaseNames", "-1");
  s.UpdateMC1000DatabaseNames = 0;
  s.UpdateSourceDatabase = 0;
  s.UpdateDestDatabase = 1;
  if (update == -1) {
    WriteKey("UpdateMC1000DatabaseNames", "0");
    WriteIfMissing("UpdateMC1000FromKIRNDatabases", "0,1");
  }
  if (update == 1) {
    s.UpdateMC1000DatabaseNames = 1;
    ScanDecimals(ReadText("UpdateMC1000FromKIRNDatabases", "0,1", kNumberSize), ',',
                 {&s.UpdateSourceDatabase, &s.UpdateDestDatabase});
  }
  // The trace shows the value read and the source database only, as it always has.
  DebugPrintfAt(LogLevel::kInfo, 1, "Prof-Init  - UpdateMc1000Names %d  srcdb %d dest db", update,
                s.UpdateSourceDatabase);
}

// Returns true when at least one router is defined.
bool ReadRouters(DriverProfile& p) {
  bool any = false;
  for (int i = 0; i < kRouterCount; ++i) {
    RouterConfig& r = p.routers[static_cast<size_t>(i)];
    char key[16];
    std::snprintf(key, sizeof key, "Router_%c", 'A' + i);
    const std::string text = Read(kRoutersSection, key, "-1", kRouterEntrySize);
    int fields[5] = {r.DeviceId, r.Min_Dest, r.Max_Dest, r.Offset_Src, r.Offset_Dest};
    ScanDecimals(text, ',', {&fields[0], &fields[1], &fields[2], &fields[3], &fields[4]});
    r.DeviceId = fields[0];
    r.Min_Dest = fields[1];
    r.Max_Dest = fields[2];
    r.Offset_Src = fields[3];
    r.Offset_Dest = fields[4];
    // The routers a site defines are worth a line in the log; the other positions are not.
    DebugPrintfAt(r.DeviceId > 0 ? LogLevel::kInfo : LogLevel::kDebug, 1,
                  "Prof-Init Rtr [%d] - Read in %s as  %s : %d %d %d %d %d", i, key, text.c_str(),
                  r.DeviceId, r.Min_Dest, r.Max_Dest, r.Offset_Src, r.Offset_Dest);

    if (r.DeviceId < 1 || r.Min_Dest < 1 || r.Max_Dest < 1) {
      Write(kRoutersSection, key, kRouterTemplate);
      r.DeviceId = r.Min_Dest = r.Max_Dest = r.Offset_Src = r.Offset_Dest = 0;
      continue;
    }
    if (!any) p.CurrentRouter = i;
    any = true;
    if (r.Offset_Src <= 0 && r.Offset_Dest <= 0) {
      char entry[48];
      std::snprintf(entry, sizeof entry, "%d,%d,%d,0,0", r.DeviceId, r.Min_Dest, r.Max_Dest);
      Write(kRoutersSection, key, entry);
      r.Offset_Src = r.Offset_Dest = 0;
    }
  }
  return any;
}

}  // namespace

DriverProfile& Profile() {
  static DriverProfile state;
  return state;
}

void ResetProfile() {
  Profile() = DriverProfile{};
}

std::string DriverProfileName() {
  const int device = Profile().DeviceNumber;
  if (device < 1 || device > 999) return "XARVEL.INI";
  char name[16];
  std::snprintf(name, sizeof name, "DEV_%03d.INI", device);
  return name;
}

void ReadLogLevel() {
  // Only read, never written back: a first run leaves no LogLevel key, and the level then
  // follows where the output goes. The command line and XARVEL_LOG_LEVEL win over it.
  const std::string text = ReadText("LogLevel", "", 16);
  if (text.empty()) return;
  const auto level = plat::ParseLogLevel(text);
  if (!level) {
    DebugPrintAt(LogLevel::kWarning,
                 "Prof-Init  - LogLevel \"" + text +
                     "\" not recognised (err, warning, notice, info or debug) - ignored",
                 1);
    return;
  }
  if (!plat::LogLevelFixed()) plat::SetLogLevel(*level);
}

int ProfileInit() {
  DriverProfile& p = Profile();
  const std::string path = ProfilePath(DriverProfileName());
  p.ProfileText = "Config : " + path;
  DebugPrintAt(LogLevel::kInfo, "Prof-Init: " + path + " ", 1);

  ReadLogLevel();
  ReadControllerKeys(p.settings);
  ReadConnectionMode(p.settings);
  ReadIpSettings(p);
  ReadSerialSettings(p.settings);
  ReadMC1000Options(p.settings);
  const bool any = ReadRouters(p);
  ReadAccessList();
  return any ? 1 : 0;
}

void ReadAccessList() {
  DriverProfile& p = Profile();
  const std::string read = ReadText("Access", "ALL", kAccessSize);
  if (read == "ALL") WriteKey("Access", "ALL");
  const std::string text = Upper(read);
  DebugPrintAt(LogLevel::kInfo, "Prof-Init  - Access " + text, 0);

  p.Access.fill(0);
  p.Access[0] = 1;
  if (text.find("ALL") != std::string::npos) {
    p.Access.fill(1);
    return;
  }
  // Pieces between commas; empty pieces (consecutive commas) are skipped. Only 1..999 can be
  // permitted here; a piece that yields no usable number, or a range that lacks one of its two
  // numbers, permits nothing.
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string_view piece = rest.substr(0, comma);
    rest = (comma == std::string_view::npos) ? std::string_view() : rest.substr(comma + 1);
    if (piece.empty()) continue;
    if (piece.find('-') != std::string_view::npos) {
      int first = 0;
      int last = 0;
      if (ScanDecimals(piece, '-', {&first, &last}) != 2) {
        DebugPrintAt(LogLevel::kWarning, "Prof-Init  - Access range ignored: " + std::string(piece),
                     0);
        continue;
      }
      // Walk only the part of the range that has entries, so that a huge range cannot run
      // for billions of steps or overflow its counter.
      const int from = first < 1 ? 1 : first;
      const int to = last > 999 ? 999 : last;
      for (int n = from; n <= to; ++n) p.Access[static_cast<size_t>(n)] = 1;
    } else {
      int n = 0;
      if (ScanDecimal(piece, n) && n > 0 && n < 1000) p.Access[static_cast<size_t>(n)] = 1;
    }
  }
}

void SaveDebugMode() {
  WriteKey("DebugMode", Debug().DebugMode == 1 ? "1" : "0");
}

}  // namespace xarvel
