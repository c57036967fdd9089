// A survey of every driver on the workstation bus: what the metrics exporter reads at each
// scrape. Main thread only, run from the caller's loop: it never waits itself.
//
// The drivers are learnt from the interface's registrations (the stand-in's kKirnRegistrations:
// device, mode and the window that registered it; one window is one driver) and remembered by
// their own device number once they have answered. A survey asks every driver window for its
// counters (kPanelCounters, core/remote_panel.h) at once, with sends that do not wait
// (BusClient::StartSend), and takes what has come when all have answered or its deadline has
// passed, whichever is first. Nothing waits on one driver: a driver that is stopped or gone is
// reported down at the deadline at the latest, and the others as they answered. A driver whose
// earlier ask is still unanswered at the bus host (which answers for a silent peer only after its
// own time-out, 5 s) is not asked again until that answer is in, so a stopped driver holds one
// waiting send at most, however often it is surveyed.
//
// The interface is found, the registrations read and the drivers asked within the same deadline;
// the drivers of the previous survey's registrations are asked at once, those that registered
// since as soon as the new list is in.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/panel_counters.h"
#include "platform/bus_client.h"
#include "platform/window.h"

namespace kirn {

// What one survey learnt of one driver.
struct DriverReading {
  // The driver's own device number (its command line); 0 for one that has never answered.
  int driver = 0;
  // Its routers' device ids: from its last answer, else from its registrations.
  std::vector<int> routers;
  // It answered this survey, completely.
  bool up = false;
  // The answer, when up.
  xarvel::PanelCounters counters;
};

struct Survey {
  // On the bus, with the interface found.
  bool bus = false;
  // The drivers by number, then those never heard from by their first router.
  std::vector<DriverReading> drivers;
  // From the start of the survey to its end.
  std::chrono::microseconds took{0};
};

class DriverSurvey {
 public:
  // The one deadline of a survey.
  static constexpr int kDeadlineMs = 1000;
  // Asks in flight at once; further drivers are asked as answers come in.
  static constexpr size_t kMaxInFlight = 32;
  // A lost bus is connected to again at most this often.
  static constexpr int kReconnectMs = 1000;

  explicit DriverSurvey(int deadline_ms = kDeadlineMs);
  ~DriverSurvey();
  DriverSurvey(const DriverSurvey&) = delete;
  DriverSurvey& operator=(const DriverSurvey&) = delete;

  // Starts a survey (connecting to the bus first when not connected). REQUIRES: !running().
  void Start();
  bool running() const { return running_; }
  // Reads what the bus has for this process (between surveys too: the host's notices) and
  // ends the running survey once everything is in or its deadline has passed. True when a
  // survey has just ended: take it with Take().
  bool Poll();
  Survey Take();

  // The bus socket to wait on for reading; -1 while not connected.
  int fd() const;
  // Milliseconds until the running survey's deadline; -1 when none runs.
  int MsUntilDeadline() const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Asked {
    uint32_t serial = 0;
    bool done = false;
    bool up = false;
    xarvel::PanelCounters counters;
  };
  struct Known {
    plat::Hwnd window = plat::kNoWindow;
    std::vector<int> routers;
  };

  plat::LResult Proc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l);
  bool Connect();
  void Disconnect();
  // Asks `window` for its counters now, or later when kMaxInFlight asks are out.
  void Ask(plat::Hwnd window);
  void StartAsks();
  void Collect();
  bool AllIn() const;
  void Finish();
  size_t InFlight() const;

  int deadline_ms_;
  std::unique_ptr<plat::BusClient> bus_;
  bool lost_ = false;
  Clock::time_point last_connect_{};
  plat::Hwnd window_ = plat::kNoWindow;
  plat::Hwnd kapi_ = plat::kNoWindow;
  uint32_t find_serial_ = 0;           // the find broadcast, while it runs
  uint32_t registrations_serial_ = 0;  // the registrations request, while unanswered
  std::string registration_lines_;     // its lines, as they come
  // The latest registrations: device id -> window.
  std::map<int, plat::Hwnd> registrations_;
  // Drivers heard from, by their own device number.
  std::map<int, Known> known_;
  // Asks of earlier surveys that the host has not answered yet, by window.
  std::map<plat::Hwnd, uint32_t> late_;

  bool running_ = false;
  bool listed_ = false;  // the registrations were read in this survey
  Clock::time_point started_{};
  Clock::time_point deadline_{};
  std::map<plat::Hwnd, Asked> asks_;
  std::vector<plat::Hwnd> queued_;
  Survey result_;
};

}  // namespace kirn
