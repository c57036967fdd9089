// What kirn metrics hands its Ember+ provider from the one survey of the drivers it shares with
// the page and the history: the drivers and their routers (from each survey's counters and status
// panels), the routers' tables (read when the provider wants them), the revertives and mode
// assertions the interface relays (the survey's follower), and the names of sources and
// destinations (the survey's name cache). Main thread only, no I/O of its own.
//
// The provider follows a router once a consumer watches or routes it: its tables are read then,
// and again after anything that may have made it miss a revertive (the relays lost, the driver
// down or in RX only) and after each take (so that a lock the provider did not know of answers the
// take at once). Between reads the revertives keep its tally current.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "tools/kirn/ember/provider.h"
#include "tools/kirn/survey/driver_survey.h"

namespace kirn::ember {

class EmberFeed {
 public:
  using Clock = std::chrono::steady_clock;
  // While consumers are connected, the drivers are surveyed at least this often (their modes,
  // links, routers and names).
  static constexpr int kRoundMs = 2000;
  // Router tables read in one round at most (a round has one deadline for everything it asks).
  static constexpr size_t kTablesPerRound = 16;

  EmberFeed(DriverSurvey& survey, Provider& provider);
  EmberFeed(const EmberFeed&) = delete;
  EmberFeed& operator=(const EmberFeed&) = delete;

  // Installs itself as one of the survey's followers. Call before the survey's first Start().
  void Attach();
  // The provider's Sink::want_names: asks the survey's name cache.
  void WantNames(int device, int database, int first, int last);

  // Adds what the provider wants to the next survey's `wants`: every driver's status panel and
  // the tables of the routers to be read.
  void Want(SurveyWants* wants) const;
  // A round is due: none has ended yet, tables are wanted, or the drivers were last surveyed
  // kRoundMs ago and consumers are connected.
  bool wants_round(Clock::time_point now) const;
  // A survey ended that started when the provider's revertive mark was `mark`.
  void Surveyed(const Survey& survey, uint64_t mark, Clock::time_point now);
  // Hands over names read since, sends what changed and answers takes whose time is up; the
  // milliseconds until the next take's deadline (-1: none).
  int Tick(Clock::time_point now);

 private:
  void Line(std::string_view line);

  DriverSurvey& survey_;
  Provider& provider_;
  // What each driver's status last said: a round that did not ask for it changes none of it.
  std::map<int, DriverInfo> last_;
  // Routers whose names were wanted: the name cache's version handed over, and the latest
  // reading handed over.
  struct Seen {
    uint64_t version = 0;
    Clock::time_point read{};
  };
  std::map<int, Seen> names_;
  Clock::time_point last_round_{};
  Clock::time_point last_want_{};
};

}  // namespace kirn::ember
