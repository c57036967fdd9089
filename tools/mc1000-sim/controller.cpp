#include "tools/mc1000-sim/controller.h"

#include <cstdio>

namespace mc1000sim {
namespace {

constexpr size_t kMaxDigits = 6;

std::string Number(long n, const ReplyFormat& format) {
  char text[32];
  std::snprintf(text, sizeof text, "%0*ld", format.pad, n);
  return text;
}

Outcome Acknowledge(const char* note) {
  Outcome o;
  o.to_sender = ".A\r";
  o.note = note;
  return o;
}

// ".S<L><dest>,<src>" and ".I<L><dest>": the level letter and numbers after the two characters.
struct LevelCommand {
  char level = 0;
  long dest = 0;
  long source = 0;
};

bool ParseLevelCommand(std::string_view text, bool with_source, LevelCommand* out) {
  if (text.size() < 3) return false;
  out->level = text[2];
  if (out->level < 'A' || out->level > 'Z') return false;
  size_t pos = 3;
  if (!ReadNumber(text, &pos, &out->dest)) return false;
  if (with_source) {
    if (pos >= text.size() || text[pos] != ',') return false;
    ++pos;
    if (!ReadNumber(text, &pos, &out->source)) return false;
  }
  return pos == text.size();
}

// ".BI<n>", ".BL<n>", ".BU<n>": one number after the three characters and nothing else.
bool ParseLockNumber(std::string_view text, long* n) {
  size_t pos = 3;
  return ReadNumber(text, &pos, n) && pos == text.size();
}

bool RouteInRange(const RouterState& state, const LevelCommand& c) {
  return state.IsLevel(c.level) && state.IsDest(c.dest) && state.IsSource(c.source);
}

// A destination beyond the router: acknowledged, or with ignore_beyond not answered at all.
Outcome Beyond(const Behaviour& behaviour, const char* note) {
  if (!behaviour.ignore_beyond) return Acknowledge(note);
  Outcome o;
  o.note = std::string(note) + ", not answered";
  return o;
}

// A route the controller will not make, answered as the behaviour says.
Outcome Refuse(const RouterState& state, const LevelCommand& c, const ReplyFormat& format,
               const Behaviour& behaviour, const char* why) {
  Outcome o;
  o.note = std::string("refused (") + why + ")";
  switch (behaviour.refuse_with) {
    case RefuseWith::kReport:
      o.to_sender = RouteReport(c.level, static_cast<int>(c.dest),
                                state.Tally(c.level, static_cast<int>(c.dest)), format);
      break;
    case RefuseWith::kAck:
      o.to_sender = ".A\r";
      break;
    case RefuseWith::kNone:
      break;
  }
  return o;
}

Outcome Route(RouterState& state, std::string_view text, const ReplyFormat& format,
              const Behaviour& behaviour) {
  LevelCommand c;
  if (!ParseLevelCommand(text, true, &c)) return Acknowledge("malformed route");
  if (!state.IsLevel(c.level)) return Acknowledge("route out of range");
  if (!state.IsDest(c.dest)) return Beyond(behaviour, "route beyond the router");
  if (!state.IsSource(c.source)) return Refuse(state, c, format, behaviour, "no such source");
  if (state.Lock(static_cast<int>(c.dest)) != 0) {
    return Refuse(state, c, format, behaviour, "locked");
  }
  const int dest = static_cast<int>(c.dest);
  const int source = static_cast<int>(c.source);
  state.SetTally(c.level, dest, source);
  Outcome o;
  o.to_all = RouteReport(c.level, dest, source, format);
  o.note = "route";
  return o;
}

Outcome Interrogate(const RouterState& state, std::string_view text, const ReplyFormat& format,
                    const Behaviour& behaviour) {
  LevelCommand c;
  if (!ParseLevelCommand(text, false, &c)) return Acknowledge("malformed interrogate");
  if (!state.IsLevel(c.level)) return Acknowledge("interrogate out of range");
  if (!state.IsDest(c.dest)) return Beyond(behaviour, "interrogate beyond the router");
  const int dest = static_cast<int>(c.dest);
  Outcome o;
  o.to_sender = std::string(behaviour.u_answers ? ".U" : ".A") + c.level + Number(dest, format) +
                "," + Number(state.Tally(c.level, dest), format) + "\r";
  o.note = "interrogate";
  return o;
}

Outcome LockCommand(RouterState& state, std::string_view text, const ReplyFormat& format,
                    const Behaviour& behaviour) {
  long n = 0;
  if (!ParseLockNumber(text, &n)) return Acknowledge("malformed lock command");
  if (!state.IsDest(n)) return Beyond(behaviour, "lock number beyond the router");
  const int dest = static_cast<int>(n);
  Outcome o;
  switch (text[2]) {
    case 'I':
      o.to_sender = LockReport(dest, state.Lock(dest), format);
      o.note = "lock interrogate";
      return o;
    case 'L':
      state.SetLock(dest, kLockedStatus);
      o.note = "lock";
      break;
    default:
      state.SetLock(dest, 0);
      o.note = "unlock";
      break;
  }
  // A lock change concerns every party watching the controller, as a route does.
  o.to_all = LockReport(dest, state.Lock(dest), format);
  return o;
}

Outcome WriteName(RouterState& state, std::string_view text, const ReplyFormat& format) {
  NameKind kind;
  switch (text[2]) {
    case 'S':
      kind = NameKind::kSourceShort;
      break;
    case 'T':
      kind = NameKind::kSourceLong;
      break;
    case 'D':
      kind = NameKind::kDestShort;
      break;
    default:
      kind = NameKind::kDestLong;
      break;
  }
  size_t pos = 3;
  long n = 0;
  if (!ReadNumber(text, &pos, &n) || pos >= text.size() || text[pos] != ',') {
    return Acknowledge("malformed name write");
  }
  if (!state.IsNameNumber(kind, n)) return Acknowledge("name number out of range");
  // The name is everything after the first comma, commas and blanks included.
  state.SetName(kind, static_cast<int>(n), std::string(text.substr(pos + 1)));
  Outcome o;
  o.to_sender = std::string(".RA") + text[2] + Number(n, format) + "\r";
  o.note = "name";
  return o;
}

}  // namespace

bool ReadNumber(std::string_view text, size_t* pos, long* value) {
  size_t p = *pos;
  long v = 0;
  while (p < text.size() && text[p] >= '0' && text[p] <= '9') {
    if (p - *pos == kMaxDigits) return false;
    v = v * 10 + (text[p] - '0');
    ++p;
  }
  if (p == *pos) return false;
  *pos = p;
  *value = v;
  return true;
}

std::string RouteReport(char level, int dest, int source, const ReplyFormat& format) {
  return std::string(".U") + level + Number(dest, format) + "," + Number(source, format) + "\r";
}

std::string LockReport(int dest, int status, const ReplyFormat& format) {
  return ".BA" + Number(dest, format) + "," + Number(status, format) + "\r";
}

bool ParseRefuseWith(std::string_view text, RefuseWith* out) {
  if (text == "report") {
    *out = RefuseWith::kReport;
  } else if (text == "ack") {
    *out = RefuseWith::kAck;
  } else if (text == "none") {
    *out = RefuseWith::kNone;
  } else {
    return false;
  }
  return true;
}

const char* RefuseWithName(RefuseWith r) {
  switch (r) {
    case RefuseWith::kReport:
      return "report";
    case RefuseWith::kAck:
      return "ack";
    default:
      return "none";
  }
}

bool IsRoute(const RouterState& state, std::string_view command) {
  LevelCommand c;
  return command.size() >= 2 && command[0] == '.' && command[1] == 'S' &&
         ParseLevelCommand(command, true, &c) && RouteInRange(state, c) &&
         state.Lock(static_cast<int>(c.dest)) == 0;
}

Outcome Execute(RouterState& state, std::string_view command, const ReplyFormat& format,
                const Behaviour& behaviour) {
  if (command.size() >= 2 && command[0] == '.') {
    const char c1 = command[1];
    const char c2 = command.size() >= 3 ? command[2] : '\0';
    if (c1 == 'S') return Route(state, command, format, behaviour);
    if (c1 == 'I') return Interrogate(state, command, format, behaviour);
    if (c1 == 'B' && (c2 == 'I' || c2 == 'L' || c2 == 'U')) {
      return LockCommand(state, command, format, behaviour);
    }
    if (c1 == 'W' && (c2 == 'S' || c2 == 'T' || c2 == 'D' || c2 == 'E')) {
      return WriteName(state, command, format);
    }
  }
  return Acknowledge("unknown command");
}

void CommandFramer::Ignore(char c) {
  if (ignored_.size() < kMaxIgnoredKept) ignored_.push_back(c);
  ++ignored_length_;
}

void CommandFramer::FlushIgnored(std::vector<Item>* out) {
  if (ignored_length_ == 0) return;
  const size_t length = ignored_length_;
  out->push_back(Item{false, std::move(ignored_), length});
  ignored_.clear();
  ignored_length_ = 0;
}

void CommandFramer::Feed(std::string_view bytes, std::vector<Item>* out) {
  for (const char c : bytes) {
    const bool terminator = c == '\r' || c == '\n';
    switch (mode_) {
      case Mode::kOutside:
        if (c == '.') {
          FlushIgnored(out);
          command_.assign(1, c);
          mode_ = Mode::kCommand;
        } else if (terminator) {
          // A lone line feed after a carriage return is the usual line ending, not noise.
          if (c == '\r' || ignored_length_ > 0) Ignore(c);
          FlushIgnored(out);
        } else {
          Ignore(c);
        }
        break;
      case Mode::kCommand:
        command_.push_back(c);
        if (terminator) {
          const size_t length = command_.size();
          out->push_back(Item{true, std::move(command_), length});
          command_.clear();
          mode_ = Mode::kOutside;
        } else if (command_.size() >= kMaxCommand) {
          for (const char k : command_) Ignore(k);
          command_.clear();
          mode_ = Mode::kSkipping;
        }
        break;
      case Mode::kSkipping:
        Ignore(c);
        if (terminator) {
          FlushIgnored(out);
          mode_ = Mode::kOutside;
        }
        break;
    }
  }
}

}  // namespace mc1000sim
