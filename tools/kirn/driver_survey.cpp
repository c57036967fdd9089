#include "tools/kirn/driver_survey.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/remote_panel.h"
#include "interface/kirnif.h"
#include "interface/messages.h"
#include "platform/bus_host.h"
#include "tools/kirn/kirn_messages.h"

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
  kapi_ = plat::kNoWindow;
  find_serial_ = 0;
  registrations_serial_ = 0;
  registration_lines_.clear();
  // Handles mean nothing on another host; the drivers heard from are remembered by number.
  registrations_.clear();
  late_.clear();
  asks_.clear();
  queued_.clear();
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
    case kKirnLines:
      // Only the interface's answer to the registrations request.
      if (!plat::IsHandedOffBlock(l) || l == 0 || registrations_serial_ == 0 || sender != kapi_) {
        return 0;
      }
      registration_lines_.append(
          reinterpret_cast<const char*>(l),
          strnlen(reinterpret_cast<const char*>(l), plat::HandedOffBlockSize()));
      return 1;
    default:
      return 0;
  }
}

void DriverSurvey::Start() {
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
  if (InFlight() >= kMaxInFlight) {
    queued_.push_back(window);
    return;
  }
  a.serial = bus_->StartSend(window_, window, xarvel::kPanelCounters, 0, 0,
                             std::vector<uint8_t>(xarvel::kPanelBlockSize, 0));
  if (a.serial == 0) a.done = true;
}

size_t DriverSurvey::InFlight() const {
  size_t n = late_.size();
  for (const auto& [window, a] : asks_) n += (!a.done && a.serial != 0) ? 1 : 0;
  return n;
}

void DriverSurvey::StartAsks() {
  while (!queued_.empty() && InFlight() < kMaxInFlight && bus_ && !lost_) {
    const plat::Hwnd window = queued_.front();
    queued_.erase(queued_.begin());
    asks_.erase(window);
    Ask(window);
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
  }
  StartAsks();
}

bool DriverSurvey::AllIn() const {
  if (!bus_ || lost_) return true;
  if (find_serial_ != 0 || registrations_serial_ != 0 || !queued_.empty()) return false;
  // The interface found but its list not read yet.
  if (kapi_ != plat::kNoWindow && !listed_) return false;
  for (const auto& [window, a] : asks_) {
    if (!a.done) return false;
  }
  return true;
}

bool DriverSurvey::Poll() {
  if (bus_ && !lost_) bus_->Pump(0);
  Collect();
  if (!running_) return false;
  if (!AllIn() && Clock::now() < deadline_) return false;
  Finish();
  return true;
}

void DriverSurvey::Finish() {
  running_ = false;
  Survey s;
  s.bus = bus_ && !lost_ && kapi_ != plat::kNoWindow;
  // Asks still out are left to the host's answer; until it comes their drivers are not asked.
  for (auto& [window, a] : asks_) {
    if (!a.done && a.serial != 0 && bus_ && !lost_) late_[window] = a.serial;
  }
  if (registrations_serial_ != 0) {
    // The interface did not answer in time: the next survey asks for a new list.
    if (bus_ && !lost_) bus_->Forget(registrations_serial_);
    registrations_serial_ = 0;
    registration_lines_.clear();
  }

  std::map<int, DriverReading> named;
  std::set<plat::Hwnd> answered;
  for (auto& [window, a] : asks_) {
    if (!a.up) continue;
    const int driver = static_cast<int>(a.counters.Get("driver"));
    if (named.count(driver) != 0) {
      // Two windows call themselves the same driver: the first one is reported.
      std::fprintf(stderr, "kirn metrics: window 0x%04x also answers as driver %d: left out\n",
                   window, driver);
      continue;
    }
    DriverReading& r = named[driver];
    r.driver = driver;
    r.routers = RoutersOf(a.counters);
    r.up = true;
    r.counters = std::move(a.counters);
    known_[driver] = Known{window, r.routers};
    answered.insert(window);
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

Survey DriverSurvey::Take() {
  return std::move(result_);
}

}  // namespace kirn
