// The driver's spine: program entry, main window creation, the start-up order and the shutdown
// sequence that every exit path uses.
#pragma once

#include <string>
#include <string_view>

#include "platform/window.h"

namespace xarvel {

// Timers of the status dialog window.
inline constexpr uintptr_t kTimerPoll = 1;
inline constexpr uintptr_t kTimerSave = 2;
inline constexpr uintptr_t kTimerForwardBuffer = 3;
inline constexpr uintptr_t kTimerLockChange = 4;
inline constexpr uintptr_t kTimerInfodriver = 5;
// The link supervisor's timer (reply timeouts, the hold while no controller is connected) runs
// on the main window, which exists before the link opens and whether or not the dialog does.
inline constexpr uintptr_t kTimerLink = 6;
// The revertives owed after a return from an RX only that the link caused go out at this timer's
// pace, on the main window.
inline constexpr uintptr_t kTimerCatchUp = 7;

inline constexpr const char kErrorCaption[] = "! Xarvel - Error !";
inline constexpr int kMainWindowWidth = 888;
inline constexpr int kMainWindowHeight = 620;
inline constexpr size_t kVersionStringMax = 255;

struct CoreState {
  plat::Hwnd MainWindow = plat::kNoWindow;
  // The status dialog window, owner of the five timers; 0 until it has been created.
  plat::Hwnd MainDialog = plat::kNoWindow;
  // Shown in the window title and the About box; empty until start-up reads it.
  std::string VersionString;
  // The shutdown sequence runs at most once per process.
  bool ShutdownDone = false;
};

CoreState& Core();
void ResetCore();

// The device number at the start of a command line: leading blanks skipped, optional sign,
// decimal digits up to the first other character; no digits, 0 or below, or 1000 and above give
// 0 (which selects the default profile).
int ParseDeviceNumber(std::string_view command_line);

// Creates the main window (minimised), runs MainInit and then loads the locked-destination
// lists, whatever the outcome of MainInit. False only when the window cannot be created.
bool CreateMainWindow();

// The start-up order. A failing step shows its message box where it has one, runs Shutdown and
// ends start-up; the message loop then ends at once.
void MainInit();

// Fills the version string from the program's version resource, "," turned into ".".
void ReadVersionString();

// The shutdown sequence (save = 1: write the index and lock files, when they were read at
// start-up). Runs at most once; a second call returns at once.
void Shutdown(int save);

// Empties the forward buffer and starts its timer, when "ForwardBufferDelay" is not 0.
void StartForwardBuffer();

// Program entry: the device number from the arguments, the Qt application, the main window and
// the message loop. Returns the process exit code.
int ProgramEntry(int argc, char** argv);

}  // namespace xarvel
