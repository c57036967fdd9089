// The kirn subcommands that talk to drivers through the interface stand-in.
#include "tools/kirn/client/client_commands.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "interface/messages.h"
#include "tools/kirn/client/route_check.h"
#include "tools/kirn/common/kirn_messages.h"
#include "tools/kirn/common/tool_client.h"

namespace kirn {
namespace {

using Clock = std::chrono::steady_clock;

void PrintLine(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Opens the client or says why not.
std::unique_ptr<ToolClient> OpenOrReport(const std::string& command) {
  std::string error;
  auto client = ToolClient::Open(&error);
  if (!client) Failure(command, error);
  return client;
}

// The device of a relayed line "REV <param> RR <device> ...", or -1 when it names none.
int LineDevice(std::string_view line) {
  const size_t text = line.find(' ', 4);
  int device = -1;
  if (text == std::string_view::npos) return -1;
  const std::string copy(line.substr(text + 1, 16));
  return std::sscanf(copy.c_str(), "RR %d", &device) == 1 ? device : -1;
}

int NoDevice(const std::string& command, int device) {
  return Failure(command, "device " + std::to_string(device) +
                              " is not registered (no driver registered it, or its driver has "
                              "gone)");
}

// Takes `count` positional arguments (DEV first) for the commands without options; "--" ends
// the options, so an argument after it may start with '-'. The arguments are left in `out`.
bool Positional(const Args& args, size_t count, const std::string& command, int* device,
                int* exit_code, Args* out) {
  Args after;
  Args before = SplitOptionsEnd(args, &after);
  for (const std::string& a : before) {
    if (a.size() > 1 && a[0] == '-' && (a[1] < '0' || a[1] > '9')) {
      *exit_code = UsageError(command, "unknown option '" + a + "'");
      return false;
    }
  }
  before.insert(before.end(), after.begin(), after.end());
  if (before.size() != count) {
    *exit_code = UsageError(
        command, "expects " + std::to_string(count) + " argument" + (count == 1 ? "" : "s"));
    return false;
  }
  if (!ParseDevice(before[0], device)) {
    *exit_code = UsageError(command, "DEV must be a device id 1..999, not '" + before[0] + "'");
    return false;
  }
  *out = std::move(before);
  return true;
}

// A plain request for a device; kNoDevice becomes exit code 1, and so does no answer at all.
int DeviceRequest(const std::string& command, uint32_t msg, int device, plat::LParam l,
                  bool print_result) {
  auto client = OpenOrReport(command);
  if (!client) return 1;
  plat::LResult r = 0;
  if (!client->RequestAnswered(msg, device, l, &r)) {
    return Failure(command, "the control-system interface did not answer");
  }
  if (r == kNoDevice) return NoDevice(command, device);
  if (print_result) std::printf("%ld\n", static_cast<long>(r));
  return 0;
}

// Command texts read from standard input as they arrive, one a line. A line too long for a
// command is reported with its number and skipped; what follows it is read on.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  bool eof() const { return eof_; }
  int bad_lines() const { return bad_lines_; }
  int fd() const { return fd_; }

  // Reads what is there (the descriptor is readable) and queues its complete lines in `out`.
  void ReadAvailable(std::deque<std::string>* out) {
    char buf[64 * 1024];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
      eof_ = true;
      if (!partial_.empty() || overlong_) EndLine(out);
      return;
    }
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == '\n') {
        EndLine(out);
        continue;
      }
      if (overlong_) continue;
      partial_.push_back(buf[i]);
      // One byte of slack for a '\r' before the line feed.
      if (partial_.size() > static_cast<size_t>(kMaxCommandText) + 1) {
        overlong_ = true;
        partial_.clear();
      }
    }
  }

 private:
  void EndLine(std::deque<std::string>* out) {
    ++line_;
    if (!overlong_ && !partial_.empty() && partial_.back() == '\r') partial_.pop_back();
    if (overlong_ || partial_.size() > static_cast<size_t>(kMaxCommandText)) {
      ++bad_lines_;
      std::fprintf(stderr, "kirn send: line %ld is longer than %d characters: skipped\n", line_,
                   kMaxCommandText);
    } else if (!partial_.empty()) {
      out->push_back(partial_);
    }
    partial_.clear();
    overlong_ = false;
  }

  int fd_;
  std::string partial_;
  bool overlong_ = false;
  bool eof_ = false;
  long line_ = 0;
  int bad_lines_ = 0;
};

}  // namespace

int RunSend(const Args& args) {
  std::vector<std::string> positional;
  long long wait_ms = 500;
  bool stats = false;
  bool check = false;
  Args after;
  const Args options = SplitOptionsEnd(args, &after);
  for (size_t i = 0; i < options.size(); ++i) {
    const std::string& a = options[i];
    if (a == "--wait") {
      if (i + 1 >= options.size() || !ParseInt(options[i + 1], 0, 600000, &wait_ms)) {
        return UsageError("send", "--wait takes milliseconds 0..600000");
      }
      ++i;
    } else if (a == "--stats") {
      stats = true;
    } else if (a == "--check") {
      check = true;
    } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
      return UsageError("send", "unknown option '" + a + "'");
    } else {
      positional.push_back(a);
    }
  }
  positional.insert(positional.end(), after.begin(), after.end());
  if (positional.size() != 2) return UsageError("send", "expects DEV and TEXT");
  int device = 0;
  if (!ParseDevice(positional[0], &device)) {
    return UsageError("send", "DEV must be a device id 1..999, not '" + positional[0] + "'");
  }
  const bool from_input = positional[1] == "-";
  std::deque<std::string> texts;
  if (!from_input) {
    if (positional[1].empty()) return UsageError("send", "TEXT is empty");
    if (positional[1].size() > static_cast<size_t>(kMaxCommandText)) {
      return UsageError("send",
                        "TEXT is longer than " + std::to_string(kMaxCommandText) + " characters");
    }
    texts.push_back(positional[1]);
  }

  InstallStopSignals();
  LineReader input(STDIN_FILENO);
  // Before anything is delivered: with --check, every command there is to read now is listed as
  // not delivered.
  auto none_delivered = [&](int code) {
    if (!check) return code;
    while (from_input && !input.eof()) {
      pollfd in = {input.fd(), POLLIN, 0};
      if (::poll(&in, 1, 0) <= 0) break;
      input.ReadAvailable(&texts);
    }
    for (const std::string& text : texts) PrintLine("UNDELIVERED " + text);
    return code;
  };
  auto client = OpenOrReport("send");
  if (!client) return none_delivered(1);

  long sent = 0;
  long revertives = 0;
  std::optional<Clock::time_point> first;
  Clock::time_point last_delivery = Clock::now();
  Clock::time_point last_revertive = last_delivery;
  // Route commands are checked against the revertives when the statistics or the check ask for
  // it. The driver tells how it reads their numbers; a route command may name another device
  // of the same driver, whose revertives are then watched too (and not printed).
  const bool checking = stats || check;
  RouteReading reading;
  std::optional<RouteCheck> routes;
  std::set<int> watched = {device};
  client->SetLineHandler([&](std::string_view line) {
    if (!StartsWith(line, "REV ") && !StartsWith(line, "QRY ")) return;
    last_revertive = Clock::now();
    if (routes) routes->Revertive(line.substr(std::min(line.size(), line.find(' ', 4) + 1)));
    const int of = LineDevice(line);
    if (of != device && of >= 0) return;
    PrintLine(line);
    ++revertives;
  });
  if (client->Request(kKirnWatch, client->window(), device) != 1) {
    return none_delivered(
        Failure("send", "the control-system interface refused to relay revertives"));
  }
  if (checking) {
    std::string panel;
    if (client->AskPanelStatus(device, &panel) && reading.Parse(panel)) {
      routes.emplace(reading);
    }
  }
  int code = 0;
  // The command texts that were not delivered because delivery stopped at a failure: the one
  // that failed and those read after it.
  std::vector<std::string> undelivered;
  auto deliver = [&](const std::string& text) {
    const bool route = routes && RouteCheck::IsRouteCommand(text);
    // Without the driver's reading the statistics leave the count out; the check cannot.
    if (check && !routes && RouteCheck::IsRouteCommand(text)) {
      code = Failure("send", "the driver of device " + std::to_string(device) +
                                 " does not tell how it reads route commands, so they cannot be "
                                 "checked; not delivered: " +
                                 text);
      undelivered.push_back(text);
      return;
    }
    if (route) {
      const int of = routes->Add(text);
      if (of >= 1 && of <= 999 && watched.insert(of).second) {
        client->Request(kKirnWatch, client->window(), of);
      }
    }
    const int32_t r = client->RequestWithText(kKirnSend, device, text);
    if (route && (r == kNoDevice || r == 0 || !client->connected())) routes->Withdraw();
    if (r == kNoDevice || r == 0 || !client->connected()) undelivered.push_back(text);
    if (r == kNoDevice) {
      code = NoDevice("send", device);
    } else if (!client->connected()) {
      code = Failure("send", "the bus has gone; not delivered: " + text);
    } else if (r == 0) {
      code = Failure("send", "the driver of device " + std::to_string(device) +
                                 " did not take the command: " + text);
    } else {
      ++sent;
      last_delivery = Clock::now();
      if (!first) first = last_delivery;
    }
  };
  // Lines are delivered as they arrive, and revertives printed as they come, so a script can
  // feed commands through a pipe that stays open.
  while (code == 0 && !StopRequested()) {
    while (!texts.empty() && code == 0 && !StopRequested()) {
      deliver(texts.front());
      texts.pop_front();
    }
    if (!from_input || input.eof() || code != 0) break;
    pollfd fds[2] = {{input.fd(), POLLIN, 0}, {client->fd(), POLLIN, 0}};
    if (::poll(fds, 2, 200) < 0 && errno != EINTR) break;
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !client->Pump(0)) {
      code = Failure("send", "the bus has gone");
      break;
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) input.ReadAvailable(&texts);
  }
  if (code != 0) undelivered.insert(undelivered.end(), texts.begin(), texts.end());
  // Revertives of the last commands are still on their way: wait for a quiet spell.
  const auto quiet = std::chrono::milliseconds(wait_ms);
  while (code == 0 && !StopRequested()) {
    const auto deadline = std::max(last_delivery, last_revertive) + quiet;
    const auto now = Clock::now();
    if (now >= deadline) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    if (!client->Pump(static_cast<int>(std::min<long long>(left.count() + 1, 100)))) {
      code = Failure("send", "the bus has gone");
    }
  }
  if (client->connected()) client->Request(kKirnUnwatch, client->window(), 0);
  if (stats && code == 0) {
    // From the first delivery to the last revertive (or the last delivery, without one).
    double seconds = 0;
    if (first) {
      const auto end = revertives > 0 ? last_revertive : last_delivery;
      seconds = std::max(0.0, std::chrono::duration<double>(end - *first).count());
    }
    std::printf("sent %ld, revertives %ld, seconds %.3f", sent, revertives, seconds);
    if (routes) std::printf(", unconfirmed %zu", routes->Unconfirmed().size());
    std::printf("\n");
  }
  if (code == 0 && input.bad_lines() > 0) code = 2;
  // A skipped line (2) or a failed delivery keeps its exit code; the unconfirmed routes are
  // listed all the same, and after a failed delivery every command read but not delivered.
  if (check) {
    for (const std::string& text : undelivered) PrintLine("UNDELIVERED " + text);
  }
  if (check && routes) {
    const std::vector<std::string> unconfirmed = routes->Unconfirmed();
    for (const std::string& text : unconfirmed) PrintLine("UNCONFIRMED " + text);
    if (!unconfirmed.empty()) {
      std::fprintf(stderr, "kirn send: %zu of %zu route commands unconfirmed\n", unconfirmed.size(),
                   routes->commands());
      if (code == 0) code = kUnconfirmedExit;
    }
  }
  std::fflush(stdout);
  return code;
}

int RunWatch(const Args& args) {
  std::vector<int> devices;
  for (const std::string& a : args) {
    if (a == "--") continue;
    int device = 0;
    if (!ParseDevice(a, &device)) {
      return UsageError("watch", "DEV must be a device id 1..999, not '" + a + "'");
    }
    devices.push_back(device);
  }
  InstallStopSignals();
  auto client = OpenOrReport("watch");
  if (!client) return 1;
  // Relays lost on the way are printed as "LOST <count>"; a watch the stand-in dropped (this
  // watcher was too slow) as "LOST watch", and it is set up again.
  bool rewatch = false;
  client->SetLineHandler([&rewatch](std::string_view line) {
    PrintLine(line);
    if (line == "LOST watch") rewatch = true;
  });
  if (devices.empty()) devices.push_back(0);
  auto watch = [&] {
    for (int device : devices) {
      if (client->Request(kKirnWatch, client->window(), device) != 1) return false;
    }
    return true;
  };
  if (!watch()) return Failure("watch", "the control-system interface refused to relay");
  while (!StopRequested()) {
    if (rewatch) {
      rewatch = false;
      if (!watch()) return Failure("watch", "the control-system interface refused to relay");
    }
    // A watch does not outlive its bus: the stand-in that relayed to it is gone with it.
    if (!client->Pump(200)) {
      return Failure("watch",
                     "the bus has gone (kirn serve stopped or restarted); start the "
                     "watch again once it is back");
    }
  }
  client->Request(kKirnUnwatch, client->window(), 0);
  return 0;
}

int RunMode(const Args& args) {
  int device = 0;
  int code = 0;
  Args a;
  if (!Positional(args, 2, "mode", &device, &code, &a)) return code;
  long long mode = 0;
  if (a[1] == "txrx") {
    mode = xarvel::IFMODE_TXRX;
  } else if (a[1] == "rxonly") {
    mode = xarvel::IFMODE_RXONLY;
  } else if (!ParseInt(a[1], 0, 5, &mode) || a[1][0] < '0' || a[1][0] > '9') {
    return UsageError("mode", "MODE must be 0..5, txrx or rxonly, not '" + a[1] + "'");
  }
  return DeviceRequest("mode", kKirnMode, device, static_cast<plat::LParam>(mode), true);
}

int RunDevices(const Args& args) {
  if (!args.empty() && !(args.size() == 1 && args[0] == "--")) {
    return UsageError("devices", "takes no arguments");
  }
  auto client = OpenOrReport("devices");
  if (!client) return 1;
  client->SetLineHandler(PrintLine);
  plat::LResult count = 0;
  if (!client->RequestAnswered(kKirnDevices, client->window(), 0, &count)) {
    return Failure("devices", "the control-system interface did not answer");
  }
  return 0;
}

int RunDbChange(const Args& args) {
  int device = 0;
  int code = 0;
  Args a;
  if (!Positional(args, 2, "dbchange", &device, &code, &a)) return code;
  long long value = 0;
  if (!ParseIntOrHex(a[1], INT32_MIN, UINT32_MAX, &value)) {
    return UsageError("dbchange", "LPARAM must be a 32-bit integer, not '" + a[1] + "'");
  }
  // Values above INT32_MAX are taken as their 32-bit pattern (a destination change in bit 31).
  const auto l = static_cast<int32_t>(static_cast<uint32_t>(value));
  return DeviceRequest("dbchange", kKirnDbChange, device, l, false);
}

int RunClose(const Args& args) {
  int device = 0;
  int code = 0;
  Args a;
  if (!Positional(args, 1, "close", &device, &code, &a)) return code;
  return DeviceRequest("close", kKirnClose, device, 0, false);
}

}  // namespace kirn
