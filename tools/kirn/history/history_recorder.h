// The recorder of the crosspoint history: takes what kirn metrics learns on its main thread
// (changes, gaps, re-bases) and writes it to the history's database (history_store.h) on a
// thread of its own, in batches (every batch_ms, or at batch_rows rows), so that nothing of
// the writing ever holds up the bus or a request.
//
// A change is recorded only when it differs from what the history last held for that
// destination. A re-base is a router's table read after a gap: the destinations that differ
// from what the history last held are written as base rows, then a base marker; a destination
// whose last row is newer than the moment the table was asked for keeps that row (a revertive
// that came meanwhile is newer than the table).
//
// Writing that fails (a full disk, an unwritable file) turns recording off: what comes while it
// is off is dropped (counted), and every retry_ms the recorder tries again; once it can write,
// it writes a gap from the first row it lost and asks for a re-base of every router
// (TakeRebaseAll). It writes a gap when it starts (and one from its last row when the previous
// run ended without its stop gap) and a gap when it stops.
//
// Retention runs between batches in small steps (a few thousand rows, a few hundred pages of
// incremental vacuum): rows older than `days`, and the oldest while the used pages exceed
// `max_bytes`; the state at the cutoff stays answerable (history_store.h).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/kirn/history/history_store.h"

namespace kirn {

struct HistoryOptions {
  std::string path;
  int days = 90;                             // 0: no age limit
  int64_t max_bytes = 1024LL * 1024 * 1024;  // 0: no size limit
  int batch_ms = 100;
  size_t batch_rows = 1000;
  int retry_ms = 5000;
  // Items waiting beyond this are dropped (recorded as a gap): the writer cannot keep up.
  size_t max_queued = 500000;
  // Retention runs at most this often.
  int retention_ms = 1000;
  // SQLite's max_page_count (a full disk made on purpose); 0: none.
  int64_t max_pages = 0;
};

// One router's table as a re-base reads it: the source of destination i + 1 at [i] (kNoSource
// none known, -1 no table), with the names as they are now.
struct RebaseTable {
  int64_t asked_ms = 0;  // when the table was asked for
  int64_t t_ms = 0;      // when it was read
  int driver = 0;
  int router = 0;
  std::vector<int> source;
  std::vector<std::string> source_names;  // by source number - 1 (may be shorter)
  std::vector<std::string> dest_names;    // by destination - 1 (may be shorter)
};

class HistoryRecorder {
 public:
  // Opens the database and starts the writer. A database that cannot be opened or written now
  // leaves recording off (retried); one refused for good (a newer version, another program's
  // file) leaves it off for good. Either way the reason is in note().
  explicit HistoryRecorder(HistoryOptions options);
  // Writes the stop gap and what is queued, then ends the writer.
  ~HistoryRecorder();
  HistoryRecorder(const HistoryRecorder&) = delete;
  HistoryRecorder& operator=(const HistoryRecorder&) = delete;

  // Main thread: queue for the writer.
  void Change(HistoryRow row);
  void Gap(int64_t t_ms, int driver, int router, std::string reason);
  void Rebase(RebaseTable table);

  // Recording works (the last write succeeded, or none failed yet).
  bool up() const { return up_.load(); }
  // Why recording is off (empty while up).
  std::string note() const;
  // Changes written (from revertives; base rows not counted).
  uint64_t recorded() const { return recorded_.load(); }
  uint64_t lost() const { return lost_.load(); }
  // True once after recording resumed (or a queue overflow): every router wants a re-base.
  bool TakeRebaseAll() { return rebase_all_.exchange(false); }
  // Waits (up to timeout_ms) until everything queued so far is written or dropped (tests,
  // benchmarks).
  bool Drain(int timeout_ms);

 private:
  struct Item {
    enum Kind { kChange, kGap, kRebase } kind = kChange;
    HistoryRow row;
    std::shared_ptr<RebaseTable> table;
  };
  struct Held {
    int source = kNoSource;
    int64_t t_ms = 0;
  };

  void Push(Item item);
  void Run();
  bool TryOpen();
  // Writes one batch in one transaction; false (and the error set) when it failed.
  bool Write(std::vector<Item>& batch, std::string* error);
  bool Apply(Item& item, std::string* error);
  // The held value of one destination, read from the file the first time.
  bool HeldOf(int router, int dest, Held* held, std::string* error);
  void GoDown(const std::string& why, int64_t first_lost_ms);
  void Retention();
  void SetNote(const std::string& note);

  HistoryOptions options_;
  std::unique_ptr<HistoryStore> store_;  // writer thread only
  // Writer thread only: the last source the history holds per (router, dest).
  std::map<std::pair<int, int>, Held> held_;
  bool refused_ = false;
  int64_t lost_from_ms_ = 0;  // while down: the time of the first row lost
  std::string down_reason_;
  std::chrono::steady_clock::time_point next_retry_{};
  std::chrono::steady_clock::time_point next_retention_{};
  int64_t size_cutoff_ms_ = 0;
  bool prune_wrapped_ = true;
  int64_t start_ms_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable drained_;
  std::deque<Item> queue_;
  size_t queue_rows_ = 0;
  bool stopping_ = false;
  bool overflowed_ = false;
  int64_t overflow_from_ms_ = 0;
  uint64_t pushed_ = 0, done_ = 0;
  std::string note_;

  std::atomic<bool> up_{true};
  std::atomic<bool> rebase_all_{false};
  std::atomic<uint64_t> recorded_{0};
  std::atomic<uint64_t> lost_{0};
  std::thread thread_;
};

// The recorder's lines of the exposition: whether it records, the changes written, the changes
// and gaps it could not write.
std::string HistoryFigures(const HistoryRecorder& h);

}  // namespace kirn
