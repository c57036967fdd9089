// The bus side of the kirn tools: one connection, one window, and the stand-in's window found
// by broadcast. Tools run no Qt event loop; they serve the bus with Pump().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/bus_client.h"
#include "platform/window.h"

namespace kirn {

class ToolClient {
 public:
  using LineHandler = std::function<void(std::string_view line)>;

  // Connects to the bus at plat::BusPath(), creates the tool's window and finds the stand-in.
  // Returns nullptr and sets `error` to one line for the user when there is no bus or no
  // stand-in on it. Only one client may exist in a process (it installs the transport).
  static std::unique_ptr<ToolClient> Open(std::string* error);
  ~ToolClient();
  ToolClient(const ToolClient&) = delete;
  ToolClient& operator=(const ToolClient&) = delete;

  plat::Hwnd window() const { return window_; }
  plat::Hwnd kapi() const { return kapi_; }
  bool connected() const { return bus_ && bus_->connected(); }

  // Receives every line of the kKirnLines messages that arrive for the tool's window.
  void SetLineHandler(LineHandler handler) { on_line_ = std::move(handler); }

  // A plain request to the stand-in; its result (0 when the stand-in did not answer).
  plat::LResult Request(uint32_t msg, plat::WParam w, plat::LParam l);
  // The same, telling an answer of 0 from no answer at all: false when none came in time.
  bool RequestAnswered(uint32_t msg, plat::WParam w, plat::LParam l, plat::LResult* result);
  // The bus socket, to wait on it together with other descriptors; -1 once the bus is gone.
  int fd() const { return bus_ ? bus_->fd() : -1; }
  // A request carrying `text` (zero-terminated on the way) as its data block.
  int32_t RequestWithText(uint32_t msg, int32_t param, std::string_view text);
  // The same, to another window.
  int32_t RequestWithTextTo(plat::Hwnd to, uint32_t msg, int32_t param, std::string_view text);

  // Finds infodriver `device` (1..999) as a tool, not as a client; its window or 0.
  plat::Hwnd FindInfodriver(int device);

  // Asks the driver that serves `device` for its status panel (core/remote_panel.h) and puts
  // the answer's text in `answer`. False when no driver answers for the device.
  bool AskPanelStatus(int device, std::string* answer);

  // Serves incoming messages for up to `timeout_ms`. False once the bus connection is gone.
  bool Pump(int timeout_ms);

 private:
  ToolClient() = default;
  plat::LResult Proc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l);

  std::unique_ptr<plat::BusClient> bus_;
  plat::Hwnd window_ = plat::kNoWindow;
  plat::Hwnd kapi_ = plat::kNoWindow;
  plat::Hwnd info_ = plat::kNoWindow;
  plat::Hwnd panel_ = plat::kNoWindow;
  int panel_device_ = 0;  // the device a panel is looked for, while the search runs
  // Set while the tool's find broadcast runs: handles are taken only as answers to it.
  bool finding_ = false;
  LineHandler on_line_;
};

// SIGINT and SIGTERM set a flag (and interrupt a wait) instead of ending the process.
void InstallStopSignals();
bool StopRequested();

}  // namespace kirn
