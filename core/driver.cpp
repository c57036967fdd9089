#include "core/driver.h"

#include <QApplication>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "config/profile.h"
#include "core/core_counters.h"
#include "core/main_window.h"
#include "core/remote_panel.h"
#include "core/service_notify.h"
#include "core/wiring.h"
#include "ids/window_ids.h"
#include "interface/kapisup.h"
#include "interface/lock_infodriver.h"
#include "interface/messages.h"
#include "interface/peer_watch.h"
#include "link/comsup.h"
#include "platform/bus_client.h"
#include "platform/bus_host.h"
#include "platform/debug_output.h"
#include "platform/msgbox.h"
#include "platform/qt_messages.h"
#include "platform/signals.h"
#include "platform/version.h"
#include "protocol/command_handler.h"
#include "state/index_files.h"
#include "state/locked_dests.h"
#include "state/router_tables.h"
#include "tracing/debug.h"
#include "tracing/trace_stream.h"
#include "ui/status_dialog.h"
#include "ui/window_view.h"

namespace xarvel {

int ParseDeviceNumber(std::string_view command_line) {
  size_t i = 0;
  while (i < command_line.size() && (command_line[i] == ' ' || command_line[i] == '\t')) ++i;
  bool negative = false;
  if (i < command_line.size() && (command_line[i] == '+' || command_line[i] == '-')) {
    negative = command_line[i] == '-';
    ++i;
  }
  // Accumulate with a ceiling: anything of 1000 or more selects the default profile anyway.
  long value = 0;
  while (i < command_line.size() && std::isdigit(static_cast<unsigned char>(command_line[i]))) {
    if (value < 1000) value = value * 10 + (command_line[i] - '0');
    ++i;
  }
  if (negative || value <= 0 || value >= 1000) return 0;
  return static_cast<int>(value);
}

void ReadVersionString() {
  if (plat::GetFileVersionInfoSize() == 0) return;
  const auto translation = plat::FirstTranslation();
  if (!translation) return;
  char query[64];
  std::snprintf(query, sizeof query, "\\StringFileInfo\\%04X%04X\\PRODUCTVERSION",
                translation->language & 0xFFFF, translation->code_page & 0xFFFF);
  const auto value = plat::VerQueryValue(query);
  if (!value) return;
  std::string version = value->substr(0, kVersionStringMax);
  for (char& c : version) {
    if (c == ',') c = '.';
  }
  Core().VersionString = version;
}

void StartForwardBuffer() {
  const int delay = Profile().settings.ForwardBufferDelay;
  if (delay == 0) return;
  MainWindowState& s = MainWnd();
  for (auto& slot : s.ForwardBuffer) slot.clear();
  s.ForwardWrite = 0;
  s.ForwardRead = 0;
  // A negative delay cannot be a period; such a profile value leaves the timer at its minimum.
  plat::SetTimer(Core().MainDialog, kTimerForwardBuffer,
                 static_cast<unsigned>(delay < 0 ? 1 : delay));
}

void Shutdown(int save) {
  if (Core().ShutdownDone) return;
  Core().ShutdownDone = true;
  DebugPrintAt(LogLevel::kNotice,
               save == 1 ? "Xarvel - shutting down, saving the tables" : "Xarvel - shutting down",
               1);
  ServiceNotify_Stopping();
  const plat::Hwnd dlg = Core().MainDialog;
  KAPISup_Detach();
  LockInfodriver_Close();
  ComSup_Shutdown();
  if (Profile().settings.Simulation == 0) plat::KillTimer(dlg, kTimerPoll);
  if (Profile().settings.ForwardBufferDelay != 0) plat::KillTimer(dlg, kTimerForwardBuffer);
  if (save == 1 && IndexFiles().IndexRead) {
    Idxfu_WriteIndex();
    Idxfu_WriteLocks();
  }
  plat::KillTimer(dlg, kTimerPoll);
  plat::KillTimer(dlg, kTimerInfodriver);
  plat::KillTimer(dlg, kTimerSave);
  MemoryFree();
  plat::PostQuitMessage(0);
}

void MainInit() {
  plat::OutputDebugString("Xarvel - *** starting main initialise + profile init\n",
                          plat::LogLevel::kNotice);
  ResetRmState();
  Profile().StatusMessageFlag = 0;
  LoadMainMenu(Core().MainWindow);
  LockInfodriver_CreateClient();

  if (ProfileInit() == 0) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "There are no router driver ID's defined in the %s file.  There must be at "
                  "least one router defined before XARVEL.EXE can function.",
                  DriverProfileName().c_str());
    plat::MessageBox(Core().MainWindow, text, kErrorCaption);
    Shutdown(0);
    return;
  }

  plat::OutputDebugString("Xarvel - *** starting memory init \n", plat::LogLevel::kInfo);
  if (MemoryInit() == 0) {
    plat::OutputDebugString("Main init - Memory init failed \n", plat::LogLevel::kErr);
    Shutdown(0);
    return;
  }

  if (KAPISup_Link() == 0) {
    plat::OutputDebugString("Main init - KAPISup_Link failed \n", plat::LogLevel::kErr);
    return;
  }

  ReadVersionString();
  char title[512];
  std::snprintf(title, sizeof title, "KIRN %s (ver %s) - using %s", Profile().settings.Name.c_str(),
                Core().VersionString.c_str(), DriverProfileName().c_str());
  plat::SetWindowText(Core().MainWindow, title);

  if (KAPISup_Init() == 0) return;

  Core().MainDialog = Dialog_Create(Core().MainWindow);
  if (Core().MainDialog == plat::kNoWindow)
    DebugPrintAt(LogLevel::kWarning, "Can't create dialog box", 0);

  if (ComSup_Init() == 0) {
    plat::OutputDebugString("Main init - ComSup init failed \n", plat::LogLevel::kErr);
    Shutdown(0);
    return;
  }

  if (Profile().settings.LockStatusInfodriverID > 0) {
    if (INFO_connect() == 0) {
      DebugPrintAt(LogLevel::kWarning, "Main init -- failed to connect to ext lock infodriver", 1);
    } else {
      LockInfodriver_StartFollowing();
    }
  }

  StartForwardBuffer();

  if (Profile().StatusMessageFlag != 0) {
    Profile().StatusMessageFlag = 0;
    Dlg_SetText(IDC_MESSAGE, Profile().StatusMessage);
  }
}

bool CreateMainWindow() {
  const plat::Hwnd hwnd = plat::CreateWindow(MainWndProc, true);
  if (hwnd == plat::kNoWindow) return false;
  Core().MainWindow = hwnd;
  // With a display the frame, its menu bar and icon appear (minimised); headless nothing does.
  View_CreateMainWindow(hwnd);
  Kapi().DriverMode = IFMODE_NONE;
  MainWnd().StartupDone = false;
  MainInit();
  LoadLockedDestinationsFromDevIni();
  FinishStartup();
  return true;
}

namespace {

constexpr const char* kUsage =
    "usage: xarvel [--log-level LEVEL] [DEVICE]\n"
    "Router-control driver for one MC1000 router controller.\n"
    "DEVICE 1..999 uses the driver profile DEV_<DEVICE>.INI; anything else uses XARVEL.INI.\n"
    "Configuration: KIRN_WINDIR, ZQ_ROOT/ZQ_SYSTEM or the locator file "
    "(docs/configuration.md).\n"
    "\n"
    "The trace goes to standard error, one line per write. --log-level err|warning|notice|\n"
    "info|debug, else $XARVEL_LOG_LEVEL, else the profile's [Controller] LogLevel (never\n"
    "written by the driver) sets which lines are written: faults at err and warning,\n"
    "changes of state (link, mode, start-up, shutdown, refused or dropped routes) at\n"
    "notice, the rest at info, and per command, reply, destination or poll tick at debug.\n"
    "When standard error is the journal ($JOURNAL_STREAM names it) the default is info\n"
    "and each line starts with its syslog priority ('<3>' ... '<7>'); otherwise the\n"
    "default is debug, every line unchanged. The profile's DebugMode still decides whether\n"
    "the routine lines exist at all. 'kirn trace DEV' (DEV: the device id of one of its\n"
    "routers) streams every line as it happens, whatever the log level.\n";

// The program's arguments: --log-level taken out, the rest the command line the driver has
// always read.
struct Arguments {
  std::string command_line;
  std::optional<plat::LogLevel> level;
};

// Reads the arguments; an exit code instead when the program is to end at once (--help, or a
// bad --log-level, said on standard error).
std::optional<int> ReadArguments(int argc, char** argv, Arguments& args) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg != "--log-level" && arg.rfind("--log-level=", 0) != 0) {
      if (!args.command_line.empty()) args.command_line += ' ';
      args.command_line += arg;
      continue;
    }
    std::string value;
    if (arg == "--log-level") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "xarvel: --log-level needs a value\nTry 'xarvel --help'.\n");
        return 2;
      }
      value = argv[++i];
    } else {
      value = arg.substr(std::strlen("--log-level="));
    }
    args.level = plat::ParseLogLevel(value);
    if (!args.level) {
      std::fprintf(stderr,
                   "xarvel: --log-level '%s' is not err, warning, notice, info or debug\n"
                   "Try 'xarvel --help'.\n",
                   value.c_str());
      return 2;
    }
  }
  if (args.command_line == "--help" || args.command_line == "-h") {
    std::printf("%s", kUsage);
    return 0;
  }
  return std::nullopt;
}

// The control system's processes are reached over the workstation bus. Without a bus host the
// driver still starts; it then finds no interface process and says so.
std::unique_ptr<plat::BusClient> ConnectBus() {
  std::string bus_error;
  std::unique_ptr<plat::BusClient> bus = plat::BusClient::Connect(plat::BusPath(), &bus_error);
  if (!bus) {
    plat::OutputDebugString("Xarvel - workstation bus not available: " + bus_error + "\n",
                            plat::LogLevel::kWarning);
    return nullptr;
  }
  plat::SetTransport(bus.get());
  bus->AttachToEventLoop();
  // A lost bus host is reconnected to; the driver runs on meanwhile.
  PeerWatch_Install(bus.get());
  // The trace goes to whoever attaches over the bus (kirn trace).
  TraceStream_Install(bus.get());
  // The link's changes go to the tools that subscribe to them.
  RemotePanel_Install(bus.get());
  return bus;
}

// After the message loop: what is still held back is written and the bus's users are taken
// down, the sockets before the application object. The exit code, 1 when the driver must be
// started afresh.
int FinishRun(int code) {
  // What the journal still holds back of repeated refusals and drops is summed up now.
  DebugFlushSummaries(true);
  PeerWatch_Uninstall();
  TraceStream_Uninstall();
  RemotePanel_Uninstall();
  // Shut down because its windows could not have their handles back: start me afresh.
  if (PeerWatch_RestartNeeded()) code = 1;
  ServiceNotify_End();
  // The socket objects own windows and Qt sockets: they go before the application object.
  ComSup_ReleaseSockets();
  View_Destroy();
  plat::SetTransport(nullptr);
  return code;
}

}  // namespace

int ProgramEntry(int argc, char** argv) {
  Arguments args;
  if (const auto code = ReadArguments(argc, argv, args)) return *code;
  std::string bad_env;
  plat::InitLogOutput(args.level, &bad_env);
  if (!bad_env.empty()) {
    plat::OutputDebugString("Xarvel - XARVEL_LOG_LEVEL '" + bad_env + "' is not a level: ignored\n",
                            plat::LogLevel::kWarning);
  }
  WireLayers();
  Profile().DeviceNumber = ParseDeviceNumber(args.command_line);
  CoreCount().StartUnixMs = UnixMsNow();

  plat::RouteQtMessages();
  plat::PrepareQtPlatform();
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);

  const std::unique_ptr<plat::BusClient> bus = ConnectBus();
  // A termination request from the system is an orderly shutdown with saving, as at logoff.
  plat::OnTerminationSignal(
      [] { plat::SendMessage(Core().MainWindow, plat::WM_QUERYENDSESSION, 0, 0); });

  ServiceNotify_Start();
  int code = 0;
  if (CreateMainWindow()) {
    ServiceNotify_Ready();
    code = plat::RunMessageLoop();
  }
  return FinishRun(code);
}

}  // namespace xarvel
