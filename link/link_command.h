// A controller command on its way through the link supervisor, and who asked for it.
#pragma once

#include <cstdint>
#include <string>

namespace xarvel {

// A route of the control system that a controller command carries out: its device id,
// destination and source as the control system gave them (device 0: the command is no route).
struct RouteOrigin {
  int device = 0;
  int dest = 0;
  int source = 0;
};

// Who asked for a command. Only commands of the control system are counted and traced when they
// are given up; the driver's own poll and resync interrogates are simply not asked again.
enum class Asker : int {
  kControl = 0,  // the control system (routes, its polls, names, locks)
  kPoll,         // the status dialog's poll of one destination per tick
  kResync,       // the resync walk after a connect or a return of the link
};

// What the link supervisor knows of a command besides its text.
struct CommandOrigin {
  RouteOrigin route;
  Asker asker = Asker::kControl;
};

// One controller command on its way: waiting in the send queue, or written and (for the
// commands a route report answers) awaiting that answer.
struct LinkCommand {
  std::string text;  // with its carriage return
  CommandOrigin origin;
  // 'S' for a route, 'I' for an interrogate: both are answered by a route report entry and take
  // a slot of the window while they await it. 0 for every other command (lock, lock
  // interrogate, name), which nothing the driver can match answers.
  char answered_as = 0;
  int level = -1;       // router index of the level letter
  int dest = -1;        // controller destination
  int source = -1;      // controller source of a route
  int64_t sent_us = 0;  // steady-clock microseconds of the (last) write
  int64_t due_us = 0;   // steady-clock microseconds by which its answer is due
  int tries = 0;        // connections it has been written to

  bool answered_by_report() const { return answered_as != 0; }
  bool is_route() const { return answered_as == 'S' || origin.route.device > 0; }
  bool own() const { return origin.asker != Asker::kControl; }
};

// Reads the level, controller destination and (for a route) source of a route (".S") or
// interrogate (".I") command into `c`; leaves it unanswerable for every other command.
void ClassifyCommand(LinkCommand& c);

}  // namespace xarvel
