// The main window's procedure: control-system messages, operating-system messages and menu
// commands, each handed to the module that does the work; and the forward buffer that paces
// route commands.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "platform/window.h"

namespace xarvel {

inline constexpr int kForwardBufferSlots = 48;
inline constexpr size_t kForwardBufferText = 64;
inline constexpr size_t kCommandTextMax = 511;
// Commands that arrive while the driver starts wait for the end of its start-up, at most this
// many; a command beyond them is not taken.
inline constexpr size_t kHeldCommandsMax = 4096;
// How long the dialog's controller-lock button stays usable after the menu enables it.
inline constexpr unsigned kLockChangeWindowMs = 30000;

struct MainWindowState {
  // Forward buffer: the first 64 characters of each waiting route command; empty = free slot.
  std::array<std::string, kForwardBufferSlots> ForwardBuffer;
  int ForwardWrite = 0;
  int ForwardRead = 0;
  // Every ZUT_COMMAND received; shown in the dialog's "Rx" field.
  int32_t ReceivedCount = 0;
  // False while the start-up runs, until it has read the stored tables, opened the link and
  // loaded the locked destinations; commands that arrive meanwhile (a peer's message handled
  // while a start-up call waits for its answer) wait in HeldCommands, oldest first.
  bool StartupDone = true;
  std::deque<std::string> HeldCommands;
};

MainWindowState& MainWnd();
void ResetMainWindowState();

plat::LResult MainWndProc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l);

// Puts the menu resource "Menu" into the menu model of `hwnd`.
void LoadMainMenu(plat::Hwnd hwnd);

// Takes in one command text from the control system: buffered when it is a route command and the
// forward buffer is in use, else carried out at once; counted either way.
void CommandIntake(std::string_view text);
// The end of the start-up: carries out the commands held meanwhile, in the order they came (or,
// when the start-up failed, traces each as not carried out), then takes commands as they come.
void FinishStartup();
// Stores a command in the forward buffer (the oldest waiting one is dropped when it is full).
void ForwardBufferPut(std::string_view text);
// One tick of the forward-buffer timer: carries out up to "CrossPointsPerBufferDelay" waiting
// commands, looking at no more than all 48 slots.
void ForwardBufferDispatch();

}  // namespace xarvel
