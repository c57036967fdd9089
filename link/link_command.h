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
// are given up; the driver's own interrogates are simply not asked again.
enum class Asker : int {
  kControl = 0,  // the control system (routes, its polls, names, locks)
  kPoll,         // the status dialog's poll of one destination per tick
  kResync,       // the resync walk after a connect or a return of the link
  kProbe,        // the link's probe: a live controller can always show that it is alive
  kRecheck,      // a destination asked again after the controller refused a route to it; the
                 // control system is owed one revertive of it (origin.route names it)
};

// What the link supervisor knows of a command besides its text.
struct CommandOrigin {
  RouteOrigin route;
  Asker asker = Asker::kControl;
};

// One controller command on its way: waiting in the send queue, or written and awaiting its
// answer.
struct LinkCommand {
  std::string text;  // with its carriage return
  CommandOrigin origin;
  // What answers it. 'S' a route and 'I' an interrogate: a route report entry answers them, and
  // they take a slot of the window while they await it. 'B' a lock, unlock or lock interrogate:
  // a lock status of its number. 'W' a name: a name acknowledgement. 0 anything else. A bare
  // acknowledgement answers whichever is the oldest one awaiting its answer.
  char answered_as = 0;
  int level = -1;       // router index of the level letter
  int dest = -1;        // controller destination (the lock number of a lock command)
  int source = -1;      // controller source of a route
  int64_t sent_us = 0;  // steady-clock microseconds of the (last) write
  uint64_t seq = 0;     // order of the (last) write on the link
  int64_t due_us = 0;   // steady-clock microseconds by which its answer is due
  // From when it may be taken as passed over: its due time, brought forward to the moment a
  // report named its crosspoint with another source (0: not brought forward).
  int64_t looked_at_us = 0;
  int tries = 0;  // connections it has been written to

  bool takes_slot() const { return answered_as == 'S' || answered_as == 'I'; }
  bool is_route() const {
    return answered_as == 'S' || (origin.route.device > 0 && origin.asker == Asker::kControl);
  }
  bool own() const { return origin.asker != Asker::kControl; }
};

// Reads what answers `c` (a route ".S", an interrogate ".I", a lock command ".BI", ".BL", ".BU",
// a name ".W"), with the level, controller destination (or lock number) and source it names;
// leaves it unanswerable for every other command.
void ClassifyCommand(LinkCommand& c);

}  // namespace xarvel
