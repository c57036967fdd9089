// What a survey reads of a driver beyond its counters, from the driver's answers: its status
// panel (kPanelStatus) and one router's tables (kPanelTable, core/remote_panel.h), and the names
// of a router's sources and destinations as the control-system interface gives them. The page
// and its JSON show them.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kirn {

// The status panel: the dialog's fields by key, in the order sent, and its router rows.
struct PanelStatus {
  struct Router {
    std::string letter, device, sources, destinations, offsets;
  };
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<Router> routers;
  bool empty() const { return fields.empty(); }
};

// Reads a kPanelStatus answer; lines that do not read so are skipped.
PanelStatus ParsePanelStatus(std::string_view text);

// One router's tables, destination 1 at index 0.
struct RouterTable {
  int router = 0;  // device id
  char letter = '?';
  int sources = 0;
  int destinations = 0;
  int min_dest = 0;
  int max_dest = 0;
  int park_source = 0;
  std::string park_name;
  std::vector<int> source;  // the tally; 65535 none known, -1 no table
  std::vector<int> lock;
  std::vector<int> mc1000_lock;
};

// Reads one page of a kPanelTable answer into `table` (its destination lines go to their places;
// the first page also sets the head). Returns the `next` destination of the page (0: the table
// is whole), or -1 when the page is not a complete answer (no end line, a line out of order).
int ParseTablePage(std::string_view text, RouterTable* table);

// Names of one router's sources and destinations, as the interface answers its look-ups.
struct RouterNames {
  struct Name {
    std::string text;
    std::chrono::steady_clock::time_point read;
    // The interface has answered for this entry at least once (an empty name is a name too).
    bool answered = false;
    // The interface has said that it changed since it was read: it is read again when wanted.
    bool stale = false;
  };
  std::map<int, Name> sources;       // by source number
  std::map<int, Name> destinations;  // by destination number
  // Changes whenever a name is first read or reads differently.
  uint64_t version = 0;
};

}  // namespace kirn
