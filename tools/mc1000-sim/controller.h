// The controller's command language: splitting the received byte stream into commands, and
// executing one command against the router state to produce the replies.
//
// Commands (every one starts with '.' and ends with a carriage return):
//   .S<L><dest>,<src>   route; the new tally is reported to every connection as .U<L><dest>,<src>
//   .I<L><dest>         interrogate; answered to the asker as .A<L><dest>,<src>
//   .BI<n>              lock interrogate; answered to the asker as .BA<n>,<status>
//   .BL<n> / .BU<n>     lock (status 255) / unlock (status 0); reported to every connection as
//                       .BA<n>,<status>
//   .WS/.WT<n>,<name>   write a short / long source name; answered to the asker as .RA<kind><n>
//   .WD/.WE<n>,<name>   write a short / long destination name; likewise
// A route to a destination whose lock status is not 0, or from a source the router does not
// have, is refused: answered (as Behaviour::refuse_with says) with the unchanged crosspoint
// .U<L><dest>,<src>, the bare acknowledgement ".A" or nothing, to the asker, and nothing changes.
// Anything else, and a command naming a level or destination outside the router, is answered
// with the bare acknowledgement ".A" (or, with Behaviour::ignore_beyond, a destination beyond the
// router with nothing) and changes nothing.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/mc1000-sim/router_state.h"

namespace mc1000sim {

// Status a lock command stores and reports.
constexpr int kLockedStatus = 255;

// How numbers are written in replies: at least `pad` digits, zero-filled (0 = no padding).
struct ReplyFormat {
  int pad = 0;
};

// How a refused route is answered.
enum class RefuseWith { kReport, kAck, kNone };

// How the controller answers where controllers differ.
struct Behaviour {
  RefuseWith refuse_with = RefuseWith::kReport;
  bool u_answers = false;      // interrogates answered with ".U" instead of ".A"
  bool ignore_beyond = false;  // no answer at all to a destination beyond the router
};

// "report", "ack", "none"; false for anything else.
bool ParseRefuseWith(std::string_view text, RefuseWith* out);
const char* RefuseWithName(RefuseWith r);

// What one command produces. Each text is a complete reply with its carriage return, or empty.
struct Outcome {
  std::string to_sender;  // for the connection that sent the command
  std::string to_all;     // for every connection, the sender's included
  std::string note;       // what was done, for the log ("route", "unknown command", ...)
};

// Executes one command. `command` is the text from '.' up to, not including, its terminator.
Outcome Execute(RouterState& state, std::string_view command, const ReplyFormat& format,
                const Behaviour& behaviour = {});

// True when Execute would switch a crosspoint for `command` (a well-formed route within the
// router to an unlocked destination): the one command that costs the controller execution time.
bool IsRoute(const RouterState& state, std::string_view command);

// The route report of one tally: ".U<level><dest>,<source>\r".
std::string RouteReport(char level, int dest, int source, const ReplyFormat& format);
// The lock status report: ".BA<dest>,<status>\r".
std::string LockReport(int dest, int status, const ReplyFormat& format);

// Reads a decimal number of 1..6 digits (leading zeros allowed) at text[*pos], advancing *pos.
// Returns false, leaving *pos alone, when there is no digit or the number is too long.
bool ReadNumber(std::string_view text, size_t* pos, long* value);

// Splits a byte stream into commands. A command is the text from a '.' through the next carriage
// return; a line feed also ends one, so an operator can type commands with a terminal tool.
// Bytes outside commands are collected and reported as ignored text when a terminator or the
// next '.' ends them. A command that reaches kMaxCommand bytes without a terminator is reported
// as ignored, and everything up to the next terminator is skipped, so no buffer grows without
// bound.
class CommandFramer {
 public:
  static constexpr size_t kMaxCommand = 255;
  // Ignored text is kept for the log up to this many bytes; the rest is counted only.
  static constexpr size_t kMaxIgnoredKept = 64;

  struct Item {
    bool command = false;  // true: a command; false: ignored bytes
    std::string text;      // the command with its terminator, or the ignored bytes (cut)
    size_t length = 0;     // number of bytes the item covers
  };

  // Appends the items completed by `bytes` to `out`.
  void Feed(std::string_view bytes, std::vector<Item>* out);

 private:
  enum class Mode { kOutside, kCommand, kSkipping };
  void FlushIgnored(std::vector<Item>* out);
  void Ignore(char c);

  Mode mode_ = Mode::kOutside;
  std::string command_;
  std::string ignored_;
  size_t ignored_length_ = 0;
};

}  // namespace mc1000sim
