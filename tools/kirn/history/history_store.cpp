#include "tools/kirn/history/history_store.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace kirn {
namespace {

// "KIRH": marks the file as a crosspoint history.
constexpr int kApplicationId = 0x4B495248;

constexpr const char* kColumns =
    "id, t, kind, driver, router, dest, src, src_name, dest_name, note";

// The schema of version 1 (on a file whose auto_vacuum is INCREMENTAL).
constexpr const char* kSchema =
    "CREATE TABLE history("
    "  id INTEGER PRIMARY KEY,"
    "  t INTEGER NOT NULL,"       // milliseconds since the epoch
    "  kind INTEGER NOT NULL,"    // 0 change, 1 base, 2 gap, 3 base marker
    "  driver INTEGER NOT NULL,"  // the driver's own device number, 0 not known
    "  router INTEGER NOT NULL,"  // router device id; a gap of every router has 0
    "  dest INTEGER NOT NULL,"    // destination; a gap has -1, a base marker 0
    "  src INTEGER,"              // source (65535: none known); NULL for gaps and markers
    "  src_name TEXT, dest_name TEXT,"
    "  note TEXT);"
    // A destination's rows, a router's gaps (dest -1) and markers (dest 0), in time order.
    "CREATE INDEX history_at ON history(router, dest, t);"
    // A router's rows in time order, for its listing.
    "CREATE INDEX history_time ON history(router, t);"
    // pruned_before: the retention's cutoff; the history answers nothing before it.
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER);";

// Indexes added since the first files were written: a driver's rows of a router, and of one
// destination, in time order (/api/history/N filters by driver). A file of an older kirn gets
// them when it is next opened for writing; older readers and writers use the file as before.
constexpr const char* kDriverIndexes =
    "CREATE INDEX IF NOT EXISTS history_driver ON history(router, driver, t);"
    "CREATE INDEX IF NOT EXISTS history_dest_driver ON history(router, dest, driver, t);";

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool Exec(sqlite3* db, const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  if (error) *error = message ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return false;
}

// The single integer a statement gives, or `absent`.
int64_t Scalar(sqlite3* db, const char* sql, int64_t absent) {
  sqlite3_stmt* s = nullptr;
  int64_t v = absent;
  if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW &&
      sqlite3_column_type(s, 0) != SQLITE_NULL) {
    v = sqlite3_column_int64(s, 0);
  }
  sqlite3_finalize(s);
  return v;
}

bool HasDriverIndexes(sqlite3* db) {
  return Scalar(db,
                "SELECT count(*) FROM sqlite_schema WHERE type = 'index' AND name IN "
                "('history_driver', 'history_dest_driver')",
                0) == 2;
}

std::string Text(sqlite3_stmt* s, int column) {
  const unsigned char* p = sqlite3_column_text(s, column);
  return p ? std::string(reinterpret_cast<const char*>(p),
                         static_cast<size_t>(sqlite3_column_bytes(s, column)))
           : std::string();
}

void BindText(sqlite3_stmt* s, int index, const std::string& text) {
  if (text.empty()) {
    sqlite3_bind_null(s, index);
  } else {
    sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
}

// True when `a` comes after `b` in the history (by time, then by order of recording).
bool Later(const HistoryRow& a, const HistoryRow& b) {
  return a.t_ms > b.t_ms || (a.t_ms == b.t_ms && a.id > b.id);
}

// A prepared statement finalized at the end of its scope.
struct Statement {
  sqlite3_stmt* s = nullptr;
  ~Statement() { sqlite3_finalize(s); }
};

}  // namespace

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

HistoryStore::~HistoryStore() {
  for (sqlite3_stmt* s : {insert_, last_of_, last_gap_, last_marker_}) sqlite3_finalize(s);
  // The last connection to close checkpoints the log into the file and removes it.
  if (db_) sqlite3_close(db_);
}

std::string HistoryStore::Error() const {
  return db_ ? sqlite3_errmsg(db_) : "out of memory";
}

std::unique_ptr<HistoryStore> HistoryStore::OpenForWriting(const std::string& path,
                                                           std::string* error, bool* refused) {
  if (refused) *refused = false;
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  std::unique_ptr<HistoryStore> store(new HistoryStore);
  if (sqlite3_open_v2(path.c_str(), &store->db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      nullptr) != SQLITE_OK) {
    *error = path + ": " + store->Error();
    return nullptr;
  }
  sqlite3* db = store->db_;
  sqlite3_busy_timeout(db, 2000);
  // What the file is, before anything is written to it.
  const int64_t version = Scalar(db, "PRAGMA user_version", -1);
  const int64_t app = Scalar(db, "PRAGMA application_id", -1);
  const int64_t tables = Scalar(db, "SELECT count(*) FROM sqlite_schema", -1);
  if (version < 0 || app < 0 || tables < 0) {
    *error = path + ": " + store->Error();
    return nullptr;
  }
  if (tables > 0 && app != kApplicationId) {
    *error = path + ": not a crosspoint history (another program's database): left untouched";
    if (refused) *refused = true;
    return nullptr;
  }
  if (version > kHistorySchema) {
    *error = path + ": written by a newer kirn (history schema " + std::to_string(version) +
             "; this one knows " + std::to_string(kHistorySchema) + "): left untouched";
    if (refused) *refused = true;
    return nullptr;
  }
  // Incremental vacuum only takes on a file without tables, before it is in WAL mode.
  if (tables == 0 && !Exec(db, "PRAGMA auto_vacuum = INCREMENTAL", error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  if (!Exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;", error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  if (tables == 0) {
    const std::string create = std::string("BEGIN IMMEDIATE;") + kSchema +
                               "PRAGMA application_id = " + std::to_string(kApplicationId) +
                               "; PRAGMA user_version = " + std::to_string(kHistorySchema) +
                               "; COMMIT;";
    if (!Exec(db, create.c_str(), error)) {
      Exec(db, "ROLLBACK", nullptr);
      *error = path + ": " + *error;
      return nullptr;
    }
  }
  if (!Exec(db, kDriverIndexes, error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  if (!store->Prepare()) {
    *error = path + ": " + store->Error();
    return nullptr;
  }
  return store;
}

std::unique_ptr<HistoryStore> HistoryStore::OpenForReading(const std::string& path,
                                                           std::string* error) {
  std::unique_ptr<HistoryStore> store;
  int64_t version = -1, app = -1;
  for (int attempt = 0; attempt < 2; ++attempt) {
    store.reset(new HistoryStore);
    std::string name = path;
    int flags = SQLITE_OPEN_READONLY;
    if (attempt == 1) {
      // A reader that may not create the log's index beside the file (the directory is not
      // its own) while no writer has the file open (no log): the file as it stands is whole.
      std::error_code ec;
      if (std::filesystem::exists(path + "-wal", ec)) break;
      name = "file:";
      for (char c : path) {
        if (c == '%' || c == '?' || c == '#') {
          char hex[4];
          std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
          name += hex;
        } else {
          name += c;
        }
      }
      name += "?immutable=1";
      flags |= SQLITE_OPEN_URI;
    }
    if (sqlite3_open_v2(name.c_str(), &store->db_, flags, nullptr) != SQLITE_OK) {
      *error = path + ": " + store->Error();
      return nullptr;
    }
    sqlite3_busy_timeout(store->db_, 2000);
    version = Scalar(store->db_, "PRAGMA user_version", -1);
    app = Scalar(store->db_, "PRAGMA application_id", -1);
    if (version >= 0 && app >= 0) break;
    *error = path + ": " + store->Error();
  }
  if (version < 0 || app < 0) return nullptr;
  if (app != kApplicationId) {
    *error = path + ": not a crosspoint history";
    return nullptr;
  }
  if (version > kHistorySchema) {
    *error = path + ": written by a newer kirn (history schema " + std::to_string(version) +
             "; this one knows " + std::to_string(kHistorySchema) + ")";
    return nullptr;
  }
  if (!store->Prepare()) {
    *error = path + ": " + store->Error();
    return nullptr;
  }
  return store;
}

bool HistoryStore::Prepare() {
  driver_indexes_ = HasDriverIndexes(db_);
  // The listing's time budget: looked at every thousand steps of the statement.
  sqlite3_progress_handler(
      db_, 1000,
      [](void* self) -> int {
        auto* store = static_cast<HistoryStore*>(self);
        return store->deadline_ns_ != 0 && SteadyNs() > store->deadline_ns_ ? 1 : 0;
      },
      this);
  const std::string select = std::string("SELECT ") + kColumns + " FROM history ";
  const std::string sql[] = {
      "INSERT INTO history(t, kind, driver, router, dest, src, src_name, dest_name, note) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
      select + "WHERE router = ?1 AND dest = ?2 AND t <= ?3 ORDER BY t DESC, id DESC LIMIT 1",
      select + "WHERE router = ?1 AND dest = -1 AND t <= ?2 ORDER BY t DESC, id DESC LIMIT 1",
      select +
          "WHERE router = ?1 AND dest = 0 AND kind = 3 AND t <= ?2 ORDER BY t DESC, id DESC "
          "LIMIT 1",
  };
  sqlite3_stmt** out[] = {&insert_, &last_of_, &last_gap_, &last_marker_};
  for (size_t i = 0; i < 4; ++i) {
    // A read-only connection has no use for the insert.
    if (i == 0 && sqlite3_db_readonly(db_, "main") == 1) continue;
    if (sqlite3_prepare_v3(db_, sql[i].c_str(), -1, SQLITE_PREPARE_PERSISTENT, out[i], nullptr) !=
        SQLITE_OK) {
      return false;
    }
  }
  return true;
}

bool HistoryStore::Begin(std::string* error) {
  return Exec(db_, "BEGIN IMMEDIATE", error);
}

bool HistoryStore::Commit(std::string* error) {
  return Exec(db_, "COMMIT", error);
}

void HistoryStore::Rollback() {
  if (!sqlite3_get_autocommit(db_)) Exec(db_, "ROLLBACK", nullptr);
}

bool HistoryStore::Insert(const HistoryRow& row, std::string* error) {
  sqlite3_stmt* s = insert_;
  if (!s) {
    *error = "read-only";
    return false;
  }
  sqlite3_reset(s);
  sqlite3_bind_int64(s, 1, row.t_ms);
  sqlite3_bind_int(s, 2, static_cast<int>(row.kind));
  sqlite3_bind_int(s, 3, row.driver);
  sqlite3_bind_int(s, 4, row.router);
  const bool crosspoint = row.kind == HistoryKind::kChange || row.kind == HistoryKind::kBase;
  sqlite3_bind_int(s, 5, crosspoint ? row.dest : row.kind == HistoryKind::kGap ? -1 : 0);
  if (crosspoint) {
    sqlite3_bind_int(s, 6, row.source);
  } else {
    sqlite3_bind_null(s, 6);
  }
  BindText(s, 7, row.source_name);
  BindText(s, 8, row.dest_name);
  BindText(s, 9, row.note);
  if (sqlite3_step(s) != SQLITE_DONE) {
    *error = Error();
    sqlite3_reset(s);
    return false;
  }
  sqlite3_reset(s);
  return true;
}

bool HistoryStore::ReadRow(sqlite3_stmt* s, HistoryRow* row) {
  row->id = sqlite3_column_int64(s, 0);
  row->t_ms = sqlite3_column_int64(s, 1);
  const int kind = sqlite3_column_int(s, 2);
  if (kind < 0 || kind > 3) return false;
  row->kind = static_cast<HistoryKind>(kind);
  row->driver = sqlite3_column_int(s, 3);
  row->router = sqlite3_column_int(s, 4);
  row->dest = sqlite3_column_int(s, 5);
  row->source = sqlite3_column_type(s, 6) == SQLITE_NULL ? kNoSource : sqlite3_column_int(s, 6);
  row->source_name = Text(s, 7);
  row->dest_name = Text(s, 8);
  row->note = Text(s, 9);
  return true;
}

namespace {

// Runs a one-row query of `s` (bound already); the row when there is one. `ok` false on error.
std::optional<HistoryRow> OneRow(sqlite3_stmt* s, bool (*read)(sqlite3_stmt*, HistoryRow*),
                                 bool* ok) {
  std::optional<HistoryRow> out;
  const int rc = sqlite3_step(s);
  if (rc == SQLITE_ROW) {
    HistoryRow r;
    if (read(s, &r)) out = r;
  } else if (rc != SQLITE_DONE) {
    *ok = false;
  }
  sqlite3_reset(s);
  return out;
}

}  // namespace

std::optional<HistoryRow> HistoryStore::LastOf(int router, int dest, std::string* error) {
  sqlite3_bind_int(last_of_, 1, router);
  sqlite3_bind_int(last_of_, 2, dest);
  sqlite3_bind_int64(last_of_, 3, INT64_MAX);
  bool ok = true;
  auto r = OneRow(last_of_, &HistoryStore::ReadRow, &ok);
  if (!ok) *error = Error();
  return r;
}

std::optional<HistoryRow> HistoryStore::LastRow(std::string* error) {
  Statement st;
  const std::string sql =
      std::string("SELECT ") + kColumns + " FROM history ORDER BY id DESC LIMIT 1";
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st.s, nullptr) != SQLITE_OK) {
    *error = Error();
    return std::nullopt;
  }
  bool ok = true;
  auto r = OneRow(st.s, &HistoryStore::ReadRow, &ok);
  if (!ok) *error = Error();
  return r;
}

bool HistoryStore::At(int router, int dest, int64_t t_ms, HistoryAnswer* answer,
                      std::string* error) {
  *answer = HistoryAnswer{};
  bool ok = true;
  sqlite3_bind_int(last_of_, 1, router);
  sqlite3_bind_int(last_of_, 2, dest);
  sqlite3_bind_int64(last_of_, 3, t_ms);
  const std::optional<HistoryRow> row = OneRow(last_of_, &HistoryStore::ReadRow, &ok);
  std::optional<HistoryRow> gap;
  for (int r : {router, 0}) {
    sqlite3_bind_int(last_gap_, 1, r);
    sqlite3_bind_int64(last_gap_, 2, t_ms);
    std::optional<HistoryRow> g = OneRow(last_gap_, &HistoryStore::ReadRow, &ok);
    if (g && (!gap || Later(*g, *gap))) gap = g;
  }
  sqlite3_bind_int(last_marker_, 1, router);
  sqlite3_bind_int64(last_marker_, 2, t_ms);
  const std::optional<HistoryRow> marker = OneRow(last_marker_, &HistoryStore::ReadRow, &ok);
  const int64_t pruned = Scalar(db_, "SELECT value FROM meta WHERE key = 'pruned_before'", 0);
  if (!ok) {
    *error = Error();
    return false;
  }
  if (t_ms < pruned) {
    // Older than the history keeps: what it still holds of that time is not the whole story.
    answer->gap.t_ms = pruned;
    answer->gap.kind = HistoryKind::kGap;
    answer->gap.note = "older than the history keeps";
    return true;
  }
  if (!gap) {
    if (row) {
      answer->known = true;
      answer->row = *row;
    }
    return true;
  }
  if (row && Later(*row, *gap)) {
    answer->known = true;
    answer->row = *row;
    return true;
  }
  if (marker && Later(*marker, *gap)) {
    // The re-base after the gap found the destination as the history held it.
    answer->known = true;
    if (row) {
      answer->row = *row;
    } else {
      answer->row.kind = HistoryKind::kBase;
      answer->row.router = router;
      answer->row.dest = dest;
      answer->row.t_ms = marker->t_ms;
    }
    answer->confirmed = *marker;
    answer->gap = *gap;
    return true;
  }
  answer->gap = *gap;
  return true;
}

bool HistoryStore::List(const HistoryFilter& f, std::vector<HistoryRow>* rows, std::string* error) {
  rows->clear();
  // Arms each delivered in time order by an index, merged by the ORDER BY.
  const char* after = f.newest_first ? "(t, id) < (?5, ?6)" : "(t, id) > (?5, ?6)";
  const std::string range = " AND t >= ?3 AND t < ?4 AND " + std::string(after);
  // Rows recorded before the driver of their router was known carry driver 0.
  const std::string driver = " AND (?7 = 0 OR kind >= 2 OR driver = ?7 OR driver = 0)";
  const std::string select = std::string("SELECT ") + kColumns + " FROM history WHERE ";
  std::string sql;
  // The router's gaps and base markers.
  const std::string marks = " UNION ALL " + select + "router = ?1 AND dest = -1" + range +
                            " UNION ALL " + select + "router = ?1 AND dest = 0" + range;
  // A reader that opened the file before a writer added the indexes finds them later.
  if (f.driver != 0 && !driver_indexes_) driver_indexes_ = HasDriverIndexes(db_);
  if (f.driver != 0 && driver_indexes_) {
    // A driver's rows (and those of no known driver) by the indexes that hold them in time
    // order, so that a driver with few rows of a busy router costs no scan of the router.
    const std::string from = std::string("SELECT ") + kColumns + " FROM history INDEXED BY ";
    if (f.dest > 0) {
      sql = from + "history_dest_driver WHERE router = ?1 AND dest = ?2 AND driver = ?7" + range +
            " UNION ALL " + from +
            "history_dest_driver WHERE router = ?1 AND dest = ?2 AND driver = 0" + range + marks;
    } else {
      sql = from + "history_driver WHERE router = ?1 AND driver = ?7 AND dest > 0" + range +
            " UNION ALL " + from + "history_driver WHERE router = ?1 AND driver = 0 AND dest > 0" +
            range + marks;
    }
  } else if (f.dest > 0) {
    sql = select + "router = ?1 AND dest = ?2" + range + driver + marks;
  } else {
    sql = select + "router = ?1" + range + driver;
  }
  sql += " UNION ALL " + select + "router = 0 AND dest = -1" + range;
  sql += f.newest_first ? " ORDER BY t DESC, id DESC" : " ORDER BY t, id";
  sql += " LIMIT ?8";
  Statement st;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st.s, nullptr) != SQLITE_OK) {
    *error = Error();
    return false;
  }
  sqlite3_bind_int(st.s, 1, f.router);
  sqlite3_bind_int(st.s, 2, f.dest);
  sqlite3_bind_int64(st.s, 3, f.since_ms);
  sqlite3_bind_int64(st.s, 4, f.until_ms);
  const bool from_start = f.after_id == 0;
  sqlite3_bind_int64(st.s, 5, from_start ? (f.newest_first ? INT64_MAX : INT64_MIN) : f.after_t);
  sqlite3_bind_int64(st.s, 6, from_start ? (f.newest_first ? INT64_MAX : INT64_MIN) : f.after_id);
  sqlite3_bind_int(st.s, 7, f.driver);
  sqlite3_bind_int64(st.s, 8, f.limit > 0 ? f.limit : -1);
  int rc;
  timed_out_ = false;
  deadline_ns_ = budget_ms_ > 0 ? SteadyNs() + int64_t{budget_ms_} * 1000000 : 0;
  while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
    HistoryRow r;
    if (ReadRow(st.s, &r)) rows->push_back(std::move(r));
  }
  deadline_ns_ = 0;
  if (rc == SQLITE_INTERRUPT) {
    timed_out_ = true;
    *error = "the query took longer than " + std::to_string(budget_ms_) + " ms";
    return false;
  }
  if (rc != SQLITE_DONE) {
    *error = Error();
    return false;
  }
  return true;
}

int HistoryStore::PruneStep(int64_t cutoff_ms, int max_rows, bool* wrapped, std::string* error) {
  *wrapped = false;
  Statement scan, later, del, meta;
  const std::string later_sql =
      "SELECT 1 FROM history WHERE router = ?1 AND dest = ?2 AND t >= ?3 AND t < ?5 AND "
      "(t > ?3 OR id > ?4) AND (?2 != 0 OR kind = 3) LIMIT 1";
  if (sqlite3_prepare_v2(db_,
                         "SELECT id, t, kind, router, dest FROM history WHERE id >= ?1 "
                         "ORDER BY id LIMIT ?2",
                         -1, &scan.s, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db_, later_sql.c_str(), -1, &later.s, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db_, "DELETE FROM history WHERE id = ?1", -1, &del.s, nullptr) !=
          SQLITE_OK ||
      sqlite3_prepare_v2(db_,
                         "INSERT INTO meta(key, value) VALUES('pruned_before', ?1) "
                         "ON CONFLICT(key) DO UPDATE SET value = max(value, ?1)",
                         -1, &meta.s, nullptr) != SQLITE_OK) {
    *error = Error();
    return -1;
  }
  if (!Begin(error)) return -1;
  sqlite3_bind_int64(scan.s, 1, prune_from_);
  sqlite3_bind_int(scan.s, 2, max_rows);
  std::vector<int64_t> doomed;
  int64_t last_id = prune_from_;
  int seen = 0;
  int rc;
  while ((rc = sqlite3_step(scan.s)) == SQLITE_ROW) {
    ++seen;
    const int64_t id = sqlite3_column_int64(scan.s, 0);
    const int64_t t = sqlite3_column_int64(scan.s, 1);
    if (t >= cutoff_ms) {
      *wrapped = true;
      break;
    }
    last_id = id;
    sqlite3_reset(later.s);
    sqlite3_bind_int(later.s, 1, sqlite3_column_int(scan.s, 3));
    sqlite3_bind_int(later.s, 2, sqlite3_column_int(scan.s, 4));
    sqlite3_bind_int64(later.s, 3, t);
    sqlite3_bind_int64(later.s, 4, id);
    sqlite3_bind_int64(later.s, 5, cutoff_ms);
    if (sqlite3_step(later.s) == SQLITE_ROW) doomed.push_back(id);
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    *error = Error();
    Rollback();
    return -1;
  }
  if (seen < max_rows) *wrapped = true;
  for (int64_t id : doomed) {
    sqlite3_reset(del.s);
    sqlite3_bind_int64(del.s, 1, id);
    if (sqlite3_step(del.s) != SQLITE_DONE) {
      *error = Error();
      Rollback();
      return -1;
    }
  }
  // The history answers nothing before the cutoff once it has deleted something before it.
  sqlite3_bind_int64(meta.s, 1, cutoff_ms);
  if ((!doomed.empty() && sqlite3_step(meta.s) != SQLITE_DONE) || !Commit(error)) {
    if (error->empty()) *error = Error();
    Rollback();
    return -1;
  }
  prune_from_ = *wrapped ? 0 : last_id + 1;
  return static_cast<int>(doomed.size());
}

std::optional<int64_t> HistoryStore::TimeAfterOldest(int64_t rows, std::string* error) {
  Statement st;
  const int64_t pruned = Scalar(db_, "SELECT value FROM meta WHERE key = 'pruned_before'", 0);
  if (sqlite3_prepare_v2(db_, "SELECT t FROM history WHERE t >= ?1 ORDER BY id LIMIT 1 OFFSET ?2",
                         -1, &st.s, nullptr) != SQLITE_OK) {
    *error = Error();
    return std::nullopt;
  }
  sqlite3_bind_int64(st.s, 1, pruned);
  sqlite3_bind_int64(st.s, 2, rows);
  const int rc = sqlite3_step(st.s);
  if (rc == SQLITE_ROW) return sqlite3_column_int64(st.s, 0);
  if (rc != SQLITE_DONE) *error = Error();
  return std::nullopt;
}

bool HistoryStore::Vacuum(int pages, std::string* error) {
  const std::string sql = "PRAGMA incremental_vacuum(" + std::to_string(pages) + ")";
  return Exec(db_, sql.c_str(), error);
}

int64_t HistoryStore::UsedBytes() {
  const int64_t pages = Scalar(db_, "PRAGMA page_count", 0);
  const int64_t free_pages = Scalar(db_, "PRAGMA freelist_count", 0);
  const int64_t size = Scalar(db_, "PRAGMA page_size", 4096);
  return (pages - free_pages) * size;
}

void HistoryStore::SetMaxPages(int64_t pages) {
  if (pages <= 0) return;
  const std::string sql = "PRAGMA max_page_count = " + std::to_string(pages);
  Exec(db_, sql.c_str(), nullptr);
}

}  // namespace kirn
