#include "tools/kirn/history/history_recorder.h"

#include <algorithm>
#include <cstdio>

namespace kirn {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kStartedNote = "recorder started";
constexpr const char* kStoppedNote = "recorder stopped";
// Retention's steps: rows looked at, and pages given back, per step.
constexpr int kPruneRows = 2000;
constexpr int kVacuumPages = 2048;
// A whole pass of the age retention found nothing more: the next one a minute later.
constexpr auto kRetentionRest = std::chrono::seconds(60);
// The size retention moves its cutoff on by about this many rows at a time.
constexpr int64_t kSizeStepRows = 20000;

size_t RowsOf(const HistoryRow&) {
  return 1;
}

}  // namespace

HistoryRecorder::HistoryRecorder(HistoryOptions options) : options_(std::move(options)) {
  start_ms_ = NowMs();
  thread_ = std::thread([this] { Run(); });
}

HistoryRecorder::~HistoryRecorder() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::string HistoryRecorder::note() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return note_;
}

void HistoryRecorder::SetNote(const std::string& note) {
  std::lock_guard<std::mutex> lock(mutex_);
  note_ = note;
}

void HistoryRecorder::Change(HistoryRow row) {
  row.kind = HistoryKind::kChange;
  Item item;
  item.kind = Item::kChange;
  item.row = std::move(row);
  Push(std::move(item));
}

void HistoryRecorder::Gap(int64_t t_ms, int driver, int router, std::string reason) {
  Item item;
  item.kind = Item::kGap;
  item.row.kind = HistoryKind::kGap;
  item.row.t_ms = t_ms;
  item.row.driver = driver;
  item.row.router = router;
  item.row.note = std::move(reason);
  Push(std::move(item));
}

void HistoryRecorder::Rebase(RebaseTable table) {
  Item item;
  item.kind = Item::kRebase;
  item.row.t_ms = table.t_ms;
  item.table = std::make_shared<RebaseTable>(std::move(table));
  Push(std::move(item));
}

void HistoryRecorder::Push(Item item) {
  const size_t rows = item.table ? item.table->source.size() + 1 : RowsOf(item.row);
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++pushed_;
    if (queue_rows_ >= options_.max_queued && item.kind != Item::kGap) {
      // The writer cannot keep up: this is lost, and a gap says so once it catches up.
      if (!overflowed_) overflow_from_ms_ = item.row.t_ms;
      overflowed_ = true;
      ++done_;
      lost_.fetch_add(1);
      return;
    }
    wake = queue_.empty() || queue_rows_ + rows >= options_.batch_rows;
    queue_rows_ += rows;
    queue_.push_back(std::move(item));
  }
  if (wake) wake_.notify_all();
}

bool HistoryRecorder::Drain(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t target = pushed_;
  wake_.notify_all();
  return drained_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return done_ >= target; });
}

bool HistoryRecorder::TryOpen() {
  if (refused_) return false;
  std::string error;
  bool refused = false;
  store_ = HistoryStore::OpenForWriting(options_.path, &error, &refused);
  if (!store_) {
    refused_ = refused;
    down_reason_ = error;
    return false;
  }
  store_->SetMaxPages(options_.max_pages);
  return true;
}

void HistoryRecorder::GoDown(const std::string& why, int64_t first_lost_ms) {
  if (up_.exchange(false) || down_reason_ != why) {
    std::fprintf(stderr, "kirn metrics: history recording off: %s\n", why.c_str());
  }
  down_reason_ = why;
  if (lost_from_ms_ == 0 || (first_lost_ms != 0 && first_lost_ms < lost_from_ms_)) {
    lost_from_ms_ = first_lost_ms != 0 ? first_lost_ms : NowMs();
  }
  held_.clear();
  next_retry_ = Clock::now() + std::chrono::milliseconds(options_.retry_ms);
  SetNote(refused_ ? "history refused: " + why : "history recording off: " + why);
}

void HistoryRecorder::Run() {
  bool started = false;  // the start gap is written
  std::vector<Item> batch;
  for (;;) {
    size_t taken = 0;  // items taken from the queue, written or lost
    bool stop = false;
    bool overflow = false;
    int64_t overflow_from = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      const auto now = Clock::now();
      // Opening (at once at the start) or trying again after a failure is due.
      const bool down = !store_ || !up_.load();
      const bool try_now = !refused_ && down && now >= next_retry_;
      auto due = now + std::chrono::seconds(1);
      if (!refused_ && down) due = std::min(due, next_retry_);
      if (next_retention_ != Clock::time_point{}) due = std::min(due, next_retention_);
      if (!try_now) wake_.wait_until(lock, due, [&] { return stopping_ || !queue_.empty(); });
      if (!queue_.empty() && !stopping_) {
        // A batch: everything that comes within batch_ms, or batch_rows rows.
        wake_.wait_for(lock, std::chrono::milliseconds(options_.batch_ms),
                       [&] { return stopping_ || queue_rows_ >= options_.batch_rows; });
      }
      batch.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
      taken = batch.size();
      queue_.clear();
      queue_rows_ = 0;
      stop = stopping_;
      overflow = overflowed_;
      overflow_from = overflow_from_ms_;
      overflowed_ = false;
    }
    if (overflow) {
      Item gap;
      gap.kind = Item::kGap;
      gap.row.kind = HistoryKind::kGap;
      gap.row.t_ms = overflow_from;
      gap.row.note = "the recorder fell behind: changes dropped";
      batch.push_back(std::move(gap));
      rebase_all_ = true;
    }

    // Open, or come back after a failure, when it is time to try.
    if (!store_ || !up_.load()) {
      if (!refused_ && Clock::now() >= next_retry_) {
        std::string error;
        bool ok = store_ || TryOpen();
        if (ok) {
          std::vector<Item> head;
          auto gap = [&head](int64_t t, const std::string& note) {
            Item g;
            g.kind = Item::kGap;
            g.row.kind = HistoryKind::kGap;
            g.row.t_ms = t;
            g.row.note = note;
            head.push_back(std::move(g));
          };
          if (!started) {
            // A previous run that did not write its stop gap was killed or crashed: what came
            // after its last row is not known.
            std::string e;
            std::optional<HistoryRow> last = store_->LastRow(&e);
            if (last && !(last->kind == HistoryKind::kGap && last->note == kStoppedNote)) {
              gap(std::min(last->t_ms + 1, start_ms_),
                  "the previous recorder ended without stopping");
            }
            gap(start_ms_, kStartedNote);
          }
          if (lost_from_ms_ != 0) gap(lost_from_ms_, "recording was off: " + down_reason_);
          ok = Write(head, &error);
          if (ok) {
            started = true;
            up_ = true;
            if (lost_from_ms_ != 0) {
              std::fprintf(stderr, "kirn metrics: history recording resumed\n");
              // After recording was off, every router is read again.
              rebase_all_ = true;
            }
            lost_from_ms_ = 0;
            down_reason_.clear();
            SetNote("");
          }
        }
        if (!ok) {
          int64_t first = 0;
          for (const Item& i : batch) first = first == 0 ? i.row.t_ms : std::min(first, i.row.t_ms);
          GoDown(error.empty() ? down_reason_ : error, first != 0 ? first : start_ms_);
        }
      }
      if (!up_.load() || !store_) {
        lost_.fetch_add(batch.size());
        if (!batch.empty() && lost_from_ms_ == 0) lost_from_ms_ = batch.front().row.t_ms;
        for (const Item& i : batch) {
          if (i.row.t_ms != 0) lost_from_ms_ = std::min(lost_from_ms_, i.row.t_ms);
        }
        batch.clear();
      }
    }

    if (!batch.empty() && store_ && up_.load()) {
      std::string error;
      if (!Write(batch, &error)) {
        int64_t first = 0;
        for (const Item& i : batch) first = first == 0 ? i.row.t_ms : std::min(first, i.row.t_ms);
        lost_.fetch_add(batch.size());
        GoDown(error, first);
      }
    }
    if (store_ && up_.load() && Clock::now() >= next_retention_) Retention();

    {
      std::lock_guard<std::mutex> lock(mutex_);
      // Lost items are done as well.
      done_ += taken;
      batch.clear();
      drained_.notify_all();
      if (stop && queue_.empty()) break;
    }
  }
  if (store_ && up_.load()) {
    std::vector<Item> last(1);
    last[0].kind = Item::kGap;
    last[0].row.kind = HistoryKind::kGap;
    last[0].row.t_ms = NowMs();
    last[0].row.note = kStoppedNote;
    std::string error;
    Write(last, &error);
  }
  store_.reset();
}

bool HistoryRecorder::Write(std::vector<Item>& batch, std::string* error) {
  if (!store_->Begin(error)) return false;
  const uint64_t before = recorded_.load();
  for (Item& item : batch) {
    if (!Apply(item, error)) {
      store_->Rollback();
      held_.clear();
      recorded_.store(before);
      return false;
    }
  }
  if (!store_->Commit(error)) {
    store_->Rollback();
    held_.clear();
    recorded_.store(before);
    return false;
  }
  return true;
}

bool HistoryRecorder::HeldOf(int router, int dest, Held* held, std::string* error) {
  auto it = held_.find({router, dest});
  if (it != held_.end()) {
    *held = it->second;
    return true;
  }
  error->clear();
  std::optional<HistoryRow> last = store_->LastOf(router, dest, error);
  if (!error->empty()) return false;
  Held h;
  if (last) h = Held{last->source, last->t_ms};
  held_[{router, dest}] = h;
  *held = h;
  return true;
}

bool HistoryRecorder::Apply(Item& item, std::string* error) {
  switch (item.kind) {
    case Item::kGap:
      return store_->Insert(item.row, error);
    case Item::kChange: {
      Held held;
      if (!HeldOf(item.row.router, item.row.dest, &held, error)) return false;
      // A revertive that repeats the source the history holds is no change.
      if (held.source == item.row.source && held.t_ms != 0) return true;
      if (!store_->Insert(item.row, error)) return false;
      held_[{item.row.router, item.row.dest}] = Held{item.row.source, item.row.t_ms};
      recorded_.fetch_add(1);
      return true;
    }
    case Item::kRebase: {
      const RebaseTable& t = *item.table;
      for (size_t i = 0; i < t.source.size(); ++i) {
        const int source = t.source[i];
        if (source < 0) continue;
        const int dest = static_cast<int>(i) + 1;
        Held held;
        if (!HeldOf(t.router, dest, &held, error)) return false;
        // A row newer than the ask came from a revertive, which is newer than the table.
        if (held.t_ms != 0 && held.t_ms >= t.asked_ms) continue;
        if (held.source == source) continue;
        HistoryRow row;
        row.kind = HistoryKind::kBase;
        row.t_ms = t.t_ms;
        row.driver = t.driver;
        row.router = t.router;
        row.dest = dest;
        row.source = source;
        if (source >= 1 && static_cast<size_t>(source) <= t.source_names.size()) {
          row.source_name = t.source_names[static_cast<size_t>(source) - 1];
        }
        if (i < t.dest_names.size()) row.dest_name = t.dest_names[i];
        if (!store_->Insert(row, error)) return false;
        held_[{t.router, dest}] = Held{source, t.t_ms};
      }
      HistoryRow marker;
      marker.kind = HistoryKind::kBaseMarker;
      marker.t_ms = t.t_ms;
      marker.driver = t.driver;
      marker.router = t.router;
      return store_->Insert(marker, error);
    }
  }
  return true;
}

void HistoryRecorder::Retention() {
  const auto now = Clock::now();
  const int64_t now_ms = NowMs();
  int64_t cutoff = INT64_MIN;
  if (options_.days > 0) cutoff = now_ms - static_cast<int64_t>(options_.days) * 86400000;
  std::string error;
  const bool over = options_.max_bytes > 0 && store_->UsedBytes() > options_.max_bytes;
  if (over && prune_wrapped_) {
    // Nothing more to take below the cutoff and still too big: move it on.
    std::optional<int64_t> t = store_->TimeAfterOldest(kSizeStepRows, &error);
    size_cutoff_ms_ = std::min(std::max(size_cutoff_ms_, t ? *t + 1 : now_ms), now_ms);
  }
  cutoff = std::max(cutoff, size_cutoff_ms_ == 0 ? INT64_MIN : size_cutoff_ms_);
  int deleted = 0;
  bool wrapped = true;
  if (cutoff != INT64_MIN) {
    deleted = store_->PruneStep(cutoff, kPruneRows, &wrapped, &error);
    if (deleted < 0) {
      std::fprintf(stderr, "kirn metrics: history retention: %s\n", error.c_str());
      deleted = 0;
      wrapped = true;
    }
  }
  prune_wrapped_ = wrapped;
  store_->Vacuum(kVacuumPages, &error);
  // Go on after the next batch while there is more to take; else rest (a whole pass of the age
  // limit found nothing: the cutoff moves a minute a minute).
  if (deleted > 0 || !wrapped) {
    next_retention_ = now;
  } else if (over) {
    next_retention_ = now + std::chrono::milliseconds(options_.retention_ms);
  } else {
    next_retention_ = now + std::max<Clock::duration>(
                                std::chrono::milliseconds(options_.retention_ms), kRetentionRest);
  }
}

std::string HistoryFigures(const HistoryRecorder& h) {
  std::string out =
      "# HELP xarvel_exporter_history_up Whether the crosspoint history is being recorded (0: "
      "recording is off, see /healthz).\n"
      "# TYPE xarvel_exporter_history_up gauge\n"
      "xarvel_exporter_history_up " +
      std::string(h.up() ? "1" : "0") +
      "\n"
      "# HELP xarvel_exporter_history_changes_total Crosspoint changes written to the history.\n"
      "# TYPE xarvel_exporter_history_changes_total counter\n"
      "xarvel_exporter_history_changes_total " +
      std::to_string(h.recorded()) +
      "\n"
      "# HELP xarvel_exporter_history_lost_total Changes and gaps the history could not write.\n"
      "# TYPE xarvel_exporter_history_lost_total counter\n"
      "xarvel_exporter_history_lost_total " +
      std::to_string(h.lost()) + "\n";
  return out;
}

}  // namespace kirn
