// The lines of a driver's counters answer (core/panel_counters.h) that the readers of a survey
// take, with the labels each carries, and the vetting that makes an answer safe to pass on
// whatever the driver said. The survey vets every answer before anyone reads it, so the
// exposition, the page and any later reader see the same lines.
#pragma once

#include <string_view>
#include <vector>

#include "core/panel_counters.h"

namespace kirn {

// A documented line: its name and its labels in order (none for most).
struct CounterLineSpec {
  const char* name;
  std::vector<std::string_view> labels;
};

// Every line the exposition exposes (each of its families' lines, and the latency histogram's
// buckets); a line named here with other labels is dropped. A family added to the exposition
// is added here too.
const std::vector<CounterLineSpec>& DocumentedCounterLines();

// Makes a driver's counters answer safe to expose, whatever the driver said: drops the lines
// whose labels are not the documented ones of their name (in order), whose bucket bound is not
// a number, or that repeat an earlier line's name and labels; label values become valid UTF-8
// without control characters. Returns the lines dropped, the malformed ones of the parse
// included.
int DropBadLines(xarvel::PanelCounters* counters);

}  // namespace kirn
