// kirn history: what fed a destination at a moment, and a router's changes over a time, read
// from the history that kirn metrics records (read-only, whether kirn metrics runs or not).
#include <QJsonObject>
#include <QJsonValue>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/kirn/common/json_text.h"
#include "tools/kirn/common/text_encoding.h"
#include "tools/kirn/history/history_commands.h"
#include "tools/kirn/history/history_query.h"
#include "tools/kirn/history/history_store.h"

namespace kirn {

const char kHistoryHelp[] =
    "usage: kirn history DEV DEST --at TIME [--json] [--history FILE]\n"
    "       kirn history DEV [DEST] --since TIME [--until TIME] [--json] [--history FILE]\n"
    "Reads the crosspoint history that 'kirn metrics' records (read-only; it may be running\n"
    "or not). DEV is a router's device id, DEST one of its destinations.\n"
    "  --at TIME      the source that fed DEST at TIME, with the names as they were then and\n"
    "                 since when; 'unknown' when TIME lies in a gap of the history (the feed\n"
    "                 was lost, the driver was gone or in RX only, the recorder was not\n"
    "                 running) that no re-read of the driver's tables has closed yet\n"
    "  --since TIME   list the changes from TIME (of DEST, or of every destination of DEV),\n"
    "  --until TIME   up to TIME (default: now), oldest first, with the gaps of the router\n"
    "                 and the moments its tables were read again\n"
    "  --json         one JSON object instead of text, for scripts\n"
    "  --history FILE the history (default $KIRN_HISTORY, else $XDG_STATE_HOME/kirn/\n"
    "                 history.db, else ~/.local/state/kirn/history.db; the service's is\n"
    "                 /var/lib/kirn/history.db)\n"
    "TIME is ISO 8601, local time unless it ends in Z or an offset: 2026-12-09T14:03:00,\n"
    "'2026-12-09 14:03', 2026-12-09T13:03:00Z, 2026-12-09T14:03:00.5+01:00, 2026-12-09\n"
    "(its midnight); or @SECONDS since the epoch (@1765288980). Times are printed as local\n"
    "ISO 8601 with milliseconds and the offset.\n"
    "Lines of a listing: 'TIME DEV DEST <- SOURCE  DEST-NAME <- SOURCE-NAME' for a change\n"
    "('(read after a gap)' when it was found in the tables after a gap), 'TIME DEV gap:\n"
    "REASON' ('all' for a gap of every router) and 'TIME DEV complete again (tables read)'.\n"
    "An answer that is unknown, and a listing with no line, name the file that was read.\n"
    "Exit codes: 0 answered, 1 the history cannot be read (missing, not a history, written\n"
    "by a newer kirn), 2 usage error, 3 (--at) the source at TIME is unknown.\n";

std::string HistoryHelpTail() {
  std::string from;
  const std::string path = DefaultHistoryPath(&from);
  return "Without --history here: " + path + " (from " + from + ").\n";
}

namespace {

std::string Answer(const std::string& path, int router, int dest, int64_t at,
                   const HistoryAnswer& a, bool json) {
  if (json) {
    QJsonObject out{{"history", JsonText(path)},
                    {"router", router},
                    {"dest", dest},
                    {"at", static_cast<qint64>(at)},
                    {"at_time", JsonText(IsoTime(at))},
                    {"known", a.known}};
    if (a.known) {
      out["source"] = a.row.source == kNoSource ? QJsonValue() : QJsonValue(a.row.source);
      out["source_name"] = JsonText(a.row.source_name);
      out["dest_name"] = JsonText(a.row.dest_name);
      out["since"] = static_cast<qint64>(a.row.t_ms);
      out["since_time"] = JsonText(IsoTime(a.row.t_ms));
      if (a.confirmed.id != 0) {
        out["gap"] = RowObject(a.gap);
        out["confirmed"] = static_cast<qint64>(a.confirmed.t_ms);
      }
    } else if (a.gap.t_ms != 0 || a.gap.id != 0) {
      out["gap"] = RowObject(a.gap);
    }
    return JsonBytes(out, true) + "\n";
  }
  std::string out = IsoTime(at) + " " + std::to_string(router) + " " + std::to_string(dest);
  if (!a.known) {
    if (a.gap.id == 0 && a.gap.t_ms == 0) {
      out += ": unknown (the history holds nothing of it)";
    } else {
      out += ": unknown (in a gap since " + IsoTime(a.gap.t_ms) + ": " + TerminalText(a.gap.note) +
             ")";
    }
    return out + " in " + TerminalText(path) + "\n";
  }
  if (!a.row.dest_name.empty()) out += " " + TerminalText(a.row.dest_name);
  out += " <- ";
  out += a.row.source == kNoSource ? std::string("none known") : std::to_string(a.row.source);
  if (!a.row.source_name.empty()) out += " " + TerminalText(a.row.source_name);
  out += " since " + IsoTime(a.row.t_ms);
  if (a.confirmed.id != 0) {
    out += " (unseen from " + IsoTime(a.gap.t_ms) + ", " + TerminalText(a.gap.note) +
           ", until the tables were read at " + IsoTime(a.confirmed.t_ms) + ")";
  }
  return out + "\n";
}

}  // namespace

int RunHistory(const Args& all) {
  Args after;
  const Args args = SplitOptionsEnd(all, &after);
  std::vector<std::string> positional;
  std::string at_text, since_text, until_text, path = DefaultHistoryPath();
  bool json = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    if (a == "--at") {
      if (!value(&at_text)) return UsageError("history", "--at needs a TIME");
    } else if (a == "--since") {
      if (!value(&since_text)) return UsageError("history", "--since needs a TIME");
    } else if (a == "--until") {
      if (!value(&until_text)) return UsageError("history", "--until needs a TIME");
    } else if (a == "--history") {
      if (!value(&path)) return UsageError("history", "--history needs a FILE");
    } else if (a == "--json") {
      json = true;
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("history", "unknown option '" + a + "'");
    } else {
      positional.push_back(a);
    }
  }
  positional.insert(positional.end(), after.begin(), after.end());
  if (positional.empty() || positional.size() > 2) {
    return UsageError("history", "give DEV and DEST (--at) or DEV [DEST] (--since)");
  }
  long long router = 0, dest = 0;
  if (!ParseInt(positional[0], 1, 0xFFFF, &router)) {
    return UsageError("history", "DEV must be a router's device id, not '" + positional[0] + "'");
  }
  if (positional.size() == 2 && !ParseInt(positional[1], 1, 0xFFFF, &dest)) {
    return UsageError("history", "DEST must be a destination number, not '" + positional[1] + "'");
  }
  if (at_text.empty() == since_text.empty()) {
    return UsageError("history", "give either --at TIME or --since TIME");
  }
  if (!at_text.empty() && (dest == 0 || !until_text.empty())) {
    return UsageError("history", "--at takes DEV and DEST, and no --until");
  }
  int64_t at = 0, since = 0, until = INT64_MAX;
  std::string error;
  if (!at_text.empty() && !ParseTime(at_text, &at, &error))
    return UsageError("history", "--at " + error);
  if (!since_text.empty() && !ParseTime(since_text, &since, &error)) {
    return UsageError("history", "--since " + error);
  }
  if (!until_text.empty() && !ParseTime(until_text, &until, &error)) {
    return UsageError("history", "--until " + error);
  }
  std::unique_ptr<HistoryStore> store = HistoryStore::OpenForReading(path, &error);
  if (!store) return Failure("history", error);

  if (!at_text.empty()) {
    HistoryAnswer a;
    if (!store->At(static_cast<int>(router), static_cast<int>(dest), at, &a, &error)) {
      return Failure("history", path + ": " + error);
    }
    std::fputs(Answer(path, static_cast<int>(router), static_cast<int>(dest), at, a, json).c_str(),
               stdout);
    return a.known ? 0 : 3;
  }
  HistoryFilter f;
  f.router = static_cast<int>(router);
  f.dest = static_cast<int>(dest);
  f.since_ms = since;
  f.until_ms = until;
  f.limit = 10000;
  // Page by page, so that a long listing never holds every row at once.
  if (json) {
    // {"history":"<path>","rows":[...]}: the object's text up to its closing brace.
    std::string head = JsonBytes(QJsonObject{{"history", JsonText(path)}});
    head.pop_back();
    std::fputs((head + ",\"rows\":[").c_str(), stdout);
  }
  bool first = true;
  for (;;) {
    std::vector<HistoryRow> rows;
    if (!store->List(f, &rows, &error)) {
      if (json) std::fputs("]}\n", stdout);
      return Failure("history", path + ": " + error);
    }
    for (const HistoryRow& r : rows) {
      if (json) {
        std::fputs(first ? "\n" : ",\n", stdout);
        std::fputs(RowJson(r).c_str(), stdout);
      } else {
        std::fputs((RowText(r) + "\n").c_str(), stdout);
      }
      first = false;
    }
    if (static_cast<int>(rows.size()) < f.limit) break;
    f.after_t = rows.back().t_ms;
    f.after_id = rows.back().id;
  }
  if (json) std::fputs("]}\n", stdout);
  if (!json && first) {
    std::string line =
        "no changes of " + std::to_string(router) +
        (dest != 0 ? " " + std::to_string(dest) : std::string()) + " from " + IsoTime(since) +
        (until == INT64_MAX ? std::string() : " to " + IsoTime(until)) + " in " + path;
    for (char& c : line) {
      if (static_cast<unsigned char>(c) < 0x20) c = '?';
    }
    std::fputs((line + "\n").c_str(), stdout);
  }
  return 0;
}

}  // namespace kirn
