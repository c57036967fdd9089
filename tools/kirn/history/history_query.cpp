#include "tools/kirn/history/history_query.h"

#include <QJsonArray>
#include <QJsonObject>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "tools/kirn/common/command_line.h"
#include "tools/kirn/common/json_text.h"
#include "tools/kirn/common/text_encoding.h"

namespace kirn {
namespace {

// Reads exactly `n` digits at `*p` into `*out`.
bool Digits(const char** p, int n, int* out) {
  int v = 0;
  for (int i = 0; i < n; ++i) {
    if (!std::isdigit(static_cast<unsigned char>((*p)[i]))) return false;
    v = v * 10 + ((*p)[i] - '0');
  }
  *p += n;
  *out = v;
  return true;
}

const char* KindName(HistoryKind kind) {
  switch (kind) {
    case HistoryKind::kChange:
      return "change";
    case HistoryKind::kBase:
      return "base";
    case HistoryKind::kGap:
      return "gap";
    case HistoryKind::kBaseMarker:
      return "rebased";
  }
  return "?";
}

// A name or note for a line of text: control characters and invalid bytes escaped.
std::string Printable(const std::string& text) {
  return TerminalText(text);
}

std::string Num(int64_t v) {
  return std::to_string(v);
}

HttpResponse JsonAnswer(int status, std::string body) {
  HttpResponse r;
  r.status = status;
  r.content_type = "application/json; charset=utf-8";
  r.body = std::move(body) + "\n";
  return r;
}

HttpResponse JsonError(int status, const std::string& what) {
  return JsonAnswer(status, JsonBytes(QJsonObject{{"error", JsonText(what)}}, true));
}

}  // namespace

std::string DefaultHistoryPath(std::string* from) {
  std::string ignored;
  if (from == nullptr) from = &ignored;
  if (const char* p = std::getenv("KIRN_HISTORY"); p && *p) {
    *from = "$KIRN_HISTORY";
    return p;
  }
  if (const char* p = std::getenv("XDG_STATE_HOME"); p && *p == '/') {
    *from = "$XDG_STATE_HOME";
    return std::string(p) + "/kirn/history.db";
  }
  const char* home = std::getenv("HOME");
  *from = "$HOME";
  return std::string(home && *home ? home : ".") + "/.local/state/kirn/history.db";
}

bool ParseTime(const std::string& text, int64_t* ms, std::string* error) {
  *error = "'" + text +
           "' is no time: ISO 8601 (2026-12-09T14:03:00, local unless it ends in Z or an offset "
           "such as +01:00) or @SECONDS";
  if (text.empty()) return false;
  if (text[0] == '@') {
    const std::string rest = text.substr(1);
    const size_t dot = rest.find('.');
    long long seconds = 0;
    if (!ParseInt(rest.substr(0, dot), -(1LL << 40), 1LL << 40, &seconds)) return false;
    int64_t fraction = 0;
    if (dot != std::string::npos) {
      const std::string f = rest.substr(dot + 1);
      if (f.empty() || f.size() > 9) return false;
      for (char c : f) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
      }
      fraction = std::atoll((f + "000").substr(0, 3).c_str());
      if (rest[0] == '-') fraction = -fraction;
    }
    *ms = static_cast<int64_t>(seconds) * 1000 + fraction;
    return true;
  }
  const char* p = text.c_str();
  std::tm tm{};
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
  if (!Digits(&p, 4, &year) || *p++ != '-' || !Digits(&p, 2, &month) || *p++ != '-' ||
      !Digits(&p, 2, &day)) {
    return false;
  }
  if (*p == 'T' || *p == 't' || *p == ' ') {
    ++p;
    if (!Digits(&p, 2, &hour) || *p++ != ':' || !Digits(&p, 2, &minute)) return false;
    if (*p == ':') {
      ++p;
      if (!Digits(&p, 2, &second)) return false;
      if (*p == '.' || *p == ',') {
        ++p;
        int n = 0;
        int scale = 100;
        while (std::isdigit(static_cast<unsigned char>(*p))) {
          if (n < 3) millis += (*p - '0') * scale;
          scale /= 10;
          ++n;
          ++p;
        }
        if (n == 0) return false;
      }
    }
  }
  bool zoned = false;
  int offset_s = 0;
  if (*p == 'Z' || *p == 'z') {
    zoned = true;
    ++p;
  } else if (*p == '+' || *p == '-') {
    const int sign = *p == '-' ? -1 : 1;
    ++p;
    int oh = 0, om = 0;
    if (!Digits(&p, 2, &oh)) return false;
    if (*p == ':') ++p;
    if (*p != '\0' && !Digits(&p, 2, &om)) return false;
    if (oh > 23 || om > 59) return false;
    zoned = true;
    offset_s = sign * (oh * 3600 + om * 60);
  }
  if (*p != '\0') return false;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return false;
  }
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  std::tm check = tm;
  const time_t t = zoned ? timegm(&check) : mktime(&check);
  // 2026-02-31 rolls over into March: not a date.
  if (t == static_cast<time_t>(-1) && !(year == 1969 || year == 1970)) return false;
  if (check.tm_mday != day || check.tm_mon != month - 1) return false;
  *ms = (static_cast<int64_t>(t) - offset_s) * 1000 + millis;
  error->clear();
  return true;
}

std::string IsoTime(int64_t ms) {
  int64_t seconds = ms / 1000;
  int64_t millis = ms % 1000;
  if (millis < 0) {
    millis += 1000;
    --seconds;
  }
  const time_t t = static_cast<time_t>(seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  char head[64];
  std::strftime(head, sizeof head, "%Y-%m-%dT%H:%M:%S", &tm);
  const long off = tm.tm_gmtoff;
  char tail[32];
  std::snprintf(tail, sizeof tail, ".%03d%c%02ld:%02ld", static_cast<int>(millis),
                off < 0 ? '-' : '+', (off < 0 ? -off : off) / 3600,
                ((off < 0 ? -off : off) / 60) % 60);
  return std::string(head) + tail;
}

QJsonObject RowObject(const HistoryRow& r) {
  QJsonObject o{{"t", static_cast<qint64>(r.t_ms)},
                {"time", JsonText(IsoTime(r.t_ms))},
                {"kind", KindName(r.kind)},
                {"driver", r.driver},
                {"router", r.router}};
  if (r.kind == HistoryKind::kChange || r.kind == HistoryKind::kBase) {
    o["dest"] = r.dest;
    o["dest_name"] = JsonText(r.dest_name);
    o["source"] = r.source == kNoSource ? QJsonValue() : QJsonValue(r.source);
    o["source_name"] = JsonText(r.source_name);
  }
  if (r.kind == HistoryKind::kGap) o["note"] = JsonText(r.note);
  return o;
}

std::string RowJson(const HistoryRow& r) {
  return JsonBytes(RowObject(r), true);
}

std::string RowText(const HistoryRow& r) {
  std::string out = IsoTime(r.t_ms) + " ";
  out += r.router == 0 ? std::string("all") : Num(r.router);
  switch (r.kind) {
    case HistoryKind::kChange:
    case HistoryKind::kBase: {
      char nums[48];
      std::snprintf(nums, sizeof nums, " %d <- %s", r.dest,
                    r.source == kNoSource ? "none" : Num(r.source).c_str());
      out += nums;
      if (!r.dest_name.empty() || !r.source_name.empty()) {
        out += "  " + (r.dest_name.empty() ? std::string("?") : Printable(r.dest_name)) + " <- " +
               (r.source_name.empty() ? std::string("?") : Printable(r.source_name));
      }
      if (r.kind == HistoryKind::kBase) out += "  (read after a gap)";
      break;
    }
    case HistoryKind::kGap:
      out += " gap: " + Printable(r.note);
      break;
    case HistoryKind::kBaseMarker:
      out += " complete again (tables read)";
      break;
  }
  return out;
}

HttpResponse HistoryError(int status, const std::string& what) {
  return JsonError(status, what);
}

std::optional<HttpResponse> ParseHistoryRequest(const HttpRequest& request, int driver,
                                                HistoryFilter* filter) {
  HistoryFilter& f = *filter;
  f = HistoryFilter{};
  f.driver = driver;
  f.newest_first = true;
  f.limit = 100;
  long long n = 0;
  const std::string router = request.Arg("router");
  if (router.empty() || !ParseInt(router, 1, 0xFFFF, &n)) {
    return JsonError(400, "router= takes a router's device id");
  }
  f.router = static_cast<int>(n);
  if (const std::string dest = request.Arg("dest"); !dest.empty()) {
    if (!ParseInt(dest, 1, 0xFFFF, &n)) return JsonError(400, "dest= takes a destination number");
    f.dest = static_cast<int>(n);
  }
  std::string error;
  for (const auto& [name, bound] : {std::pair<const char*, int64_t*>{"since", &f.since_ms},
                                    std::pair<const char*, int64_t*>{"until", &f.until_ms}}) {
    const std::string text = request.Arg(name);
    if (!text.empty() && !ParseTime(text, bound, &error)) {
      return JsonError(400, std::string(name) + "= " + error);
    }
  }
  if (const std::string limit = request.Arg("limit"); !limit.empty()) {
    if (!ParseInt(limit, 1, 1000, &n)) return JsonError(400, "limit= takes 1..1000");
    f.limit = static_cast<int>(n);
  }
  if (const std::string cursor = request.Arg("cursor"); !cursor.empty()) {
    const size_t sep = cursor.find('_');
    long long t = 0, id = 0;
    if (sep == std::string::npos ||
        !ParseInt(cursor.substr(0, sep), INT64_MIN + 1, INT64_MAX, &t) ||
        !ParseInt(cursor.substr(sep + 1), 1, INT64_MAX, &id)) {
      return JsonError(400, "cursor= takes the 'next' of an earlier answer");
    }
    f.after_t = t;
    f.after_id = id;
  }
  return std::nullopt;
}

HttpResponse HistoryListing(const HistoryFilter& f, HistoryStore* store) {
  if (!store) return JsonError(503, "no history recorded (yet)");
  std::vector<HistoryRow> rows;
  std::string error;
  if (!store->List(f, &rows, &error)) {
    if (store->timed_out()) {
      HttpResponse r = JsonError(
          503, error + ": ask for less (a destination, since= and until=, a smaller limit=)");
      r.headers.emplace_back("Retry-After", "5");
      return r;
    }
    return JsonError(503, "the history cannot be read: " + error);
  }
  QJsonObject out{{"driver", f.driver}, {"router", f.router}};
  if (f.dest > 0) out["dest"] = f.dest;
  QJsonArray list;
  for (const HistoryRow& r : rows) list.append(RowObject(r));
  out["rows"] = list;
  out["next"] =
      static_cast<int>(rows.size()) == f.limit
          ? QJsonValue(QString::fromStdString(Num(rows.back().t_ms) + "_" + Num(rows.back().id)))
          : QJsonValue();
  return JsonAnswer(200, JsonBytes(out, true));
}

HttpResponse HistoryApi(const HttpRequest& request, int driver, HistoryStore* store) {
  HistoryFilter f;
  if (std::optional<HttpResponse> bad = ParseHistoryRequest(request, driver, &f)) return *bad;
  return HistoryListing(f, store);
}

}  // namespace kirn
