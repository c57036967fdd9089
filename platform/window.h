// Windows and messages: the message loop of the driver.
//
// A window is a 16-bit handle plus a procedure. SendMessage calls the target's procedure at once
// and may re-enter procedures that are already running (a peer's answer arrives as a nested
// message while the call that asked for it is still in progress). PostMessage queues a message for
// the main thread and is the only call that other threads may make. Timers are kept by
// (window, id) and arrive as WM_TIMER with the id in wParam. The loop runs on the Qt event loop;
// posted messages and timers need a QCoreApplication (or QApplication) to exist.
//
// Windows of other processes are reached through a Transport (the workstation bus client) once
// one is installed; without one only the windows of this process exist.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class QWidget;

namespace plat {

using Hwnd = uint16_t;
using WParam = intptr_t;
using LParam = intptr_t;
using LResult = intptr_t;
using WndProc = std::function<LResult(Hwnd, uint32_t msg, WParam, LParam)>;

inline constexpr Hwnd kNoWindow = 0;
inline constexpr Hwnd HWND_BROADCAST = 0xFFFF;

// Message numbers of the platform.
inline constexpr uint32_t WM_DESTROY = 0x0002;
inline constexpr uint32_t WM_MOVE = 0x0003;
inline constexpr uint32_t WM_CLOSE = 0x0010;
inline constexpr uint32_t WM_QUERYENDSESSION = 0x0011;
inline constexpr uint32_t WM_COMMNOTIFY = 0x0044;
inline constexpr uint32_t WM_INITDIALOG = 0x0110;
inline constexpr uint32_t WM_COMMAND = 0x0111;
inline constexpr uint32_t WM_SYSCOMMAND = 0x0112;
inline constexpr uint32_t WM_TIMER = 0x0113;
// The data-carrying message of the interface library: wParam names a data block held for the
// receiver, which hands it to HandOffDataMessage.
inline constexpr uint32_t kDataMessage = 2074;

// Reaches windows of other processes. The bus client implements it.
class Transport {
 public:
  virtual ~Transport() = default;
  // A handle, unique among all peers, for a new window of this process; 0 when none can be had.
  virtual Hwnd AcquireHandle(bool top_level) = 0;
  virtual void ReleaseHandle(Hwnd h) = 0;
  // Sends to a window of another process and waits for its answer; messages sent to this
  // process's windows meanwhile are served as nested calls. `data`, when not null, travels with
  // the message (the receiver gets it as a data message) and holds the answer's block on return.
  // A peer that is gone or does not answer in time gives 0.
  virtual LResult Send(Hwnd from, Hwnd to, uint32_t msg, WParam w, LParam l,
                       std::vector<uint8_t>* data) = 0;
  // Queues a message for a window of another process. Main thread only.
  virtual bool Post(Hwnd from, Hwnd to, uint32_t msg, WParam w, LParam l) = 0;
  // Sends to every top-level window of every peer, this process's own included, one after
  // another; returns when all have answered.
  virtual void Broadcast(Hwnd from, uint32_t msg, WParam w, LParam l) = 0;
};

// Installs the transport (not owned; nullptr removes it). Windows created afterwards take their
// handles from it.
void SetTransport(Transport* transport);
Transport* GetTransport();

// Creates a window with `proc`. Top-level windows receive broadcasts. Returns 0 on failure.
Hwnd CreateWindow(WndProc proc, bool top_level);
// Sends WM_DESTROY to the window, stops its timers and forgets it. False when unknown.
bool DestroyWindow(Hwnd hwnd);
// True for a live window of this process.
bool IsLocalWindow(Hwnd hwnd);
// The window whose procedure is running innermost on this thread, or 0.
Hwnd CurrentWindow();

// Calls the target's procedure synchronously and returns its result. HWND_BROADCAST reaches
// every top-level window (through the transport when one is installed). Handle 0, or a window
// that does not exist, gives 0.
LResult SendMessage(Hwnd to, uint32_t msg, WParam w, LParam l);
// Queues the message for the main thread's loop; callable from any thread. The message is
// dropped when its window no longer exists at delivery.
bool PostMessage(Hwnd to, uint32_t msg, WParam w, LParam l);

// Starts (or restarts) timer `id` of `hwnd` with the period `ms`. Main thread only.
bool SetTimer(Hwnd hwnd, uintptr_t id, unsigned ms);
// Stops it; false when it was not running.
bool KillTimer(Hwnd hwnd, uintptr_t id);
// Period of a running timer, or 0 when it is not running.
unsigned TimerPeriod(Hwnd hwnd, uintptr_t id);

// Ends the message loop with `code`. Posted before the loop starts, the loop ends at once.
void PostQuitMessage(int code);
bool QuitPosted();
// Runs the loop until the quit message; returns its value.
int RunMessageLoop();

// Window titles. A title is shown on the window's attached widget, if any.
void SetWindowText(Hwnd hwnd, std::string_view text);
std::string GetWindowText(Hwnd hwnd);
void AttachWidget(Hwnd hwnd, QWidget* widget);
QWidget* AttachedWidget(Hwnd hwnd);

// Delivers a data message to a local window: the window receives kDataMessage with a token in
// wParam; its procedure passes wParam and lParam to HandOffDataMessage, which calls the procedure
// again with `msg`, `param` and an lParam pointing at `block` (kept zero-terminated). The block
// may be changed in place: that is how answers travel back.
// `sender` is the other process's window that sent the block (0: this process).
LResult DeliverDataMessage(Hwnd to, uint32_t msg, WParam param, std::vector<uint8_t>& block,
                           Hwnd sender = kNoWindow);
// The receiving side of DeliverDataMessage; returns the procedure's result, or 0 for an unknown
// token.
LResult HandOffDataMessage(Hwnd self, WParam w, LParam l);

// Delivers a plain message that another process sent (or posted) to a local window, as
// SendMessage would; its lParam is that process's number, so the procedure must not take it for
// a pointer (see PointerParamValid). `sender` is that process's window. Returns the procedure's
// result, 0 for an unknown window.
LResult DeliverPeerMessage(Hwnd to, uint32_t msg, WParam w, LParam l, Hwnd sender);

// Queues a message that another process posted, as PostMessage does; it keeps its origin until
// it is delivered, so the procedure sees it as a peer's message (PointerParamValid is false
// for its lParam). Main thread only. False when there is no loop to queue it on.
bool PostPeerMessage(Hwnd to, uint32_t msg, WParam w, LParam l, Hwnd sender);

// The other process's window that sent (or posted) the message the innermost running procedure
// handles, also for a block handed off with it; 0 for a message of this process or outside
// any procedure. The bus host lets a process send only from its own windows, so a procedure can
// tell which peer a message came from.
Hwnd MessageSender();

// True when `l` is the data block handed off to the innermost running procedure: only then is a
// message's lParam a block that came with it.
bool IsHandedOffBlock(LParam l);

// True when the innermost running procedure may read `l` as a pointer: the message was sent
// within this process, or `l` is the data block handed off with it. False for the lParam of a
// plain message from another process. True outside any procedure.
bool PointerParamValid(LParam l);

// Size in bytes of the block being handed off to the innermost running procedure (the one
// lParam points at), not counting the terminator kept past its end; 0 outside a hand-off. A
// receiver checks it before it reads or writes a record of fixed size.
size_t HandedOffBlockSize();

// Forgets every window, timer, pending data block and the quit state (tests).
void ResetWindows();

}  // namespace plat
