// The driver's start-up and shutdown: program entry, main window creation, the start-up order
// and the shutdown sequence that every exit path uses.
//
// Only core/ calls these. The windows' handles, the timer and menu ids and the shutdown flag
// that these functions set are in ids/window_ids.h; the layers below reach the shutdown only
// through the seam core/ wires (interface/interface_upcalls.h).
#pragma once

#include <cstddef>
#include <string_view>

namespace xarvel {

inline constexpr size_t kVersionStringMax = 255;

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
