// The stand-in for the control system's interface process: the window that drivers find by
// broadcast, register their device ids with, report modes and revertives to and ask for names;
// and the relay of what it hears to the kirn tools that watch.
//
// It runs as an ordinary window of a bus client (in `kirn serve`, next to the bus host). All its
// work happens in its window procedure on the main thread; the logic behind each message is a
// public method so that a test can drive it without a bus.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/debug_output.h"
#include "platform/window.h"

namespace kirn {

struct StandInOptions {
  // The mode reported for a newly registered device (IFMODE_TXRX or IFMODE_RXONLY).
  int default_mode = 2;
  // Device id -> ZUT_REGISTER answer to give instead of the normal one (never 0).
  std::map<int, int> forced;
};

// What the stand-in needs from its surroundings. Every member may be left empty.
struct StandInHooks {
  // Receives one event line (no newline) for the operator.
  std::function<void(const std::string&, plat::LogLevel)> event;
  // Sets how long a send to another process may wait for its answer; returns the previous value.
  std::function<int(int ms)> set_send_timeout;
  // True while `window` still belongs to a running driver. Empty: every window counts as alive.
  std::function<bool(plat::Hwnd window)> is_alive;
  // True when windows `a` and `b` belong to one process. Empty: only a window is its own.
  std::function<bool(plat::Hwnd a, plat::Hwnd b)> same_process;
  // Watch the file at `path` (a device's profile the names were read from) and call
  // NamesFileChanged(path) when it changes. Called again for a path after each change (a file
  // replaced by a rename is a new file to watch). Empty: changes of the files are not noticed.
  std::function<void(const std::string& path)> watch_file;
};

class KapiStandIn {
 public:
  // The answer to ZUT_REGISTER for a registration without a window (the "failed" class).
  static constexpr int kRegisterFailed = 4;
  // Queued relay lines beyond this are dropped, oldest first (nobody is taking them); changes of
  // names and registrations among the oldest kSparedRelays are passed over.
  static constexpr size_t kMaxQueuedRelays = 10000;
  static constexpr size_t kSparedRelays = 64;
  // Longest revertive text kept from a driver.
  static constexpr size_t kMaxRevertiveText = 255;
  // Profiles watched for changes of their names at most (one per router device).
  static constexpr size_t kMaxWatchedNameFiles = 1000;
  // How long a relay to a watcher, or a probe of a driver, may take before it counts as gone.
  static constexpr int kQuickTimeoutMs = 1000;
  // How long a message forwarded to a driver may take.
  static constexpr int kDriverTimeoutMs = 5000;

  struct Registration {
    plat::Hwnd window = plat::kNoWindow;
    int mode = 0;
  };
  struct Watcher {
    bool all = false;
    std::set<int> devices;
    // The kinds of relay beyond revertives and modes it asked for (kKirnWatchKinds).
    int kinds = 0;
    // Relays for this watcher dropped from the full queue and not told yet (kKirnRelaysDropped).
    uint64_t dropped = 0;
    bool Wants(int device, int kind = 0) const {
      return (all || devices.count(device) != 0) && (kind == 0 || (kinds & kind) != 0);
    }
  };

  KapiStandIn(StandInOptions options, StandInHooks hooks);
  // Destroys the window.
  ~KapiStandIn();
  KapiStandIn(const KapiStandIn&) = delete;
  KapiStandIn& operator=(const KapiStandIn&) = delete;

  // Creates the top-level window whose procedure is Proc(). False when no handle could be had.
  bool Create();
  plat::Hwnd window() const { return window_; }

  // The window procedure.
  plat::LResult Proc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l);

  // ZUT_REGISTER: 0 registered (again, for the same window); 1 id outside 1..999; 2 held by
  // another window that is still alive (a gone one is replaced); a forced code; kRegisterFailed
  // for window 0.
  int Register(plat::Hwnd window, int device);
  // ZUT_GETDEVMODE: the recorded mode of a registered device, 0 for any other.
  int DeviceMode(int device) const;
  // ZUT_ASSERTMODE: records the mode of a registered device and relays "MODE <dev> <mode>".
  void RecordMode(int device, int mode);
  // ZUT_DETACH: drops every registration of `window`; returns the devices dropped.
  std::vector<int> Detach(plat::Hwnd window);
  // The window has gone from the bus without detaching (its process ended): its registrations
  // and its watch are dropped. Returns the devices dropped.
  std::vector<int> WindowGone(plat::Hwnd window);
  // ZUT_GETDBNAME: reads the request from `record` and writes the name over it, zero-filled.
  // REQUIRES: `record` points at the kDbNameRecordSize (18) writable bytes of the record.
  // The first look-up of a device's names has its profile watched (watch_file).
  void AnswerNameLookup(uint8_t* record);
  // The name of `entry` (1-based) in database 0 (sources) or 1 (destinations) of `device`, from
  // the device's own profile; at most 17 characters; empty when there is none.
  static std::string LookupName(int device, int database, int entry);
  // The path of the profile the names of `device` are read from; empty for none.
  static std::string NameFilePath(int device);
  // ZUT_REVERTIVE / ZUT_QUERYREPLY: counts it and relays "REV|QRY <param> <text>" to the
  // watchers of the device named in the text.
  void RecordRevertive(bool query_reply, int32_t param, std::string_view text);

  // Relays to watchers. Lines are queued and delivered by FlushRelays(), which the window posts
  // to itself, so the driver whose message produced a line never waits on a watcher.
  void Watch(plat::Hwnd watcher, int device);
  // kKirnWatchKinds: the kinds of relay `watcher` wants besides; returns those it will get.
  int WatchKinds(plat::Hwnd watcher, int kinds);
  // The names of device `device`'s database `database` (0, 1) changed, entry `entry` (0: all):
  // relayed as "DB" to the watchers that asked for it.
  void NamesChanged(int device, int database, int entry);
  // The profile at `path` changed (watch_file): its device's names may have.
  void NamesFileChanged(const std::string& path);
  bool Unwatch(plat::Hwnd watcher);
  void FlushRelays();

  const std::map<int, Registration>& registrations() const { return registrations_; }
  const std::map<plat::Hwnd, Watcher>& watchers() const { return watchers_; }
  size_t queued_relays() const { return queue_.size(); }
  uint64_t revertive_count() const { return revertive_count_; }
  uint64_t dropped_relays() const { return dropped_relays_; }

 private:
  struct Relay {
    int device = 0;
    int kind = 0;  // 0, or the kKirnWatchKinds kind of the line
    std::string line;
  };

  // An event line at `level` (most are per message: debug).
  void Event(const std::string& text, plat::LogLevel level = plat::LogLevel::kDebug) const;
  void Queue(int device, std::string line, int kind = 0);
  // Sends a data message to another window with the given answer timeout.
  int32_t SendBlock(plat::Hwnd to, uint32_t msg, int32_t param, std::string& block, int timeout);
  plat::LResult SendPlain(plat::Hwnd to, uint32_t msg, plat::WParam w, plat::LParam l, int timeout);
  plat::LResult OnFind(plat::WParam w, plat::LParam l);
  plat::LResult OnData(uint32_t msg, plat::WParam w, plat::LParam l);
  // The driver window registered for `device`, or 0 (and an event line naming `what`).
  plat::Hwnd DriverOf(int device, const char* what) const;
  // Sends `msg` to the driver registered for `device` and reports "<what> <device><detail> ->
  // <result>". Returns the driver's result, or kNoDevice.
  // A registration or detach names a window: only that window's own process may send it.
  // Refused ones are reported as an event.
  bool SentFor(plat::Hwnd window, const char* what) const;
  plat::LResult Forward(const char* what, int device, uint32_t msg, plat::WParam w, plat::LParam l,
                        const std::string& detail);
  // The registered devices as kKirnLines to `to`, with their windows when asked.
  plat::LResult ListDevices(plat::Hwnd to, bool with_windows);
  // After a forwarded message was answered with 0: true (and the registrations dropped) when
  // the driver's window no longer exists, so the caller reports "no such device".
  bool DriverGone(plat::Hwnd driver);
  std::vector<int> DropRegistrations(plat::Hwnd window, const char* what);

  StandInOptions options_;
  StandInHooks hooks_;
  plat::Hwnd window_ = plat::kNoWindow;
  std::map<int, Registration> registrations_;
  std::map<plat::Hwnd, Watcher> watchers_;
  std::deque<Relay> queue_;
  // The profiles names were read from, by path: the device whose names they hold.
  std::map<std::string, int> name_files_;
  bool flush_posted_ = false;
  uint64_t revertive_count_ = 0;
  uint64_t dropped_relays_ = 0;
};

}  // namespace kirn
