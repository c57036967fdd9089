// The crosspoint history's database: one SQLite file in WAL mode that kirn metrics writes (its
// recorder, history_recorder.h) and `kirn history` and /api/history read, read-only.
//
// One table of rows in recording order. Each row is one of:
//   change       a destination's source changed, as a revertive said (names as they were then)
//   base         a destination read from the driver's table after a gap, where it differed from
//                what the history last held
//   gap          from this moment on the history of a router (or of every router: router 0) is
//                not complete: a loss of the feed, the recorder's own start or stop, a driver
//                gone or in RX only
//   base marker  the router's tables were read whole after a gap: from here on it is complete
// A destination's source at a time is its last change or base row at or before that time,
// unless a gap of its router lies between that row and the time with no base marker after the
// gap: then it is unknown.
//
// The file carries its schema version (PRAGMA user_version) and an application id; a file of a
// newer version, or one that is not a history, is refused and never written.
// Errors are values: every call that can fail returns false (or nothing) and sets `error`.
// One object is one connection; it is used from one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace kirn {

// The schema this program writes and reads.
inline constexpr int kHistorySchema = 1;
// Source number of a destination whose source the driver does not know.
inline constexpr int kNoSource = 65535;

enum class HistoryKind { kChange = 0, kBase = 1, kGap = 2, kBaseMarker = 3 };

struct HistoryRow {
  int64_t id = 0;
  int64_t t_ms = 0;  // milliseconds since the epoch
  HistoryKind kind = HistoryKind::kChange;
  int driver = 0;  // the driver's own device number; 0 not known
  int router = 0;  // router device id; 0 (gaps only): every router
  int dest = 0;    // destination (change, base)
  int source = kNoSource;
  std::string source_name, dest_name;  // as they were; empty when not known then
  std::string note;                    // a gap's reason
};

// What a destination's history says about one moment.
struct HistoryAnswer {
  bool known = false;
  // When known: the row that set the source (change or base) and, when a gap lay between it and
  // the moment, the base marker that confirmed it afterwards (id 0 when none).
  HistoryRow row;
  HistoryRow confirmed;
  // When not known: the gap the moment lies in (id 0: the history holds nothing of it); when
  // confirmed: the gap that lay between.
  HistoryRow gap;
};

// Rows of a listing: `router` (and `dest`, unless 0) between since and until (ms, inclusive
// since, exclusive until), with the gaps of the router and of every router and the router's base
// markers. `driver` (unless 0) keeps only the change and base rows of that driver (and those
// recorded before their driver was known).
struct HistoryFilter {
  int driver = 0;
  int router = 0;
  int dest = 0;
  int64_t since_ms = INT64_MIN;
  int64_t until_ms = INT64_MAX;
  bool newest_first = false;
  // Continue after this row of an earlier page (t and id of its last row; id 0: from the start).
  int64_t after_t = 0;
  int64_t after_id = 0;
  int limit = 0;  // 0: every row
};

class HistoryStore {
 public:
  // Opens (creating when absent, with its directory) the file for writing: WAL, incremental
  // vacuum. Nullptr and `error` set when it cannot be opened or written, or is of a newer
  // version or not a history (`refused` then true: it must not be opened for writing again).
  static std::unique_ptr<HistoryStore> OpenForWriting(const std::string& path, std::string* error,
                                                      bool* refused = nullptr);
  // Opens an existing file read-only (works while the recorder writes it).
  static std::unique_ptr<HistoryStore> OpenForReading(const std::string& path, std::string* error);
  ~HistoryStore();
  HistoryStore(const HistoryStore&) = delete;
  HistoryStore& operator=(const HistoryStore&) = delete;

  // Writing. Rows go in within Begin()..Commit(); Rollback() drops them.
  bool Begin(std::string* error);
  bool Commit(std::string* error);
  void Rollback();
  bool Insert(const HistoryRow& row, std::string* error);
  // The last change or base row of `router`'s destination `dest`, when there is one.
  std::optional<HistoryRow> LastOf(int router, int dest, std::string* error);
  // The last row of the file (any kind), when there is one.
  std::optional<HistoryRow> LastRow(std::string* error);

  // Queries.
  bool At(int router, int dest, int64_t t_ms, HistoryAnswer* answer, std::string* error);
  bool List(const HistoryFilter& filter, std::vector<HistoryRow>* rows, std::string* error);
  // From now on a listing that takes longer than `ms` (0: no bound) stops and fails, with
  // `*timed_out` (when given) set.
  void SetBudget(int ms) { budget_ms_ = ms; }
  bool timed_out() const { return timed_out_; }

  // Retention: one small step. Deletes at most `max_rows` rows older than `cutoff_ms` that a
  // later row of the same destination (or, for gaps and markers, of the same router and kind)
  // also older than the cutoff supersedes, so that the state at the cutoff stays answerable;
  // scanning on from where the previous step ended. Returns the rows deleted (-1 on error);
  // `*wrapped` true when the scan has reached rows at or after the cutoff (start again later).
  int PruneStep(int64_t cutoff_ms, int max_rows, bool* wrapped, std::string* error);
  // The time of the row `rows` rows after the oldest (the cutoff that removes about that many).
  std::optional<int64_t> TimeAfterOldest(int64_t rows, std::string* error);
  // Gives up to `pages` free pages back to the file system.
  bool Vacuum(int pages, std::string* error);
  // The bytes the file's used pages hold (page count less free pages, times the page size).
  int64_t UsedBytes();
  // Sets SQLite's max_page_count (tests and benchmarks of a full disk); 0 leaves it.
  void SetMaxPages(int64_t pages);

  sqlite3* db() const { return db_; }

 private:
  HistoryStore() = default;
  bool Prepare();
  static bool ReadRow(sqlite3_stmt* s, HistoryRow* row);
  std::string Error() const;

  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* last_of_ = nullptr;
  sqlite3_stmt* last_gap_ = nullptr;
  sqlite3_stmt* last_marker_ = nullptr;
  int64_t prune_from_ = 0;  // the id the next retention step starts at
  // The indexes of a driver's rows are there (a file of an older kirn read before a newer one
  // wrote it may lack them).
  bool driver_indexes_ = false;
  int budget_ms_ = 0;
  bool timed_out_ = false;
  int64_t deadline_ns_ = 0;  // steady clock
};

// Times as milliseconds since the epoch.
int64_t NowMs();

}  // namespace kirn
