#include "tools/kirn/history/history_feed.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "interface/messages.h"
#include "tools/kirn/common/kirn_messages.h"

namespace kirn {
namespace {

using Clock = std::chrono::steady_clock;

bool RxOnly(int mode) {
  return mode == xarvel::IFMODE_RXONLY || mode == xarvel::IFMODE_RXONLYBROKEN;
}

// The name of `entry` has been read and has not changed since.
bool Fresh(const std::map<int, RouterNames::Name>& names, int entry) {
  auto it = names.find(entry);
  return it != names.end() && !it->second.stale;
}

std::string NameOf(const std::map<int, RouterNames::Name>& names, int entry) {
  auto it = names.find(entry);
  return it == names.end() ? std::string() : it->second.text;
}

}  // namespace

HistoryFeed::HistoryFeed(HistoryRecorder& recorder, DriverSurvey& survey)
    : recorder_(recorder), survey_(survey) {}

void HistoryFeed::Attach() {
  DriverSurvey::Follower f;
  f.line = [this](std::string_view line) { Line(line); };
  f.watching = [this] {
    watching_ = true;
    watch_since_ms_ = NowMs();
    RebaseAll();
  };
  f.lost = [this](int64_t lost) {
    if (lost == kRelaysWatcherDropped) {
      watching_ = false;
      GapAll("the interface dropped the watch (it fell behind)");
    } else {
      GapAll("the interface dropped " + std::to_string(lost) + " relays");
    }
    RebaseAll();
  };
  f.bus_lost = [this] {
    watching_ = false;
    GapAll("the bus was lost");
    RebaseAll();
  };
  // A driver's mode as it announces it (a mode it takes without asserting it is relayed by
  // nobody else).
  f.link = [this](const DriverReading& d) {
    const int mode = static_cast<int>(d.counters.Get("interface_mode"));
    for (int router : d.routers) {
      auto it = routers_.find(router);
      if (it != routers_.end() && it->second.present) Mode(router, mode);
    }
  };
  survey_.Follow(std::move(f));
}

void HistoryFeed::Line(std::string_view line) {
  const std::string text(line.substr(0, 255));
  int param = 0, router = 0, dest = 0, source = 0, mode = 0;
  char end = 0;
  if (std::sscanf(text.c_str(), "REV %d RR %d %d %d%c", &param, &router, &dest, &source, &end) ==
          4 &&
      router > 0 && router <= 0xFFFF && dest > 0 && dest <= 0xFFFF && source >= 0 &&
      source <= 0xFFFF) {
    HistoryRow row;
    row.t_ms = NowMs();
    auto it = routers_.find(router);
    row.driver = it == routers_.end() ? 0 : it->second.driver;
    row.router = router;
    row.dest = dest;
    row.source = source;
    // Names not read yet, or changed since, are looked up; the change waits a moment for them.
    survey_.WantName(router, 0, source);
    survey_.WantName(router, 1, dest);
    waiting_.push_back(
        Waiting{std::move(row), Clock::now() + std::chrono::milliseconds(kChangeNamesWaitMs)});
    Release(false);
    return;
  }
  if (std::sscanf(text.c_str(), "MODE %d %d", &router, &mode) == 2 && router > 0) {
    Mode(router, mode);
  }
}

void HistoryFeed::Mode(int router, int mode) {
  if (mode == xarvel::IFMODE_NONE) return;
  Router& r = routers_[router];
  if (RxOnly(mode) && !r.rx_only) {
    r.rx_only = true;
    Gap(router, "driver " + std::to_string(r.driver) + " in RX only");
  } else if (!RxOnly(mode) && r.rx_only) {
    r.rx_only = false;
    r.rebase = true;
  }
}

void HistoryFeed::Gap(int router, const std::string& reason) {
  auto it = routers_.find(router);
  Waiting w;
  w.row.kind = HistoryKind::kGap;
  w.row.t_ms = NowMs();
  w.row.driver = it == routers_.end() ? 0 : it->second.driver;
  w.row.router = router;
  w.row.note = reason;
  waiting_.push_back(std::move(w));
  Release(false);
}

void HistoryFeed::GapAll(const std::string& reason) {
  Gap(0, reason);
}

bool HistoryFeed::NamesIn(const HistoryRow& row) const {
  const RouterNames* names = survey_.Names(row.router);
  return names && Fresh(names->destinations, row.dest) && Fresh(names->sources, row.source);
}

void HistoryFeed::Release(bool all) {
  const auto now = Clock::now();
  while (!waiting_.empty()) {
    Waiting& w = waiting_.front();
    if (w.row.kind == HistoryKind::kGap) {
      recorder_.Gap(w.row.t_ms, w.row.driver, w.row.router, std::move(w.row.note));
    } else {
      if (!all && now < w.until && !NamesIn(w.row) && survey_.names_pending() > 0) return;
      if (const RouterNames* names = survey_.Names(w.row.router)) {
        w.row.source_name = NameOf(names->sources, w.row.source);
        w.row.dest_name = NameOf(names->destinations, w.row.dest);
      }
      recorder_.Change(std::move(w.row));
    }
    waiting_.pop_front();
  }
}

void HistoryFeed::RebaseAll() {
  for (auto& [id, r] : routers_) r.rebase = true;
  // A table read before this moment is no base for what comes after it.
  held_.clear();
}

void HistoryFeed::Surveyed(const Survey& s, int64_t asked_ms) {
  if (recorder_.TakeRebaseAll()) RebaseAll();
  if (!s.bus) return;
  std::map<int, const DriverReading*> current;  // router -> its driver's reading
  for (const DriverReading& d : s.drivers) {
    if (!d.up || d.driver <= 0) continue;
    for (int router : d.routers) current[router] = &d;
  }
  for (auto& [id, r] : routers_) {
    if (r.present && current.count(id) == 0) {
      r.present = false;
      Gap(id, "driver " + std::to_string(r.driver) + " gone or not answering");
    }
  }
  for (const auto& [id, d] : current) {
    Router& r = routers_[id];
    r.driver = d->driver;
    const int64_t started = d->counters.Get("start_time_ms");
    if (r.present && r.driver_start_ms != 0 && started != r.driver_start_ms) {
      // Restarted between two surveys: what happened while it was away is not known.
      Gap(id, "driver " + std::to_string(d->driver) + " restarted");
      r.rebase = true;
    }
    r.driver_start_ms = started;
    if (!r.present) {
      r.present = true;
      r.rebase = true;
    }
    Mode(id, static_cast<int>(d->counters.Get("interface_mode")));
  }
  if (!watching_ || asked_ms < watch_since_ms_) return;
  for (const DriverReading& d : s.drivers) {
    if (!d.up) continue;
    for (const auto& [key, table] : d.tables) {
      auto it = routers_.find(table.router);
      if (it == routers_.end() || !it->second.rebase || it->second.rx_only) continue;
      it->second.rebase = false;
      Held h;
      h.table.asked_ms = asked_ms;
      h.table.t_ms = NowMs();
      h.table.driver = d.driver;
      h.table.router = table.router;
      h.table.source = table.source;
      survey_.WantNames(table.router, 0, 1, table.sources);
      survey_.WantNames(table.router, 1, 1, static_cast<int>(table.source.size()));
      h.until = Clock::now() + std::chrono::milliseconds(kNamesWaitMs);
      held_.push_back(std::move(h));
    }
  }
  Tick();
}

bool HistoryFeed::NamesIn(const RebaseTable& t) const {
  const RouterNames* names = survey_.Names(t.router);
  if (!names) return false;
  for (size_t i = 0; i < t.source.size(); ++i) {
    if (!Fresh(names->destinations, static_cast<int>(i) + 1)) return false;
    const int source = t.source[i];
    if (source > 0 && source != kNoSource && !Fresh(names->sources, source)) return false;
  }
  return true;
}

void HistoryFeed::FillNames(RebaseTable& t) const {
  const RouterNames* names = survey_.Names(t.router);
  if (!names) return;
  int last_source = 0;
  for (const auto& [entry, name] : names->sources) last_source = std::max(last_source, entry);
  t.source_names.assign(static_cast<size_t>(std::min(last_source, 0xFFFF)), std::string());
  for (const auto& [entry, name] : names->sources) {
    if (entry >= 1 && entry <= last_source)
      t.source_names[static_cast<size_t>(entry) - 1] = name.text;
  }
  t.dest_names.assign(t.source.size(), std::string());
  for (size_t i = 0; i < t.source.size(); ++i) {
    t.dest_names[i] = NameOf(names->destinations, static_cast<int>(i) + 1);
  }
}

void HistoryFeed::Tick() {
  Release(false);
  const auto now = Clock::now();
  const bool more_names =
      std::exchange(held_names_read_, survey_.names_read()) != survey_.names_read() ||
      survey_.names_pending() == 0;
  for (auto it = held_.begin(); it != held_.end();) {
    if ((more_names && NamesIn(it->table)) || now >= it->until) {
      FillNames(it->table);
      // What came before the table was read goes first.
      Release(true);
      recorder_.Rebase(std::move(it->table));
      it = held_.erase(it);
    } else {
      ++it;
    }
  }
}

std::map<int, std::set<int>> HistoryFeed::Wanted() const {
  std::map<int, std::set<int>> out;
  if (!watching_) return out;
  for (const auto& [id, r] : routers_) {
    if (r.rebase && r.present && !r.rx_only && r.driver > 0) out[r.driver].insert(id);
  }
  return out;
}

bool HistoryFeed::wants_round() const {
  return !Wanted().empty();
}

}  // namespace kirn
