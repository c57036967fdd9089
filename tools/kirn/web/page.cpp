#include "tools/kirn/web/page.h"

#include <QFile>
#include <algorithm>
#include <map>
#include <set>
#include <string_view>

#include "core/remote_panel.h"
#include "state/router_tables.h"
#include "tools/kirn/common/command_line.h"
#include "tools/kirn/common/json_text.h"

namespace kirn {
namespace {

struct PageFileSpec {
  const char* path;      // as requested
  const char* resource;  // compiled in
  const char* type;
  bool page;  // an HTML page: its own policy
};
constexpr PageFileSpec kPageFiles[] = {
    {"/", ":/page/index.html", "text/html; charset=utf-8", true},
    {"/driver/", ":/page/driver.html", "text/html; charset=utf-8", true},
    {"/page/page.css", ":/page/page.css", "text/css; charset=utf-8", false},
    {"/page/common.js", ":/page/common.js", "text/javascript; charset=utf-8", false},
    {"/page/overview.js", ":/page/overview.js", "text/javascript; charset=utf-8", false},
    {"/page/driver.js", ":/page/driver.js", "text/javascript; charset=utf-8", false},
    {"/xarvel.svg", ":/xarvel.svg", "image/svg+xml", false},
};

// The files' contents, read once.
const std::string& Content(const char* resource) {
  static std::map<std::string, std::string> contents;
  auto it = contents.find(resource);
  if (it != contents.end()) return it->second;
  QFile file(QString::fromUtf8(resource));
  std::string bytes;
  if (file.open(QIODevice::ReadOnly)) bytes = file.readAll().toStdString();
  return contents.emplace(resource, std::move(bytes)).first->second;
}

HttpResponse Json(int status, std::string body) {
  HttpResponse r;
  r.status = status;
  r.content_type = "application/json; charset=utf-8";
  r.body = std::move(body);
  r.body += '\n';
  return r;
}

std::string Trim(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return std::string(text);
}

std::string Str(std::string_view text) {
  return JsonString(text, true);
}

std::string Num(int64_t n) {
  return std::to_string(n);
}

int64_t Total(const xarvel::PanelCounters& c, std::string_view name) {
  int64_t sum = 0;
  for (const xarvel::CounterLine& line : c.lines) {
    if (line.name == name) sum += line.value;
  }
  return sum;
}

// One driver at a glance: what the overview shows and /api/driver/N begins with.
std::string DriverSummary(const DriverReading& d) {
  std::string out = "{\"driver\":" + (d.driver > 0 ? Num(d.driver) : std::string("null"));
  out += ",\"up\":";
  out += d.up ? "true" : "false";
  out += ",\"routers\":[";
  for (size_t i = 0; i < d.routers.size(); ++i) {
    if (i > 0) out += ',';
    out += Num(d.routers[i]);
  }
  out += ']';
  if (!d.up) return out;
  const xarvel::PanelCounters& c = d.counters;
  out += ",\"panel\":";
  if (d.status.empty()) {
    out += "null";
  } else {
    out += '{';
    bool first = true;
    for (const auto& [key, value] : d.status.fields) {
      if (!first) out += ',';
      first = false;
      out += Str(key) + ":" + Str(Trim(value));
    }
    out += "},\"router_table\":[";
    for (size_t i = 0; i < d.status.routers.size(); ++i) {
      const PanelStatus::Router& r = d.status.routers[i];
      if (i > 0) out += ',';
      out += "{\"letter\":" + Str(r.letter) + ",\"device\":" + Str(r.device) +
             ",\"sources\":" + Str(r.sources) + ",\"destinations\":" + Str(r.destinations) +
             ",\"offsets\":" + Str(r.offsets) + "}";
    }
    out += ']';
  }
  const char* figures[] = {"interface_mode", "comms_state",  "active_controller", "connection_mode",
                           "simulation",     "queue_depth",  "outstanding",       "now_ms",
                           "start_time_ms",  "last_drop_ms", "last_save_ms",      "save_failed"};
  for (const char* name : figures) out += ",\"" + std::string(name) + "\":" + Num(c.Get(name));
  out += ",\"link_up\":{";
  bool first = true;
  for (const xarvel::CounterLine& line : c.lines) {
    if (line.name != "link_up" || line.labels.size() != 1) continue;
    if (!first) out += ',';
    first = false;
    out += Str(line.labels[0].second) + ":" + Num(line.value);
  }
  out += "},\"routes\":" + Num(Total(c, "routes")) +
         ",\"refused\":" + Num(Total(c, "routes_refused")) +
         ",\"dropped\":" + Num(Total(c, "commands_dropped"));
  return out;
}

const DriverReading* Find(const Survey& s, int driver) {
  for (const DriverReading& d : s.drivers) {
    if (d.driver == driver) return &d;
  }
  return nullptr;
}

void AppendNames(std::string& out, const std::map<int, RouterNames::Name>& names) {
  out += '{';
  bool first = true;
  for (const auto& [entry, name] : names) {
    if (name.text.empty()) continue;
    if (!first) out += ',';
    first = false;
    out += "\"" + Num(entry) + "\":" + Str(name.text);
  }
  out += '}';
}

void AppendColumn(std::string& out, const char* key, const std::vector<int>& values) {
  out += ",\"";
  out += key;
  out += "\":[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ',';
    out += Num(values[i]);
  }
  out += ']';
}

std::string TableJson(const RouterTable& t, const RouterNames* names, uint64_t reader_version,
                      size_t pending) {
  std::string out =
      "{\"router\":" + Num(t.router) + ",\"letter\":" + Str(std::string(1, t.letter)) +
      ",\"sources\":" + Num(t.sources) + ",\"destinations\":" + Num(t.destinations) +
      ",\"min_dest\":" + Num(t.min_dest) + ",\"max_dest\":" + Num(t.max_dest) +
      ",\"park_source\":" + Num(t.park_source) + ",\"park_name\":" + Str(Trim(t.park_name));
  out.reserve(out.size() + t.source.size() * 16);
  AppendColumn(out, "source", t.source);
  AppendColumn(out, "lock", t.lock);
  AppendColumn(out, "mc1000_lock", t.mc1000_lock);
  const uint64_t version = names != nullptr ? names->version : 0;
  out += ",\"names_version\":" + Num(static_cast<int64_t>(version)) +
         ",\"names_pending\":" + Num(static_cast<int64_t>(pending));
  if (names != nullptr && version != reader_version) {
    out += ",\"names\":{\"destinations\":";
    AppendNames(out, names->destinations);
    out += ",\"sources\":";
    AppendNames(out, names->sources);
    out += '}';
  }
  return out + "}";
}

}  // namespace

std::optional<HttpResponse> PageFile(const std::string& path) {
  for (const PageFileSpec& f : kPageFiles) {
    const std::string_view p = f.path;
    const bool match = p == "/driver/" ? DriverInPath(path, "/driver/") > 0 : path == p;
    if (!match) continue;
    const std::string& body = Content(f.resource);
    if (body.empty()) return std::nullopt;
    HttpResponse r;
    r.content_type = f.type;
    r.body = body;
    if (f.page) r.headers.emplace_back("Content-Security-Policy", kPageSecurityPolicy);
    return r;
  }
  return std::nullopt;
}

int DriverInPath(const std::string& path, const std::string& prefix) {
  if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return 0;
  const std::string rest = path.substr(prefix.size());
  if (rest.empty() || rest[0] == '-') return 0;
  long long n = 0;
  return ParseInt(rest, 1, 65535, &n) ? static_cast<int>(n) : 0;
}

bool ParseDriverQuery(const HttpRequest& request, DriverQuery* query) {
  long long n = 0;
  const std::string router = request.Arg("router");
  if (!router.empty()) {
    if (!ParseInt(router, 1, 65535, &n)) return false;
    query->router = static_cast<int>(n);
  }
  const std::string names = request.Arg("names");
  if (!names.empty()) {
    if (!ParseInt(names, 0, 1LL << 53, &n)) return false;
    query->names_version = static_cast<uint64_t>(n);
  }
  return true;
}

HttpResponse StatusJson(const Survey& survey) {
  std::string out = "{\"bus\":";
  out += survey.bus ? "true" : "false";
  out += ",\"drivers\":[";
  for (size_t i = 0; i < survey.drivers.size(); ++i) {
    if (i > 0) out += ',';
    out += DriverSummary(survey.drivers[i]) + "}";
  }
  return Json(200, out + "]}");
}

HttpResponse DriverJson(const Survey& reading, int driver, const DriverQuery& query,
                        DriverSurvey& survey) {
  const DriverReading* d = Find(reading, driver);
  std::string head = "{\"bus\":";
  head += reading.bus ? "true" : "false";
  if (d == nullptr) {
    return Json(404, head + ",\"driver\":" + Num(driver) + ",\"error\":" +
                         Str("no driver " + Num(driver) + " has been heard from") + "}");
  }
  std::string out = head + ",\"driver\":" + DriverSummary(*d);
  if (d->up) out += ",\"counters\":" + CountersJson(d->counters);
  out += '}';
  auto t = d->tables.find(query.router);
  if (t != d->tables.end()) {
    const RouterTable& table = t->second;
    // The names the answer lacks are asked for now and come with a later one.
    // Every destination's name; every source's too when there are no more sources than a
    // table has destinations (so that a new route shows its name at once), else those routed.
    survey.WantNames(table.router, 1, 1, table.destinations);
    if (table.sources <= xarvel::kTableDests) {
      survey.WantNames(table.router, 0, 1, table.sources);
    } else {
      std::set<int> routed;
      for (const int source : table.source) {
        if (source >= 1 && source <= table.sources) routed.insert(source);
      }
      for (const int source : routed) survey.WantName(table.router, 0, source);
    }
    out += ",\"table\":" + TableJson(table, survey.Names(table.router), query.names_version,
                                     survey.names_pending());
  } else {
    out += ",\"table\":null";
  }
  return Json(200, out + "}");
}

}  // namespace kirn
