// What kirn metrics hands its history recorder (history_recorder.h), made on its main thread
// from the revertives the interface relays to it and from its surveys of the drivers.
//
// Every revertive ("RR <router> <dest> <source>") is a change, with the names of the source and
// destination as the interface's look-ups give them at that moment. The feed is not complete,
// so every loss is a gap: relays the interface dropped, the watch it dropped, the bus lost, a
// router whose driver has gone or stopped answering, a router in RX only (its driver sends no
// revertives). After a gap the router's tables are read again (the next survey asks for them)
// and handed to the recorder as a re-base, once the watch is in place again, the driver answers
// and is out of RX only.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tools/kirn/history/history_recorder.h"
#include "tools/kirn/survey/driver_survey.h"

namespace kirn {

class HistoryFeed {
 public:
  // Names wanted for a re-base are waited for at most this long.
  static constexpr int kNamesWaitMs = 3000;
  // A change whose names were never read yet waits this long at most for their look-up (what
  // comes after it waits behind it, so the recorder gets everything in order).
  static constexpr int kChangeNamesWaitMs = 1000;

  HistoryFeed(HistoryRecorder& recorder, DriverSurvey& survey);
  // Hands the recorder what still waits for names.
  ~HistoryFeed() { Release(true); }
  HistoryFeed(const HistoryFeed&) = delete;
  HistoryFeed& operator=(const HistoryFeed&) = delete;

  // Installs itself as the survey's follower.
  void Attach();

  // A relayed line of the interface.
  void Line(std::string_view line);
  // A survey ended that started at `asked_ms` (milliseconds since the epoch).
  void Surveyed(const Survey& survey, int64_t asked_ms);
  // Hands over re-bases whose names are in (or waited for long enough); call from the loop.
  void Tick();

  // The routers whose tables the next survey should read: driver -> router ids.
  std::map<int, std::set<int>> Wanted() const;
  // A re-base is waiting for a survey.
  bool wants_round() const;

 private:
  struct Router {
    int driver = 0;
    int64_t driver_start_ms = 0;  // when its driver started, as it says
    bool present = false;         // its driver answered the last survey
    bool rx_only = false;
    bool rebase = false;  // its tables are to be read
  };
  struct Held {
    RebaseTable table;
    std::chrono::steady_clock::time_point until;
  };
  // A change or gap on its way to the recorder.
  struct Waiting {
    HistoryRow row;
    std::chrono::steady_clock::time_point until;
  };
  // Names of a change's source and destination have been read (or looked up in vain).
  bool NamesIn(const HistoryRow& row) const;
  void Release(bool all);

  void GapAll(const std::string& reason);
  void Gap(int router, const std::string& reason);
  void RebaseAll();
  void Mode(int router, int mode);
  bool NamesIn(const RebaseTable& t) const;
  void FillNames(RebaseTable& t) const;

  HistoryRecorder& recorder_;
  DriverSurvey& survey_;
  std::map<int, Router> routers_;
  std::vector<Held> held_;
  // The survey's names_read() when the held tables last looked for their names: they look
  // again only once more names have come in (a table of 4096 destinations is a long look).
  uint64_t held_names_read_ = 0;
  std::deque<Waiting> waiting_;
  bool watching_ = false;
  int64_t watch_since_ms_ = 0;  // when the watch was last set up
};

}  // namespace kirn
