#include "tools/kirn/page/page.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
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
  bool page;  // an HTML page or the shared worker (which opens the event stream): the pages' policy
};
constexpr PageFileSpec kPageFiles[] = {
    {"/", ":/page/index.html", "text/html; charset=utf-8", true},
    {"/driver/", ":/page/driver.html", "text/html; charset=utf-8", true},
    {"/page/page.css", ":/page/page.css", "text/css; charset=utf-8", false},
    {"/page/common.js", ":/page/common.js", "text/javascript; charset=utf-8", false},
    {"/page/overview.js", ":/page/overview.js", "text/javascript; charset=utf-8", false},
    {"/page/driver.js", ":/page/driver.js", "text/javascript; charset=utf-8", false},
    {"/page/events.js", ":/page/events.js", "text/javascript; charset=utf-8", true},
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

HttpResponse Json(int status, const QJsonObject& object) {
  HttpResponse r;
  r.status = status;
  r.content_type = "application/json; charset=utf-8";
  r.body = JsonBytes(object, true);
  r.body += '\n';
  return r;
}

std::string Trim(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return std::string(text);
}

int64_t Total(const xarvel::PanelCounters& c, std::string_view name) {
  int64_t sum = 0;
  for (const xarvel::CounterLine& line : c.lines) {
    if (line.name == name) sum += line.value;
  }
  return sum;
}

QJsonArray Numbers(const std::vector<int>& values) {
  QJsonArray out;
  for (const int v : values) out.append(v);
  return out;
}

// One driver at a glance: what the overview shows and /api/driver/N begins with.
QJsonObject DriverSummary(const DriverReading& d) {
  QJsonObject out;
  out.insert("driver", d.driver > 0 ? QJsonValue(d.driver) : QJsonValue(QJsonValue::Null));
  out.insert("up", d.up);
  out.insert("routers", Numbers(d.routers));
  if (d.conflict) out.insert("conflict", true);
  if (!d.up) return out;
  const xarvel::PanelCounters& c = d.counters;
  if (d.status.empty()) {
    out.insert("panel", QJsonValue(QJsonValue::Null));
  } else {
    QJsonObject panel;
    for (const auto& [key, value] : d.status.fields) {
      panel.insert(JsonText(key).toString(), JsonText(Trim(value)));
    }
    out.insert("panel", panel);
    QJsonArray table;
    for (const PanelStatus::Router& r : d.status.routers) {
      table.append(QJsonObject{{"letter", JsonText(r.letter)},
                               {"device", JsonText(r.device)},
                               {"sources", JsonText(r.sources)},
                               {"destinations", JsonText(r.destinations)},
                               {"offsets", JsonText(r.offsets)}});
    }
    out.insert("router_table", table);
  }
  const char* figures[] = {"interface_mode", "comms_state",  "active_controller", "connection_mode",
                           "simulation",     "queue_depth",  "outstanding",       "now_ms",
                           "start_time_ms",  "last_drop_ms", "last_save_ms",      "save_failed"};
  for (const char* name : figures) out.insert(name, static_cast<qint64>(c.Get(name)));
  QJsonObject link_up;
  for (const xarvel::CounterLine& line : c.lines) {
    if (line.name != "link_up" || line.labels.size() != 1) continue;
    link_up.insert(JsonText(line.labels[0].second).toString(), static_cast<qint64>(line.value));
  }
  out.insert("link_up", link_up);
  out.insert("routes", static_cast<qint64>(Total(c, "routes")));
  out.insert("refused", static_cast<qint64>(Total(c, "routes_refused")));
  out.insert("refused_by_controller", static_cast<qint64>(Total(c, "refused_by_controller")));
  out.insert("dropped", static_cast<qint64>(Total(c, "commands_dropped")));
  return out;
}

const DriverReading* Find(const Survey& s, int driver) {
  for (const DriverReading& d : s.drivers) {
    if (d.driver == driver) return &d;
  }
  return nullptr;
}

// Names in their encoding: UTF-8 when they are, else Windows-1252.
QJsonObject NamesObject(const std::map<int, RouterNames::Name>& names) {
  QJsonObject out;
  for (const auto& [entry, name] : names) {
    if (!name.text.empty()) out.insert(QString::number(entry), JsonText(name.text));
  }
  return out;
}

QJsonObject TableObject(const RouterTable& t, const RouterNames* names, uint64_t reader_version,
                        size_t pending) {
  QJsonObject out{{"router", t.router},
                  {"letter", JsonText(std::string(1, t.letter))},
                  {"sources", t.sources},
                  {"destinations", t.destinations},
                  {"min_dest", t.min_dest},
                  {"max_dest", t.max_dest},
                  {"park_source", t.park_source},
                  {"park_name", JsonText(Trim(t.park_name))},
                  {"source", Numbers(t.source)},
                  {"lock", Numbers(t.lock)},
                  {"mc1000_lock", Numbers(t.mc1000_lock)}};
  const uint64_t version = names != nullptr ? names->version : 0;
  out.insert("names_version", static_cast<qint64>(version));
  out.insert("names_pending", static_cast<qint64>(pending));
  if (names != nullptr && version != reader_version) {
    out.insert("names", QJsonObject{{"destinations", NamesObject(names->destinations)},
                                    {"sources", NamesObject(names->sources)}});
  }
  return out;
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
  QJsonArray drivers;
  for (const DriverReading& d : survey.drivers) drivers.append(DriverSummary(d));
  return Json(200, QJsonObject{{"bus", survey.bus}, {"drivers", drivers}});
}

HttpResponse DriverJson(const Survey& reading, int driver, const DriverQuery& query,
                        DriverSurvey& survey) {
  const DriverReading* d = Find(reading, driver);
  QJsonObject out{{"bus", reading.bus}};
  if (d == nullptr) {
    out.insert("driver", driver);
    out.insert("error", "no driver " + QString::number(driver) + " has been heard from");
    return Json(404, out);
  }
  QJsonObject summary = DriverSummary(*d);
  if (d->up) summary.insert("counters", CountersObject(d->counters));
  out.insert("driver", summary);
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
    out.insert("table", TableObject(table, survey.Names(table.router), query.names_version,
                                    survey.names_pending()));
  } else {
    out.insert("table", QJsonValue(QJsonValue::Null));
  }
  return Json(200, out);
}

}  // namespace kirn
