#include "tools/kirn/host/kapi_standin.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "config/location.h"
#include "interface/kirnif.h"
#include "interface/messages.h"
#include "platform/ini.h"
#include "tools/kirn/common/kirn_messages.h"
#include "tools/kirn/host/text_lines.h"

namespace kirn {
namespace {

// Largest block of relay lines sent in one message (the bus carries at most 64 KiB).
constexpr size_t kMaxRelayBlock = 32 * 1024;

// Sets the answer timeout of sends to other processes for one scope.
class ScopedTimeout {
 public:
  ScopedTimeout(const StandInHooks& hooks, int ms) : hooks_(hooks) {
    if (hooks_.set_send_timeout) previous_ = hooks_.set_send_timeout(ms);
  }
  ~ScopedTimeout() {
    if (hooks_.set_send_timeout) hooks_.set_send_timeout(previous_);
  }
  ScopedTimeout(const ScopedTimeout&) = delete;
  ScopedTimeout& operator=(const ScopedTimeout&) = delete;

 private:
  const StandInHooks& hooks_;
  int previous_ = 0;
};

}  // namespace

KapiStandIn::KapiStandIn(StandInOptions options, StandInHooks hooks)
    : options_(std::move(options)), hooks_(std::move(hooks)) {}

KapiStandIn::~KapiStandIn() {
  if (window_ != plat::kNoWindow) plat::DestroyWindow(window_);
}

bool KapiStandIn::Create() {
  window_ = plat::CreateWindow([this](plat::Hwnd h, uint32_t msg, plat::WParam w,
                                      plat::LParam l) { return Proc(h, msg, w, l); },
                               true);
  return window_ != plat::kNoWindow;
}

void KapiStandIn::Event(const std::string& text, plat::LogLevel level) const {
  if (hooks_.event) hooks_.event(text, level);
}

plat::LResult KapiStandIn::Proc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l) {
  // Only a block handed off with the message may be read through lParam.
  const bool via_handoff = plat::IsHandedOffBlock(l);
  switch (msg) {
    case xarvel::ZUT_FINDKAPI:
    case xarvel::ZUT_FINDKAPI2:
      return OnFind(w, l);
    case xarvel::ZUT_DATA:
      return xarvel::KirnIf_HandOff(hwnd, w, l);
    case xarvel::ZUT_REGISTER:
      if (!SentFor(Low16(w), "register")) return kRegisterFailed;
      return Register(Low16(w), static_cast<int>(l));
    case xarvel::ZUT_GETDEVMODE: {
      const int mode = DeviceMode(static_cast<int>(l));
      Event("getmode " + std::to_string(l) + " -> " + std::to_string(mode));
      return mode;
    }
    case xarvel::ZUT_ASSERTMODE:
      RecordMode(static_cast<int>(l), static_cast<int>(w));
      return 0;
    case xarvel::ZUT_DETACH:
      if (SentFor(Low16(w), "detach")) Detach(Low16(w));
      return 0;
    case xarvel::ZUT_GETDBNAME:
    case xarvel::ZUT_REVERTIVE:
    case xarvel::ZUT_QUERYREPLY:
    case kKirnSend:
      if (!via_handoff || l == 0) return 0;
      return OnData(msg, w, l);
    case kKirnWatch:
      if (Low16(w) == plat::kNoWindow || Low16(w) == window_) return 0;
      Watch(Low16(w), static_cast<int>(l));
      return 1;
    case kKirnUnwatch:
      return Unwatch(Low16(w)) ? 1 : 0;
    case kKirnWatchKinds:
      if (Low16(w) == plat::kNoWindow || Low16(w) == window_) return 0;
      return WatchKinds(Low16(w), static_cast<int>(l));
    case kKirnMode:
      return Forward("setmode", static_cast<int>(w), xarvel::ZUT_IDSETTXRXMODE, l, 0,
                     " " + std::to_string(l));
    case kKirnDbChange: {
      const plat::LResult r = Forward("dbchange", static_cast<int>(w), xarvel::ZUT_DBCHANGE, w, l,
                                      " " + std::to_string(l));
      // High 16 bits 0: a source name changed; else a destination name.
      if (r != kNoDevice) NamesChanged(static_cast<int>(w), (l >> 16) != 0 ? 1 : 0, 0);
      return r;
    }
    case kKirnClose:
      // The driver detaches while it handles this, so nothing of its registration is used after.
      return Forward("close", static_cast<int>(w), xarvel::ZUT_CLOSE, 0, 0, "");
    case kKirnDevices:
      return ListDevices(Low16(w), false);
    case kKirnRegistrations:
      return ListDevices(Low16(w), true);
    case kKirnFlush:
      flush_posted_ = false;
      FlushRelays();
      return 0;
    case kKirnGone:
      // The window is asked after, so a forged notice cannot drop a live driver.
      if (!hooks_.is_alive || !hooks_.is_alive(Low16(w))) WindowGone(Low16(w));
      return 0;
    default:
      return 0;
  }
}

bool KapiStandIn::SentFor(plat::Hwnd window, const char* what) const {
  const plat::Hwnd sender = plat::MessageSender();
  if (sender == plat::kNoWindow || sender == window ||
      (hooks_.same_process && hooks_.same_process(sender, window))) {
    return true;
  }
  Event(std::string(what) + " window " + Hex(window) + " from window " + Hex(sender) +
            " of another process: refused",
        plat::LogLevel::kWarning);
  return false;
}

plat::LResult KapiStandIn::Forward(const char* what, int device, uint32_t msg, plat::WParam w,
                                   plat::LParam l, const std::string& detail) {
  const plat::Hwnd driver = DriverOf(device, what);
  if (driver == plat::kNoWindow) return kNoDevice;
  // A driver answers a close with 0 and may be gone the moment after: ask before, not after.
  const bool closing = msg == xarvel::ZUT_CLOSE;
  if (closing && DriverGone(driver)) return kNoDevice;
  const plat::LResult r = SendPlain(driver, msg, w, l, kDriverTimeoutMs);
  Event(std::string(what) + " " + std::to_string(device) + detail + " -> " + std::to_string(r),
        plat::LogLevel::kInfo);
  if (r == 0 && !closing && DriverGone(driver)) return kNoDevice;
  return r;
}

bool KapiStandIn::DriverGone(plat::Hwnd driver) {
  if (!hooks_.is_alive || hooks_.is_alive(driver)) return false;
  WindowGone(driver);
  return true;
}

plat::LResult KapiStandIn::OnFind(plat::WParam w, plat::LParam l) {
  const plat::Hwnd finder = Low16(w);
  // Our own window receives every broadcast too; it never looks for itself.
  if (finder == plat::kNoWindow || finder == window_) return 0;
  if (l != kToolFindMarker) Event("find from " + Hex(finder));
  SendPlain(finder, xarvel::ZUT_KAPIHANDLE, window_, 0, kQuickTimeoutMs);
  return 0;
}

plat::LResult KapiStandIn::OnData(uint32_t msg, plat::WParam w, plat::LParam l) {
  switch (msg) {
    case xarvel::ZUT_GETDBNAME:
      // The answer is written over the whole record: a shorter block is refused, not overrun.
      if (plat::HandedOffBlockSize() < static_cast<size_t>(xarvel::kDbNameRecordSize)) return 0;
      AnswerNameLookup(reinterpret_cast<uint8_t*>(l));
      return 1;
    case xarvel::ZUT_REVERTIVE:
    case xarvel::ZUT_QUERYREPLY: {
      // The block always ends in a zero that the hand-off keeps past it.
      const char* text = reinterpret_cast<const char*>(l);
      RecordRevertive(msg == xarvel::ZUT_QUERYREPLY, static_cast<int32_t>(w),
                      std::string_view(text, strnlen(text, kMaxRevertiveText)));
      return 1;
    }
    case kKirnSend: {
      const int dev = static_cast<int>(w);
      const plat::Hwnd driver = DriverOf(dev, "command");
      if (driver == plat::kNoWindow) return kNoDevice;
      const char* p = reinterpret_cast<const char*>(l);
      std::string text(p, strnlen(p, kMaxCommandText));
      const int32_t r = SendBlock(driver, xarvel::ZUT_COMMAND, 0, text, kDriverTimeoutMs);
      Event("command " + std::to_string(dev) + " [" + OneLine(text) + "] -> " + std::to_string(r));
      if (r == 0 && DriverGone(driver)) return kNoDevice;
      // A name change (RM device database entry name mode) taken by the driver: that name of
      // the control system's database has changed.
      int rm_device = 0, database = 0, entry = 0;
      if (r == 1 && std::sscanf(text.c_str(), "RM %d %d %d", &rm_device, &database, &entry) == 3 &&
          entry > 0) {
        NamesChanged(rm_device, database, entry);
      }
      return r;
    }
    default:
      return 0;
  }
}

plat::Hwnd KapiStandIn::DriverOf(int device, const char* what) const {
  auto it = registrations_.find(device);
  if (it == registrations_.end()) {
    Event(std::string(what) + " " + std::to_string(device) + ": no such device registered",
          plat::LogLevel::kInfo);
    return plat::kNoWindow;
  }
  return it->second.window;
}

int32_t KapiStandIn::SendBlock(plat::Hwnd to, uint32_t msg, int32_t param, std::string& block,
                               int timeout) {
  std::vector<char> data(block.begin(), block.end());
  data.push_back('\0');
  ScopedTimeout scope(hooks_, timeout);
  return xarvel::KirnIf_SendData(to, msg, param, data.data(), 1, static_cast<int32_t>(data.size()));
}

plat::LResult KapiStandIn::SendPlain(plat::Hwnd to, uint32_t msg, plat::WParam w, plat::LParam l,
                                     int timeout) {
  ScopedTimeout scope(hooks_, timeout);
  return plat::SendMessage(to, msg, w, l);
}

int KapiStandIn::Register(plat::Hwnd window, int device) {
  const std::string who = std::to_string(device) + " window " + Hex(window);
  auto refuse = [&](int code) {
    Event("register " + who + " -> " + std::to_string(code) + " refused", plat::LogLevel::kWarning);
    return code;
  };
  if (auto forced = options_.forced.find(device); forced != options_.forced.end()) {
    return refuse(forced->second);
  }
  if (device < 1 || device > 999) return refuse(xarvel::kRegisterInvalidId);
  if (window == plat::kNoWindow || window == window_) return refuse(kRegisterFailed);
  auto it = registrations_.find(device);
  if (it != registrations_.end() && it->second.window != window) {
    // A driver that ended without detaching must not lock its ids away for good.
    const plat::Hwnd holder = it->second.window;
    if (!hooks_.is_alive || hooks_.is_alive(holder)) return refuse(xarvel::kRegisterIdInUse);
    Event("register " + who + " takes over from gone window " + Hex(holder),
          plat::LogLevel::kNotice);
    registrations_.erase(it);
    it = registrations_.end();
  }
  if (it == registrations_.end()) {
    it = registrations_.emplace(device, Registration{window, options_.default_mode}).first;
  }
  Event("register " + who + " -> 0 mode " + std::to_string(it->second.mode), plat::LogLevel::kInfo);
  Queue(device,
        "REG " + std::to_string(device) + " " + std::to_string(it->second.mode) + " " +
            std::to_string(window),
        kRelayRegistrations);
  return xarvel::kRegisterOk;
}

int KapiStandIn::DeviceMode(int device) const {
  auto it = registrations_.find(device);
  return it == registrations_.end() ? xarvel::IFMODE_NONE : it->second.mode;
}

void KapiStandIn::RecordMode(int device, int mode) {
  if (auto it = registrations_.find(device); it != registrations_.end()) it->second.mode = mode;
  Event("assert " + std::to_string(device) + " mode " + std::to_string(mode));
  Queue(device, "MODE " + std::to_string(device) + " " + std::to_string(mode));
}

std::vector<int> KapiStandIn::Detach(plat::Hwnd window) {
  return DropRegistrations(window, "detach");
}

std::vector<int> KapiStandIn::WindowGone(plat::Hwnd window) {
  if (watchers_.erase(window) != 0) Event("drop watcher " + Hex(window), plat::LogLevel::kInfo);
  const bool registered =
      std::any_of(registrations_.begin(), registrations_.end(),
                  [window](const auto& r) { return r.second.window == window; });
  if (!registered) return {};
  return DropRegistrations(window, "gone");
}

std::vector<int> KapiStandIn::DropRegistrations(plat::Hwnd window, const char* what) {
  std::vector<int> dropped;
  for (auto it = registrations_.begin(); it != registrations_.end();) {
    if (it->second.window == window) {
      dropped.push_back(it->first);
      Queue(it->first, "UNREG " + std::to_string(it->first), kRelayRegistrations);
      it = registrations_.erase(it);
    } else {
      ++it;
    }
  }
  std::string text = std::string(what) + " window " + Hex(window) + " devices";
  if (dropped.empty()) text += " none";
  for (int d : dropped) text += " " + std::to_string(d);
  Event(text, plat::LogLevel::kInfo);
  return dropped;
}

namespace {

// The names of one router device's profile, as read at one version of the file.
struct NameFile {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};
  std::map<std::string, std::string> names[2];  // by entry number, databases 0 and 1
};

bool SameVersion(const NameFile& f, const struct stat& st) {
  return f.device == st.st_dev && f.inode == st.st_ino && f.size == st.st_size &&
         f.modified.tv_sec == st.st_mtim.tv_sec && f.modified.tv_nsec == st.st_mtim.tv_nsec &&
         f.changed.tv_sec == st.st_ctim.tv_sec && f.changed.tv_nsec == st.st_ctim.tv_nsec;
}

// The profiles read for names, by path: a list of thousands of names is read once per change
// of its file rather than once per name (reading the whole file for each look-up made a
// 4096-destination router's lists cost seconds of the bus host's time).
std::map<std::string, NameFile>& NameFiles() {
  static std::map<std::string, NameFile> files;
  return files;
}
constexpr size_t kMaxNameFiles = 64;

}  // namespace

std::string KapiStandIn::NameFilePath(int device) {
  if (device < 1 || device > 999) return {};
  char file[16];
  std::snprintf(file, sizeof file, "DEV_%03d.INI", device);
  return xarvel::ProfilePath(file);
}

std::string KapiStandIn::LookupName(int device, int database, int entry) {
  if (device < 1 || device > 999 || (database != 0 && database != 1) || entry < 1) return {};
  const std::string path = NameFilePath(device);
  std::map<std::string, NameFile>& files = NameFiles();
  struct stat st {};
  if (path.empty() || path.size() > xarvel::kMaxProfilePath || ::stat(path.c_str(), &st) != 0 ||
      !S_ISREG(st.st_mode)) {
    files.erase(path);
    return {};
  }
  auto it = files.find(path);
  if (it == files.end() || !SameVersion(it->second, st)) {
    if (it == files.end() && files.size() >= kMaxNameFiles) files.clear();
    NameFile f;
    f.device = st.st_dev;
    f.inode = st.st_ino;
    f.size = st.st_size;
    f.modified = st.st_mtim;
    f.changed = st.st_ctim;
    for (int db = 0; db < 2; ++db) {
      for (auto& [key, value] :
           plat::GetPrivateProfileSection(db == 0 ? "Database_0" : "Database_1", path)) {
        std::string lower = key;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        f.names[db].emplace(std::move(lower), std::move(value));
      }
    }
    it = files.insert_or_assign(path, std::move(f)).first;
  }
  const auto& names = it->second.names[database];
  auto name = names.find(std::to_string(entry));
  if (name == names.end()) return {};
  return name->second.substr(0, static_cast<size_t>(xarvel::kDbNameMaxLength));
}

void KapiStandIn::AnswerNameLookup(uint8_t* record) {
  auto word = [record](int at) { return record[at] | (record[at + 1] << 8); };
  const int device = word(0);
  const std::string name = LookupName(device, word(2), word(4));
  // The profile is watched from its first look-up on, so that a change of its names is told.
  if (hooks_.watch_file && name_files_.size() < kMaxWatchedNameFiles) {
    const std::string path = NameFilePath(device);
    if (!path.empty() && name_files_.emplace(path, device).second) hooks_.watch_file(path);
  }
  std::memset(record, 0, xarvel::kDbNameRecordSize);
  std::memcpy(record, name.data(),
              std::min(name.size(), static_cast<size_t>(xarvel::kDbNameMaxLength)));
}

void KapiStandIn::RecordRevertive(bool query_reply, int32_t param, std::string_view text) {
  ++revertive_count_;
  // "RR %03d %03d %03d": the first number is the device the revertive belongs to.
  int device = 0;
  const std::string copy(text.substr(0, kMaxRevertiveText));
  if (std::sscanf(copy.c_str(), "RR %d", &device) != 1) device = 0;
  Queue(device,
        std::string(query_reply ? "QRY " : "REV ") + std::to_string(param) + " " + OneLine(copy));
}

int KapiStandIn::WatchKinds(plat::Hwnd watcher, int kinds) {
  const int known = kinds & (kRelayDatabase | kRelayRegistrations);
  watchers_[watcher].kinds = known;
  Event("watch window " + Hex(watcher) + " kinds " + std::to_string(known), plat::LogLevel::kInfo);
  return known;
}

void KapiStandIn::NamesChanged(int device, int database, int entry) {
  if (device < 1 || (database != 0 && database != 1) || entry < 0) return;
  Queue(
      device,
      "DB " + std::to_string(device) + " " + std::to_string(database) + " " + std::to_string(entry),
      kRelayDatabase);
}

void KapiStandIn::NamesFileChanged(const std::string& path) {
  auto it = name_files_.find(path);
  if (it == name_files_.end()) return;
  Event("names of " + std::to_string(it->second) + " changed (" + path + ")",
        plat::LogLevel::kInfo);
  NamesChanged(it->second, 0, 0);
  NamesChanged(it->second, 1, 0);
  // A file replaced by a rename is watched anew.
  if (hooks_.watch_file) hooks_.watch_file(path);
}

void KapiStandIn::Watch(plat::Hwnd watcher, int device) {
  Watcher& w = watchers_[watcher];
  if (device == 0) {
    w.all = true;
  } else {
    w.devices.insert(device);
  }
  Event("watch window " + Hex(watcher) + " device " +
            (device == 0 ? std::string("all") : std::to_string(device)),
        plat::LogLevel::kInfo);
}

bool KapiStandIn::Unwatch(plat::Hwnd watcher) {
  if (watchers_.erase(watcher) == 0) return false;
  Event("unwatch window " + Hex(watcher), plat::LogLevel::kInfo);
  return true;
}

void KapiStandIn::Queue(int device, std::string line, int kind) {
  const bool wanted =
      std::any_of(watchers_.begin(), watchers_.end(),
                  [device, kind](const auto& w) { return w.second.Wants(device, kind); });
  if (!wanted) return;
  if (queue_.size() >= kMaxQueuedRelays) {
    // The oldest revertive, query reply or mode goes: a watcher re-reads the tables after a loss
    // anyway. A change of names or registrations is rare and says what to read again, so it is
    // passed over, among the first kSparedRelays lines (a bounded look, however the queue is
    // made up). Each watcher that wanted the line is told how many it lost before its next lines.
    const auto look =
        queue_.begin() + static_cast<std::ptrdiff_t>(std::min(queue_.size(), kSparedRelays));
    auto lost = std::find_if(queue_.begin(), look, [](const Relay& r) { return r.kind == 0; });
    if (lost == look) lost = queue_.begin();
    for (auto& [hwnd, w] : watchers_) {
      if (w.Wants(lost->device, lost->kind)) ++w.dropped;
    }
    queue_.erase(lost);
    ++dropped_relays_;
  }
  queue_.push_back(Relay{device, kind, std::move(line)});
  if (!flush_posted_ && window_ != plat::kNoWindow) {
    flush_posted_ = plat::PostMessage(window_, kKirnFlush, 0, 0);
  }
}

void KapiStandIn::FlushRelays() {
  if (queue_.empty()) return;
  // Lines that arrive while these are delivered (a watcher's answer lets nested messages in)
  // start a new batch and a new flush.
  std::deque<Relay> batch;
  batch.swap(queue_);
  const std::vector<std::pair<plat::Hwnd, Watcher>> snapshot(watchers_.begin(), watchers_.end());
  std::vector<plat::Hwnd> gone;
  for (const auto& [hwnd, watcher] : snapshot) {
    std::string block;
    int32_t count = 0;
    bool alive = true;
    auto deliver = [&, hwnd = hwnd]() {
      if (count == 0 || !alive) return;
      alive = SendBlock(hwnd, kKirnLines, count, block, kQuickTimeoutMs) == 1;
      block.clear();
      count = 0;
    };
    if (watcher.dropped > 0) {
      const auto told = static_cast<plat::WParam>(std::min<uint64_t>(watcher.dropped, INT32_MAX));
      alive = SendPlain(hwnd, kKirnRelaysDropped, told, 0, kQuickTimeoutMs) == 1;
      if (auto it = watchers_.find(hwnd); alive && it != watchers_.end()) {
        it->second.dropped -= std::min<uint64_t>(it->second.dropped, static_cast<uint64_t>(told));
      }
    }
    for (const Relay& r : batch) {
      if (!alive) break;
      if (!watcher.Wants(r.device, r.kind)) continue;
      if (block.size() + r.line.size() + 1 > kMaxRelayBlock) deliver();
      if (!alive) break;
      block += r.line;
      block += '\n';
      ++count;
    }
    deliver();
    if (!alive) gone.push_back(hwnd);
  }
  for (plat::Hwnd hwnd : gone) {
    if (watchers_.erase(hwnd) == 0) continue;
    Event("drop watcher " + Hex(hwnd), plat::LogLevel::kInfo);
    // A watcher that was only slow learns that it must watch again (a gone one never reads it).
    if (plat::Transport* t = plat::GetTransport()) {
      t->Post(window_, hwnd, kKirnRelaysDropped, kRelaysWatcherDropped, 0);
    }
  }
}

plat::LResult KapiStandIn::ListDevices(plat::Hwnd to, bool with_windows) {
  std::string block;
  int32_t count = 0;
  for (const auto& [device, reg] : registrations_) {
    block += std::to_string(device) + " " + std::to_string(reg.mode);
    if (with_windows) block += " " + std::to_string(reg.window);
    block += "\n";
    ++count;
  }
  if (count > 0 && to != plat::kNoWindow && to != window_) {
    SendBlock(to, kKirnLines, count, block, kQuickTimeoutMs);
  }
  return count;
}

}  // namespace kirn
