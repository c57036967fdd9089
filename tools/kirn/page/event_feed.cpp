#include "tools/kirn/page/event_feed.h"

#include <QJsonObject>
#include <cstdio>
#include <utility>

#include "tools/kirn/common/json_text.h"

namespace kirn {
namespace {

// What a survey tells of a driver's link, as the stream's "link" event carries it.
std::string LinkJson(const DriverReading& d) {
  QJsonObject o{{"driver", d.driver}, {"up", d.up}};
  if (d.up) {
    for (const char* name : {"comms_state", "active_controller", "connection_mode", "simulation"}) {
      o.insert(name, static_cast<qint64>(d.counters.Get(name)));
    }
    QJsonObject link_up;
    for (const xarvel::CounterLine& line : d.counters.lines) {
      if (line.name != "link_up" || line.labels.size() != 1) continue;
      link_up.insert(JsonText(line.labels[0].second).toString(), static_cast<qint64>(line.value));
    }
    o.insert("link_up", link_up);
  }
  return JsonBytes(o, true);
}

}  // namespace

std::string StreamFigures(const EventStreams& hub) {
  return "# HELP xarvel_exporter_event_streams Event streams (/api/events) open.\n"
         "# TYPE xarvel_exporter_event_streams gauge\n"
         "xarvel_exporter_event_streams " +
         std::to_string(hub.open()) +
         "\n# HELP xarvel_exporter_event_streams_behind_total Event streams closed for falling "
         "too far behind.\n"
         "# TYPE xarvel_exporter_event_streams_behind_total counter\n"
         "xarvel_exporter_event_streams_behind_total " +
         std::to_string(hub.closed_behind()) + "\n";
}

void EventFeed::Attach(DriverSurvey& survey) {
  DriverSurvey::Follower follower;
  follower.line = [this](std::string_view line) { Line(line); };
  follower.watching = [this] { hub_.Reset(); };
  follower.lost = [this](int64_t) { hub_.Reset(); };
  follower.bus_lost = [this] { hub_.Reset(); };
  follower.link = [this](const DriverReading& d) { Link(d); };
  survey.Follow(std::move(follower));
}

int EventFeed::DriverOf(int device) const {
  auto it = driver_of_.find(device);
  return it == driver_of_.end() ? 0 : it->second;
}

void EventFeed::Line(std::string_view line) {
  const std::string copy(line.substr(0, 127));
  int param = 0;
  int device = 0;
  int dest = 0;
  int source = 0;
  int mode = 0;
  char kind[4] = "";
  if (std::sscanf(copy.c_str(), "%3s %d RR %d %d %d", kind, &param, &device, &dest, &source) == 5 &&
      (std::string_view(kind) == "REV" || std::string_view(kind) == "QRY")) {
    const int driver = DriverOf(device);
    hub_.Publish(
        "route", driver, device,
        JsonBytes(QJsonObject{
            {"driver", driver}, {"router", device}, {"destination", dest}, {"source", source}}));
  } else if (std::sscanf(copy.c_str(), "MODE %d %d", &device, &mode) == 2) {
    const int driver = DriverOf(device);
    if (driver != 0) last_mode_[driver] = mode;
    hub_.Publish("mode", driver, driver != 0 ? 0 : device,
                 JsonBytes(QJsonObject{{"driver", driver}, {"device", device}, {"mode", mode}}));
  }
}

void EventFeed::Surveyed(const Survey& survey) {
  for (const DriverReading& d : survey.drivers) Link(d);
}

void EventFeed::Link(const DriverReading& d) {
  if (d.driver == 0 || d.conflict) return;
  for (int router : d.routers) driver_of_[router] = d.driver;
  std::string link = LinkJson(d);
  auto known = last_link_.find(d.driver);
  if (known != last_link_.end() && known->second != link) {
    hub_.Publish("link", d.driver, 0, link);
  }
  last_link_[d.driver] = std::move(link);
  if (!d.up) return;
  const int64_t mode = d.counters.Get("interface_mode");
  auto was = last_mode_.find(d.driver);
  if (was != last_mode_.end() && was->second != mode) {
    hub_.Publish("mode", d.driver, 0,
                 JsonBytes(QJsonObject{
                     {"driver", d.driver}, {"device", 0}, {"mode", static_cast<qint64>(mode)}}));
  }
  last_mode_[d.driver] = mode;
}

}  // namespace kirn
