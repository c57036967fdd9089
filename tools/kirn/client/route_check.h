// What a salvo's route commands did: a route command is confirmed when, after its delivery, a
// revertive of its destination names the source it asked for. The numbers of a command are
// read as the driver reads them, with the driver's own field reading (its status panel).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kirn {

// How a driver reads the numbers of a route command, and the size of each of its routers.
struct RouteReading {
  struct Router {
    int device = 0;
    int sources = 0;
    int dests = 0;
  };
  bool source_to_dest = false;
  bool dest_to_source = false;
  int park_source = 0;
  std::vector<Router> routers;  // in the driver's order

  // Reads the text of a status panel answer (core/remote_panel.h). False when it does not say
  // how the driver reads route commands.
  bool Parse(std::string_view panel);
};

class RouteCheck {
 public:
  explicit RouteCheck(RouteReading reading) : reading_(std::move(reading)) {}

  // True for a text the driver takes as a route command.
  static bool IsRouteCommand(std::string_view text);

  // Notes a route command about to be delivered (before, so that a revertive that comes while
  // it is delivered counts). Returns the device whose revertives confirm it.
  int Add(std::string_view text);
  // The command added last was not delivered after all.
  void Withdraw();
  // A revertive or query reply text, "RR <device> <destination> <source>".
  void Revertive(std::string_view text);

  size_t commands() const { return commands_.size(); }
  // The route commands not confirmed, in the order they were delivered.
  std::vector<std::string> Unconfirmed() const;

 private:
  struct Command {
    std::string text;
    size_t routes = 0;  // routes asked for
    size_t confirmed = 0;
  };
  // An asked route not yet confirmed: (command index, source) by (device, destination).
  using Key = std::pair<int, int>;

  RouteReading reading_;
  std::vector<Command> commands_;
  std::map<Key, std::vector<std::pair<size_t, int>>> waiting_;
};

}  // namespace kirn
