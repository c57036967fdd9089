#include "tools/kirn/survey/driver_survey.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "core/remote_panel.h"
#include "interface/kirnif.h"
#include "interface/messages.h"
#include "platform/bus_host.h"
#include "platform/debug_output.h"
#include "tools/kirn/common/kirn_messages.h"
#include "tools/kirn/survey/counter_lines.h"

namespace kirn {
namespace {

// The routers an answer names (its "routes router=DEV" lines).
std::vector<int> RoutersOf(const xarvel::PanelCounters& c) {
  std::vector<int> routers;
  for (const xarvel::CounterLine& line : c.lines) {
    if (line.name == "routes" && line.labels.size() == 1 && line.labels[0].first == "router") {
      routers.push_back(std::atoi(line.labels[0].second.c_str()));
    }
  }
  return routers;
}

// "DEV MODE WINDOW" lines into device -> window; lines that do not read so are skipped.
std::map<int, plat::Hwnd> ParseRegistrations(std::string_view text) {
  std::map<int, plat::Hwnd> out;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string line(text.substr(0, end));
    int device = 0;
    int mode = 0;
    unsigned window = 0;
    if (std::sscanf(line.c_str(), "%d %d %u", &device, &mode, &window) == 3 && device > 0 &&
        window > 0 && window < plat::HWND_BROADCAST) {
      out[device] = static_cast<plat::Hwnd>(window);
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return out;
}

}  // namespace

DriverSurvey::DriverSurvey(int deadline_ms) : deadline_ms_(deadline_ms) {}

DriverSurvey::~DriverSurvey() {
  Disconnect();
}

int DriverSurvey::fd() const {
  return bus_ && !lost_ ? bus_->fd() : -1;
}

int DriverSurvey::MsUntilDeadline() const {
  if (!running_) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
  return static_cast<int>(std::max<long long>(left.count(), 0));
}

bool DriverSurvey::Connect() {
  if (bus_ && !lost_) return true;
  Disconnect();
  const auto now = Clock::now();
  if (last_connect_ != Clock::time_point{} &&
      now - last_connect_ < std::chrono::milliseconds(kReconnectMs)) {
    return false;
  }
  last_connect_ = now;
  std::string error;
  bus_ = plat::BusClient::Connect(plat::BusPath(), &error);
  if (!bus_) return false;
  // Also bounds a write to a host that has stopped reading, and the handle's request.
  bus_->SetSendTimeoutMs(deadline_ms_);
  bus_->SetDisconnectHandler([this] { lost_ = true; });
  lost_told_ = false;
  plat::SetTransport(bus_.get());
  // Not top-level: broadcasts pass this window by, so the exporter never slows them down.
  window_ = plat::CreateWindow([this](plat::Hwnd h, uint32_t msg, plat::WParam w,
                                      plat::LParam l) { return Proc(h, msg, w, l); },
                               false);
  if (window_ == plat::kNoWindow || lost_) {
    Disconnect();
    return false;
  }
  return true;
}

void DriverSurvey::Disconnect() {
  if (window_ != plat::kNoWindow) plat::DestroyWindow(window_);
  window_ = plat::kNoWindow;
  if (bus_) plat::SetTransport(nullptr);
  bus_.reset();
  lost_ = false;
  watching_ = false;
  watch_serial_ = 0;
  kapi_ = plat::kNoWindow;
  find_serial_ = 0;
  registrations_serial_ = 0;
  registration_lines_.clear();
  // Handles mean nothing on another host; the drivers heard from are remembered by number.
  registrations_.clear();
  late_.clear();
  asks_.clear();
  queued_.clear();
  kinds_serial_ = 0;
  relay_kinds_ = 0;
  window_driver_.clear();
  subscribed_.clear();
  subscribing_.clear();
  // The names read are kept, but another host's interface may name things otherwise: they are
  // read again as they are wanted. Those not read yet are wanted again by the next reader.
  name_queue_.clear();
  name_queued_.clear();
  names_in_flight_.clear();
  changed_in_flight_.clear();
  NamesChanged(0, -1, 0);
  // Commands not delivered are lost with the bus (their takes are answered at their deadline).
  commands_.clear();
  commands_in_flight_.clear();
}

plat::LResult DriverSurvey::Proc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l) {
  const plat::Hwnd sender = plat::MessageSender();
  switch (msg) {
    case xarvel::ZUT_KAPIHANDLE:
      // Taken only while the find runs, from the window that names itself.
      if (find_serial_ != 0 && kapi_ == plat::kNoWindow &&
          (sender == plat::kNoWindow || sender == (w & 0xFFFF))) {
        kapi_ = static_cast<plat::Hwnd>(w & 0xFFFF);
      }
      return 0;
    case xarvel::ZUT_DATA:
      return xarvel::KirnIf_HandOff(hwnd, w, l);
    case kKirnLines: {
      // The interface's answer to the registrations request, or its relays.
      if (!plat::IsHandedOffBlock(l) || l == 0 || sender != kapi_ || kapi_ == plat::kNoWindow) {
        return 0;
      }
      const std::string_view text(
          reinterpret_cast<const char*>(l),
          strnlen(reinterpret_cast<const char*>(l), plat::HandedOffBlockSize()));
      // Registration lines start with a digit; relays with REV, QRY or MODE.
      if (!text.empty() && text[0] >= '0' && text[0] <= '9') {
        if (registrations_serial_ == 0) return 0;
        registration_lines_.append(text);
      } else {
        Relayed(text);
      }
      return 1;
    }
    case xarvel::kLinkNews: {
      if (!plat::IsHandedOffBlock(l) || l == 0) return 0;
      return LinkNews(sender, std::string_view(reinterpret_cast<const char*>(l),
                                               strnlen(reinterpret_cast<const char*>(l),
                                                       plat::HandedOffBlockSize())));
    }
    case kKirnRelaysDropped:
      if (sender != kapi_ || kapi_ == plat::kNoWindow) return 0;
      if (w == kRelaysWatcherDropped) watching_ = false;
      for (const Follower& f : followers_) {
        if (f.lost) f.lost(static_cast<int64_t>(w));
      }
      return 1;
    default:
      return 0;
  }
}

void DriverSurvey::Relayed(std::string_view text) {
  if (followers_.empty()) return;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (!Registry(line)) {
      for (const Follower& f : followers_) {
        if (f.line && !line.empty()) f.line(line);
      }
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

void DriverSurvey::Start(const SurveyWants& wants) {
  wants_ = wants;
  running_ = true;
  listed_ = false;
  started_ = Clock::now();
  deadline_ = started_ + std::chrono::milliseconds(deadline_ms_);
  asks_.clear();
  queued_.clear();
  if (!Connect()) return;
  if (kapi_ == plat::kNoWindow && find_serial_ == 0) {
    find_serial_ = bus_->StartBroadcast(window_, xarvel::ZUT_FINDKAPI, window_, kToolFindMarker);
  }
  // The drivers registered at the last look are asked at once; the list is read again alongside.
  std::set<plat::Hwnd> windows;
  for (const auto& [device, window] : registrations_) windows.insert(window);
  for (plat::Hwnd window : windows) Ask(window);
  Collect();
}

void DriverSurvey::Ask(plat::Hwnd window) {
  if (asks_.count(window) != 0) return;
  Asked& a = asks_[window];
  if (late_.count(window) != 0) {
    // Still unanswered from an earlier survey: down now as it was then.
    a.done = true;
    return;
  }
  Send(Pending{window, AskKind::kCounters, 0});
}

void DriverSurvey::Send(const Pending& p) {
  auto it = asks_.find(p.window);
  if (it == asks_.end()) return;
  Asked& a = it->second;
  if (InFlight() >= kMaxInFlight || !bus_ || lost_) {
    queued_.push_back(p);
    return;
  }
  switch (p.kind) {
    case AskKind::kCounters:
      a.serial = bus_->StartSend(window_, p.window, xarvel::kPanelCounters, 0, 0,
                                 std::vector<uint8_t>(xarvel::kPanelBlockSize, 0));
      if (a.serial == 0) a.done = true;
      break;
    case AskKind::kStatus:
      a.status_serial = bus_->StartSend(window_, p.window, xarvel::kPanelStatus, 0, 0,
                                        std::vector<uint8_t>(xarvel::kPanelBlockSize, 0));
      if (a.status_serial == 0) a.status_done = true;
      break;
    case AskKind::kTable: {
      TableAsk& t = a.tables[p.table];
      const int router = TableRouter(a, p.table);
      if (router <= 0 || router > 0xFFFF || t.next < 1 || t.next > 0xFFFF) {
        t.done = true;
        break;
      }
      const auto param = static_cast<plat::WParam>(static_cast<uint32_t>(router) |
                                                   (static_cast<uint32_t>(t.next) << 16));
      t.serial = bus_->StartSend(window_, p.window, xarvel::kPanelTable, param, 0,
                                 std::vector<uint8_t>(xarvel::kPanelTableBlockSize, 0));
      ++t.pages;
      if (t.serial == 0) t.done = true;
      break;
    }
  }
}

int DriverSurvey::TableRouter(const Asked& a, int key) {
  if (key != 0) return key;
  const std::vector<int> routers = RoutersOf(a.counters);
  return routers.empty() ? 0 : routers.front();
}

void DriverSurvey::AskMore(plat::Hwnd window, Asked& a) {
  const int driver = static_cast<int>(a.counters.Get("driver"));
  auto tables = wants_.tables.find(driver);
  const bool status = wants_.status || tables != wants_.tables.end();
  if (status) {
    a.status_done = false;
    Send(Pending{window, AskKind::kStatus, 0});
  }
  if (tables == wants_.tables.end()) return;
  for (const int key : tables->second) {
    a.tables[key] = TableAsk{};
    Send(Pending{window, AskKind::kTable, key});
  }
}

void DriverSurvey::CollectMore(Asked& a, plat::Hwnd window) {
  if (!a.status_done && a.status_serial != 0) {
    if (auto reply = bus_->TakeReply(a.status_serial)) {
      a.status_done = true;
      a.status_serial = 0;
      if (reply->result > 0 && !reply->data.empty()) {
        a.status = ParsePanelStatus(std::string_view(
            reinterpret_cast<const char*>(reply->data.data()),
            strnlen(reinterpret_cast<const char*>(reply->data.data()), reply->data.size())));
      }
    }
  }
  for (auto& [key, t] : a.tables) {
    if (t.done || t.serial == 0) continue;
    auto reply = bus_->TakeReply(t.serial);
    if (!reply) continue;
    t.serial = 0;
    if (reply->result <= 0 || reply->data.empty()) {
      t.done = true;
      continue;
    }
    const int next = ParseTablePage(
        std::string_view(
            reinterpret_cast<const char*>(reply->data.data()),
            strnlen(reinterpret_cast<const char*>(reply->data.data()), reply->data.size())),
        &t.table);
    if (next == 0) {
      t.done = true;
      t.whole = true;
    } else if (next < 0 || t.pages >= kMaxTablePages) {
      t.done = true;
    } else {
      t.next = next;
      Send(Pending{window, AskKind::kTable, key});
    }
  }
}

size_t DriverSurvey::InFlight() const {
  size_t n = late_.size() + subscribing_.size();
  for (const auto& [window, a] : asks_) {
    n += (!a.done && a.serial != 0) ? 1 : 0;
    n += (!a.status_done && a.status_serial != 0) ? 1 : 0;
    for (const auto& [key, t] : a.tables) n += (!t.done && t.serial != 0) ? 1 : 0;
  }
  return n;
}

void DriverSurvey::StartAsks() {
  while (!queued_.empty() && InFlight() < kMaxInFlight && bus_ && !lost_) {
    const Pending p = queued_.front();
    queued_.pop_front();
    Send(p);
  }
}

void DriverSurvey::Collect() {
  if (!bus_ || lost_) return;
  // Answers of earlier surveys that came in at last: their drivers may be asked again.
  for (auto it = late_.begin(); it != late_.end();) {
    if (bus_->Awaiting(it->second)) {
      ++it;
    } else {
      bus_->Forget(it->second);
      it = late_.erase(it);
    }
  }
  if (find_serial_ != 0 && (kapi_ != plat::kNoWindow || !bus_->Awaiting(find_serial_))) {
    // Found, or every window has answered the broadcast without the interface among them.
    bus_->Forget(find_serial_);
    find_serial_ = 0;
  }
  if (!followers_.empty() && kapi_ != plat::kNoWindow && !watching_) {
    if (watch_serial_ == 0) {
      watch_serial_ = bus_->StartSend(window_, kapi_, kKirnWatch, window_, 0);
    } else if (auto reply = bus_->TakeReply(watch_serial_)) {
      watch_serial_ = 0;
      watching_ = reply->result == 1;
      // The changes of the registrations and of the names, besides.
      if (watching_) {
        kinds_serial_ = bus_->StartSend(window_, kapi_, kKirnWatchKinds, window_,
                                        kRelayDatabase | kRelayRegistrations);
        // Names that changed while the watch was dropped or the bus was lost were never told:
        // every name held is read again when next wanted.
        if (watched_before_) NamesChanged(0, -1, 0);
        watched_before_ = true;
      }
      for (const Follower& f : followers_) {
        if (watching_ && f.watching) f.watching();
      }
    }
  }
  if (kinds_serial_ != 0) {
    if (auto reply = bus_->TakeReply(kinds_serial_)) {
      kinds_serial_ = 0;
      relay_kinds_ = static_cast<int>(reply->result);
    } else if (!bus_->Awaiting(kinds_serial_)) {
      kinds_serial_ = 0;
    }
  }
  CollectSubscriptions();
  if (running_ && kapi_ != plat::kNoWindow && registrations_serial_ == 0 && !listed_) {
    registration_lines_.clear();
    registrations_serial_ = bus_->StartSend(window_, kapi_, kKirnRegistrations, window_, 0);
    listed_ = registrations_serial_ == 0;
  }
  if (registrations_serial_ != 0) {
    if (auto reply = bus_->TakeReply(registrations_serial_)) {
      registrations_serial_ = 0;
      // The lines came before the answer; no line and an answer of 0: nobody is registered.
      registrations_ = ParseRegistrations(registration_lines_);
      registration_lines_.clear();
      listed_ = true;
      if (running_) {
        std::set<plat::Hwnd> windows;
        for (const auto& [device, window] : registrations_) windows.insert(window);
        for (plat::Hwnd window : windows) Ask(window);
      }
    }
  }
  for (auto& [window, a] : asks_) {
    CollectMore(a, window);
    if (a.done || a.serial == 0) continue;
    auto reply = bus_->TakeReply(a.serial);
    if (!reply) continue;
    a.done = true;
    if (reply->result <= 0 || reply->data.empty()) continue;
    const std::string_view text(
        reinterpret_cast<const char*>(reply->data.data()),
        strnlen(reinterpret_cast<const char*>(reply->data.data()), reply->data.size()));
    a.counters = xarvel::ParsePanelCounters(text);
    a.up = a.counters.complete && a.counters.Get("driver") > 0;
    if (a.up) {
      window_driver_[window] = static_cast<int>(a.counters.Get("driver"));
      Subscribe(window, running_ && wants_.subscribe_again);
    }
    if (a.up && running_) AskMore(window, a);
  }
  StartAsks();
  CollectNames();
  StartNames();
  StartCommands();
}

bool DriverSurvey::AllIn() const {
  if (!bus_ || lost_) return true;
  if (find_serial_ != 0 || registrations_serial_ != 0 || !queued_.empty()) return false;
  // The interface found but its list not read yet.
  if (kapi_ != plat::kNoWindow && !listed_) return false;
  for (const auto& [window, a] : asks_) {
    if (!a.done || !a.status_done) return false;
    for (const auto& [key, t] : a.tables) {
      if (!t.done) return false;
    }
  }
  return true;
}

bool DriverSurvey::Poll() {
  if (bus_ && !lost_) bus_->Pump(0);
  if (bus_ && lost_ && !lost_told_) {
    lost_told_ = true;
    watching_ = false;
    for (const Follower& f : followers_) {
      if (f.bus_lost) f.bus_lost();
    }
  }
  Collect();
  if (!running_) return false;
  if (!AllIn() && Clock::now() < deadline_) return false;
  Finish();
  return true;
}

void DriverSurvey::OverlayNews(xarvel::PanelCounters* counters, const xarvel::PanelCounters& news) {
  for (const xarvel::CounterLine& n : news.lines) {
    if (n.name == "format" || n.name == "driver" || n.name == "now_ms" ||
        n.name == "start_time_ms" || n.name == "end") {
      continue;
    }
    for (xarvel::CounterLine& line : counters->lines) {
      if (line.name == n.name && line.labels == n.labels) line.value = n.value;
    }
  }
}

void DriverSurvey::Finish() {
  running_ = false;
  Survey s;
  s.bus = bus_ && !lost_ && kapi_ != plat::kNoWindow;
  // Asks still out are left to the host's answer; until it comes their drivers are not asked.
  for (auto& [window, a] : asks_) {
    if (!bus_ || lost_) break;
    std::vector<uint32_t> out;
    if (!a.done && a.serial != 0) out.push_back(a.serial);
    if (!a.status_done && a.status_serial != 0) out.push_back(a.status_serial);
    for (const auto& [key, t] : a.tables) {
      if (!t.done && t.serial != 0) out.push_back(t.serial);
    }
    if (out.empty()) continue;
    // One unanswered ask keeps the window from being asked again until the host answers it;
    // the answers of the others are dropped as they come.
    late_[window] = out.front();
    for (size_t i = 1; i < out.size(); ++i) bus_->Forget(out[i]);
  }
  if (registrations_serial_ != 0) {
    // The interface did not answer in time: the next survey asks for a new list.
    if (bus_ && !lost_) bus_->Forget(registrations_serial_);
    registrations_serial_ = 0;
    registration_lines_.clear();
  }

  std::map<int, DriverReading> named;
  std::set<plat::Hwnd> answered;
  last_up_.clear();
  // The windows that answered as each driver: more than one is a conflict, and neither is taken.
  std::map<int, std::vector<plat::Hwnd>> windows_of;
  for (auto& [window, a] : asks_) {
    if (!a.up) continue;
    const int64_t number = a.counters.Get("driver", {}, -1);
    const int bad = DropBadLines(&a.counters);
    if (number < 0 || number > 999) {
      // Not an answer of a driver at all: it stays unnamed, like a window never heard from.
      a.up = false;
      continue;
    }
    const int driver = static_cast<int>(number);
    if (bad > 0) ++bad_answers_[driver];
    windows_of[driver].push_back(window);
    answered.insert(window);
  }
  for (auto& [window, a] : asks_) {
    if (!a.up) continue;
    const int driver = static_cast<int>(a.counters.Get("driver"));
    DriverReading& r = named[driver];
    r.driver = driver;
    r.bad_answers = bad_answers_[driver];
    const std::vector<plat::Hwnd>& windows = windows_of[driver];
    if (windows.size() > 1) {
      if (!r.conflict) {
        char line[96];
        std::snprintf(line, sizeof line,
                      "kirn metrics: %zu windows answer as driver %d: none is taken\n",
                      windows.size(), driver);
        plat::OutputDebugString(line, plat::LogLevel::kWarning);
      }
      r.conflict = true;
      r.up = false;
      r.windows = windows;
      r.routers = RoutersOf(a.counters);
      r.counters = {};
      continue;
    }
    r.routers = RoutersOf(a.counters);
    r.up = true;
    r.windows = windows;
    const int64_t start = a.counters.Get("start_time_ms");
    if (auto was = known_.find(driver);
        was != known_.end() && was->second.start_ms != 0 &&
        (was->second.start_ms != start || was->second.window != window)) {
      // Started again: its routers' names may have changed with it.
      for (int router : was->second.routers) NamesChanged(router, -1, 0);
      for (int router : r.routers) NamesChanged(router, -1, 0);
    }
    r.counters = std::move(a.counters);
    // News that came after the answer was made tell the link as it is now: the followers must
    // not see an older state after a newer one.
    if (auto news = news_.find(driver);
        news != news_.end() && news->second.Get("now_ms") >= r.counters.Get("now_ms")) {
      OverlayNews(&r.counters, news->second);
    }
    r.status = std::move(a.status);
    for (auto& [key, t] : a.tables) {
      if (t.whole) r.tables[key] = std::move(t.table);
    }
    known_[driver] = Known{window, r.routers, start};
    last_up_.insert(window);
  }
  std::set<plat::Hwnd> known_windows;
  for (const auto& [driver, k] : known_) {
    known_windows.insert(k.window);
    if (named.count(driver) != 0) continue;
    DriverReading& r = named[driver];
    r.driver = driver;
    r.routers = k.routers;
  }
  for (auto& [driver, r] : named) s.drivers.push_back(std::move(r));
  // Registered windows never heard from, named by their routers.
  std::map<plat::Hwnd, std::vector<int>> unnamed;
  for (const auto& [device, window] : registrations_) {
    if (answered.count(window) == 0 && known_windows.count(window) == 0) {
      unnamed[window].push_back(device);
    }
  }
  std::vector<DriverReading> rest;
  for (auto& [window, devices] : unnamed) {
    DriverReading r;
    r.routers = devices;
    rest.push_back(std::move(r));
  }
  std::sort(rest.begin(), rest.end(),
            [](const DriverReading& a, const DriverReading& b) { return a.routers < b.routers; });
  for (auto& r : rest) s.drivers.push_back(std::move(r));
  asks_.clear();
  queued_.clear();
  s.took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started_);
  result_ = std::move(s);
}

void DriverSurvey::WantNames(int device, int database, int first, int last) {
  if (device <= 0 || device > 0xFFFF || (database != 0 && database != 1)) return;
  first = std::max(first, 1);
  last = std::min(last, 0xFFFF);
  RouterNames& names = names_[device];
  const std::map<int, RouterNames::Name>& known =
      database == 0 ? names.sources : names.destinations;
  for (int entry = first; entry <= last; ++entry) {
    if (name_queue_.size() >= kMaxNamesQueued) return;
    auto it = known.find(entry);
    if (it != known.end() && !it->second.stale) continue;
    const NameKey key{device, {database, entry}};
    if (!name_queued_.insert(key).second) continue;
    name_queue_.push_back(key);
  }
}

const RouterNames* DriverSurvey::Names(int device) const {
  auto it = names_.find(device);
  return it == names_.end() ? nullptr : &it->second;
}

void DriverSurvey::StartNames() {
  if (!bus_ || lost_ || kapi_ == plat::kNoWindow) return;
  while (!name_queue_.empty() && names_in_flight_.size() < kMaxNamesInFlight) {
    const NameKey key = name_queue_.front();
    name_queue_.pop_front();
    // The look-up record: device id, database and entry as 16-bit little-endian words.
    std::vector<uint8_t> record(xarvel::kDbNameRecordSize, 0);
    const int words[3] = {key.first, key.second.first, key.second.second};
    for (int i = 0; i < 3; ++i) {
      record[static_cast<size_t>(2 * i)] = static_cast<uint8_t>(words[i] & 0xFF);
      record[static_cast<size_t>(2 * i + 1)] = static_cast<uint8_t>((words[i] >> 8) & 0xFF);
    }
    const uint32_t serial =
        bus_->StartSend(window_, kapi_, xarvel::ZUT_GETDBNAME, 0, 0, std::move(record));
    if (serial == 0) {
      name_queued_.erase(key);
      continue;
    }
    names_in_flight_[serial] = key;
  }
}

void DriverSurvey::CollectNames() {
  for (auto it = names_in_flight_.begin(); it != names_in_flight_.end();) {
    auto reply = bus_->TakeReply(it->first);
    if (!reply) {
      ++it;
      continue;
    }
    const NameKey key = it->second;
    it = names_in_flight_.erase(it);
    name_queued_.erase(key);
    RouterNames& names = names_[key.first];
    RouterNames::Name& name =
        (key.second.first == 0 ? names.sources : names.destinations)[key.second.second];
    ++names_read_;
    name.read = Clock::now();
    // Changed while the look-up was on its way: the answer may be the old name.
    name.stale = changed_in_flight_.erase(key) != 0;
    // No answer (the interface did not take it): kept as it was, and asked again when wanted.
    if (reply->result == 0) {
      name.stale = true;
      continue;
    }
    const std::string text(
        reinterpret_cast<const char*>(reply->data.data()),
        strnlen(reinterpret_cast<const char*>(reply->data.data()),
                std::min(reply->data.size(), static_cast<size_t>(xarvel::kDbNameMaxLength))));
    if (text != name.text || !name.answered || names.version == 0) ++names.version;
    name.text = text;
    name.answered = true;
  }
}

void DriverSurvey::NamesChanged(int device, int database, int entry) {
  auto mark = [database, entry](std::map<int, RouterNames::Name>& names, int db) {
    if (database != -1 && database != db) return;
    if (entry == 0) {
      for (auto& [number, name] : names) name.stale = true;
    } else if (auto it = names.find(entry); it != names.end()) {
      it->second.stale = true;
    }
  };
  for (auto& [router, names] : names_) {
    if (device != 0 && router != device) continue;
    mark(names.sources, 0);
    mark(names.destinations, 1);
  }
  for (const auto& [serial, key] : names_in_flight_) {
    if ((device == 0 || key.first == device) && (database == -1 || key.second.first == database) &&
        (entry == 0 || key.second.second == entry)) {
      changed_in_flight_.insert(key);
    }
  }
}

bool DriverSurvey::Registry(std::string_view line) {
  if (!line.starts_with("DB ") && !line.starts_with("REG ") && !line.starts_with("UNREG ")) {
    return false;
  }
  const std::string copy(line.substr(0, 63));
  int device = 0;
  int a = 0;
  unsigned b = 0;
  if (std::sscanf(copy.c_str(), "DB %d %d %u", &device, &a, &b) == 3) {
    if (device > 0 && (a == 0 || a == 1) && b <= 0xFFFF)
      NamesChanged(device, a, static_cast<int>(b));
  } else if (std::sscanf(copy.c_str(), "REG %d %d %u", &device, &a, &b) == 3) {
    if (device > 0 && b > 0 && b < plat::HWND_BROADCAST) {
      registrations_[device] = static_cast<plat::Hwnd>(b);
      registrations_changed_ = true;
    }
  } else if (std::sscanf(copy.c_str(), "UNREG %d", &device) == 1) {
    auto it = registrations_.find(device);
    if (it != registrations_.end()) {
      const plat::Hwnd window = it->second;
      registrations_.erase(it);
      registrations_changed_ = true;
      const bool still = std::any_of(registrations_.begin(), registrations_.end(),
                                     [window](const auto& r) { return r.second == window; });
      if (!still) {
        // Gone: its handle may come back as another process's window.
        window_driver_.erase(window);
        subscribed_.erase(window);
      }
    }
  }
  return true;
}

bool DriverSurvey::TakeRegistrationsChanged() {
  return std::exchange(registrations_changed_, false);
}

bool DriverSurvey::announced() const {
  if (!watching_ || (relay_kinds_ & kRelayRegistrations) == 0) return false;
  for (plat::Hwnd window : last_up_) {
    auto it = subscribed_.find(window);
    if (it == subscribed_.end() || !it->second) return false;
  }
  return true;
}

void DriverSurvey::Subscribe(plat::Hwnd window, bool again) {
  if (!bus_ || lost_ || subscribing_.count(window) != 0) return;
  if (std::none_of(followers_.begin(), followers_.end(),
                   [](const Follower& f) { return static_cast<bool>(f.link); })) {
    return;
  }
  // Asked once; again only when the caller says (a driver that refused is an older one).
  if (!again && subscribed_.count(window) != 0) return;
  const uint32_t serial = bus_->StartSend(window_, window, xarvel::kLinkSubscribe, window_, 0);
  if (serial != 0) subscribing_[window] = serial;
}

void DriverSurvey::CollectSubscriptions() {
  for (auto it = subscribing_.begin(); it != subscribing_.end();) {
    if (auto reply = bus_->TakeReply(it->second)) {
      subscribed_[it->first] = reply->result == 1;
    } else if (bus_->Awaiting(it->second)) {
      ++it;
      continue;
    }
    it = subscribing_.erase(it);
  }
}

plat::LResult DriverSurvey::LinkNews(plat::Hwnd sender, std::string_view text) {
  auto it = window_driver_.find(sender);
  // Only from a driver subscribed to: anything else is told it has no subscriber here.
  // (The first news may come before the answer to the subscription has been taken.)
  if (it == window_driver_.end() ||
      (subscribed_.count(sender) == 0 && subscribing_.count(sender) == 0)) {
    return 0;
  }
  xarvel::PanelCounters counters = xarvel::ParsePanelCounters(text);
  if (!counters.complete || counters.Get("driver", {}, -1) != it->second) return 1;
  DriverReading r;
  r.driver = it->second;
  r.up = true;
  r.windows = {sender};
  if (auto known = known_.find(r.driver); known != known_.end()) r.routers = known->second.routers;
  r.counters = std::move(counters);
  news_[r.driver] = r.counters;
  for (const Follower& f : followers_) {
    if (f.link) f.link(r);
  }
  return 1;
}

Survey DriverSurvey::Take() {
  return std::move(result_);
}

}  // namespace kirn

namespace kirn {

bool DriverSurvey::Command(int device, std::string text) {
  if (!bus_ || lost_ || kapi_ == plat::kNoWindow || commands_.size() >= kMaxCommandsQueued) {
    return false;
  }
  commands_.emplace_back(device, std::move(text));
  StartCommands();
  return true;
}

void DriverSurvey::StartCommands() {
  if (!bus_ || lost_ || kapi_ == plat::kNoWindow) return;
  // The answers only say whether the driver took the command; what it did comes as revertives.
  for (auto it = commands_in_flight_.begin(); it != commands_in_flight_.end();) {
    if (bus_->TakeReply(*it)) {
      it = commands_in_flight_.erase(it);
    } else {
      ++it;
    }
  }
  while (!commands_.empty() && commands_in_flight_.size() < kMaxCommandsInFlight) {
    std::vector<uint8_t> block(commands_.front().second.begin(), commands_.front().second.end());
    block.push_back(0);
    const uint32_t serial =
        bus_->StartSend(window_, kapi_, kKirnSend,
                        static_cast<plat::WParam>(commands_.front().first), 0, std::move(block));
    commands_.pop_front();
    if (serial != 0) commands_in_flight_.insert(serial);
  }
}

}  // namespace kirn
