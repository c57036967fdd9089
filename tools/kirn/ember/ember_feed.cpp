#include "tools/kirn/ember/ember_feed.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kirn::ember {
namespace {

int Number(const std::string& text) {
  return std::atoi(text.c_str());
}

}  // namespace

EmberFeed::EmberFeed(DriverSurvey& survey, Provider& provider)
    : survey_(survey), provider_(provider) {}

void EmberFeed::Attach() {
  DriverSurvey::Follower f;
  f.line = [this](std::string_view line) { Line(line); };
  // Whatever came while the relays were not followed was missed: the tables are read again.
  f.watching = [this] { provider_.Stale(); };
  f.lost = [this](int64_t) { provider_.Stale(); };
  f.bus_lost = [this] { provider_.Stale(); };
  survey_.Follow(std::move(f));
}

void EmberFeed::Line(std::string_view line) {
  const std::string copy(line.substr(0, 127));
  char kind[4] = "";
  int param = 0;
  int device = 0;
  int dest = 0;
  int source = 0;
  int mode = 0;
  const Clock::time_point now = Clock::now();
  // A query reply states the tally as much as a revertive does.
  if (std::sscanf(copy.c_str(), "%3s %d RR %d %d %d", kind, &param, &device, &dest, &source) == 5 &&
      (std::string_view(kind) == "REV" || std::string_view(kind) == "QRY")) {
    provider_.Revertive(device, dest, source, now);
  } else if (std::sscanf(copy.c_str(), "MODE %d %d", &device, &mode) == 2) {
    provider_.Mode(device, mode);
  }
}

void EmberFeed::WantNames(int device, int database, int first, int last) {
  survey_.WantNames(device, database, first, last);
  names_.emplace(device, Seen{});
}

void EmberFeed::Want(SurveyWants* wants) const {
  // The drivers' status panels say which routers they have: the tree is known before the first
  // consumer asks.
  wants->status = true;
  size_t tables = 0;
  for (const auto& [driver, routers] : provider_.WantedTables()) {
    for (const int router : routers) {
      if (tables == kTablesPerRound) return;
      wants->tables[driver].insert(router);
      ++tables;
    }
  }
}

bool EmberFeed::wants_round(Clock::time_point now) const {
  if (last_round_ == Clock::time_point{}) return true;
  if (provider_.sessions() == 0) return false;
  if (!provider_.WantedTables().empty()) return true;
  return now - last_round_ >= std::chrono::milliseconds(kRoundMs);
}

void EmberFeed::Surveyed(const Survey& survey, uint64_t mark, Clock::time_point now) {
  last_round_ = now;
  std::vector<DriverInfo> drivers;
  for (const DriverReading& d : survey.drivers) {
    if (d.driver <= 0 || d.conflict) continue;
    DriverInfo& info = last_[d.driver];
    info.number = d.driver;
    info.up = d.up;
    if (d.up) {
      info.interface_mode = static_cast<int>(d.counters.Get("interface_mode"));
      info.comms_state = static_cast<int>(d.counters.Get("comms_state"));
      info.active_controller = static_cast<int>(d.counters.Get("active_controller"));
    }
    if (!d.status.empty()) {
      for (const auto& [key, value] : d.status.fields) {
        if (key == "controller_name") info.controller = value;
        if (key == "version") info.version = value;
        if (key == "source_to_dest") info.source_to_dest = Number(value) != 0;
        if (key == "dest_to_source") info.dest_to_source = Number(value) != 0;
        if (key == "park_source") info.park_source = Number(value);
        if (key == "reply_timeout_ms") info.reply_timeout_ms = Number(value);
      }
      info.routers.clear();
      for (const PanelStatus::Router& r : d.status.routers) {
        if (r.letter.size() != 1) continue;
        info.routers.push_back(
            RouterInfo{r.letter[0], Number(r.device), Number(r.sources), Number(r.destinations)});
      }
    }
    drivers.push_back(info);
  }
  provider_.Drivers(drivers, now);
  for (const DriverReading& d : survey.drivers) {
    for (const auto& [key, table] : d.tables) {
      TableInfo t;
      t.device = table.router;
      t.tally = table.source;
      t.lock = table.lock;
      t.controller_lock = table.mc1000_lock;
      t.park_name = table.park_name;
      provider_.Table(t, mark, now);
    }
  }
}

int EmberFeed::Tick(Clock::time_point now) {
  for (auto& [device, seen] : names_) {
    const RouterNames* names = survey_.Names(device);
    if (!names || names->version == seen.version) continue;
    seen.version = names->version;
    // Only the names read since the last hand-over (the provider sends those that differ).
    const Clock::time_point since = seen.read;
    for (const auto& [entry, name] : names->sources) {
      if (name.read > since) provider_.Name(device, 0, entry, name.text);
      if (name.read > seen.read) seen.read = name.read;
    }
    for (const auto& [entry, name] : names->destinations) {
      if (name.read > since) provider_.Name(device, 1, entry, name.text);
      if (name.read > seen.read) seen.read = name.read;
    }
  }
  // The name cache takes a bounded number of wants: while it has nothing left to look up, the
  // names still missing of the lists someone watches are wanted again.
  // At most once a second: a list whose look-ups go unanswered is walked whole each time.
  if (survey_.names_pending() == 0 && now - last_want_ >= std::chrono::seconds(1)) {
    last_want_ = now;
    provider_.WantMissingNames();
  }
  const int next = provider_.Tick(now);
  provider_.Flush();
  return next;
}

}  // namespace kirn::ember
