// What the event streams (event_streams.h) carry, made from what the survey of the drivers
// brings: every route and mode assertion the interface relays, and every driver's link news
// (its link and mode changes, which the relays do not tell), as they come; and from each survey
// what changed unannounced (a driver gone or not answering). Main thread only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "tools/kirn/page/event_streams.h"
#include "tools/kirn/survey/driver_survey.h"

namespace kirn {

class EventFeed {
 public:
  explicit EventFeed(EventStreams& hub) : hub_(hub) {}
  EventFeed(const EventFeed&) = delete;
  EventFeed& operator=(const EventFeed&) = delete;

  // Installs itself as a follower of `survey`'s relays. Lines may have been missed before a
  // watch was (again) made, or when relays were lost: no stream goes on across that, and none
  // resumes; their clients come back for a snapshot.
  void Attach(DriverSurvey& survey);
  // A relayed line of the interface: a revertive or query reply becomes a "route" event, a mode
  // assertion a "mode" event.
  void Line(std::string_view line);
  // A survey ended: the drivers' link and mode changes not yet told become "link" and "mode"
  // events, and it says which driver each router belongs to.
  void Surveyed(const Survey& survey);
  // A driver's link news: as a driver of a survey.
  void Link(const DriverReading& driver);

 private:
  // The driver of router `device` as the surveys tell it; 0 while none has.
  int DriverOf(int device) const;

  EventStreams& hub_;
  std::map<int, int> driver_of_;  // router device -> driver number
  std::map<int, std::string> last_link_;
  std::map<int, int64_t> last_mode_;
};

// The exporter's own figures of its event streams (exposition lines).
std::string StreamFigures(const EventStreams& hub);

}  // namespace kirn
