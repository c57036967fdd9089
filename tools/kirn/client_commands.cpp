// The kirn subcommands that talk to drivers through the interface stand-in.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "interface/messages.h"
#include "tools/kirn/commands.h"
#include "tools/kirn/kirn_messages.h"
#include "tools/kirn/tool_client.h"

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

int NoDevice(const std::string& command, int device) {
  return Failure(command, "device " + std::to_string(device) + " is not registered");
}

// Takes `count` positional arguments (DEV first) for the commands without options.
bool Positional(const Args& args, size_t count, const std::string& command, int* device,
                int* exit_code) {
  for (const std::string& a : args) {
    if (a.size() > 1 && a[0] == '-' && (a[1] < '0' || a[1] > '9')) {
      *exit_code = UsageError(command, "unknown option '" + a + "'");
      return false;
    }
  }
  if (args.size() != count) {
    *exit_code = UsageError(
        command, "expects " + std::to_string(count) + " argument" + (count == 1 ? "" : "s"));
    return false;
  }
  if (!ParseDevice(args[0], device)) {
    *exit_code = UsageError(command, "DEV must be a device id 1..999, not '" + args[0] + "'");
    return false;
  }
  return true;
}

// A plain request for a device; kNoDevice becomes exit code 1.
int DeviceRequest(const std::string& command, uint32_t msg, int device, plat::LParam l,
                  bool print_result) {
  auto client = OpenOrReport(command);
  if (!client) return 1;
  const plat::LResult r = client->Request(msg, device, l);
  if (r == kNoDevice) return NoDevice(command, device);
  if (print_result) std::printf("%ld\n", static_cast<long>(r));
  return 0;
}

}  // namespace

int RunSend(const Args& args) {
  std::vector<std::string> positional;
  long long wait_ms = 500;
  bool stats = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--wait") {
      if (i + 1 >= args.size() || !ParseInt(args[i + 1], 0, 600000, &wait_ms)) {
        return UsageError("send", "--wait takes milliseconds 0..600000");
      }
      ++i;
    } else if (a == "--stats") {
      stats = true;
    } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
      return UsageError("send", "unknown option '" + a + "'");
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2) return UsageError("send", "expects DEV and TEXT");
  int device = 0;
  if (!ParseDevice(positional[0], &device)) {
    return UsageError("send", "DEV must be a device id 1..999, not '" + positional[0] + "'");
  }
  std::vector<std::string> texts;
  if (positional[1] == "-") {
    std::string line;
    for (size_t n = 1; std::getline(std::cin, line); ++n) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      if (line.size() > static_cast<size_t>(kMaxCommandText)) {
        return UsageError("send", "line " + std::to_string(n) + " is longer than " +
                                      std::to_string(kMaxCommandText) + " characters");
      }
      texts.push_back(line);
    }
  } else {
    if (positional[1].empty()) return UsageError("send", "TEXT is empty");
    if (positional[1].size() > static_cast<size_t>(kMaxCommandText)) {
      return UsageError("send",
                        "TEXT is longer than " + std::to_string(kMaxCommandText) + " characters");
    }
    texts.push_back(positional[1]);
  }

  InstallStopSignals();
  auto client = OpenOrReport("send");
  if (!client) return 1;

  long sent = 0;
  long revertives = 0;
  const Clock::time_point first = Clock::now();
  Clock::time_point last_delivery = first;
  Clock::time_point last_revertive = first;
  client->SetLineHandler([&](std::string_view line) {
    if (!StartsWith(line, "REV ") && !StartsWith(line, "QRY ")) return;
    PrintLine(line);
    ++revertives;
    last_revertive = Clock::now();
  });
  if (client->Request(kKirnWatch, client->window(), device) != 1) {
    return Failure("send", "the control-system interface refused to relay revertives");
  }
  int code = 0;
  for (const std::string& text : texts) {
    if (StopRequested()) break;
    const int32_t r = client->RequestWithText(kKirnSend, device, text);
    if (r == kNoDevice) {
      code = NoDevice("send", device);
      break;
    }
    if (r == 0) {
      code = Failure("send", "the driver of device " + std::to_string(device) +
                                 " did not take the command: " + text);
      break;
    }
    ++sent;
    last_delivery = Clock::now();
  }
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
    const auto end = revertives > 0 ? last_revertive : last_delivery;
    const double seconds = std::chrono::duration<double>(end - first).count();
    std::printf("sent %ld, revertives %ld, seconds %.3f\n", sent, revertives, seconds);
  }
  return code;
}

int RunWatch(const Args& args) {
  std::vector<int> devices;
  for (const std::string& a : args) {
    int device = 0;
    if (!ParseDevice(a, &device)) {
      return UsageError("watch", "DEV must be a device id 1..999, not '" + a + "'");
    }
    devices.push_back(device);
  }
  InstallStopSignals();
  auto client = OpenOrReport("watch");
  if (!client) return 1;
  client->SetLineHandler(PrintLine);
  if (devices.empty()) devices.push_back(0);
  for (int device : devices) {
    if (client->Request(kKirnWatch, client->window(), device) != 1) {
      return Failure("watch", "the control-system interface refused to relay");
    }
  }
  while (!StopRequested()) {
    if (!client->Pump(200)) return Failure("watch", "the bus has gone");
  }
  client->Request(kKirnUnwatch, client->window(), 0);
  return 0;
}

int RunMode(const Args& args) {
  int device = 0;
  int code = 0;
  if (!Positional(args, 2, "mode", &device, &code)) return code;
  long long mode = 0;
  if (args[1] == "txrx") {
    mode = xarvel::IFMODE_TXRX;
  } else if (args[1] == "rxonly") {
    mode = xarvel::IFMODE_RXONLY;
  } else if (!ParseInt(args[1], 0, 5, &mode) || args[1][0] < '0' || args[1][0] > '9') {
    return UsageError("mode", "MODE must be 0..5, txrx or rxonly, not '" + args[1] + "'");
  }
  return DeviceRequest("mode", kKirnMode, device, static_cast<plat::LParam>(mode), true);
}

int RunDevices(const Args& args) {
  if (!args.empty()) return UsageError("devices", "takes no arguments");
  auto client = OpenOrReport("devices");
  if (!client) return 1;
  client->SetLineHandler(PrintLine);
  client->Request(kKirnDevices, client->window(), 0);
  return 0;
}

int RunDbChange(const Args& args) {
  int device = 0;
  int code = 0;
  if (!Positional(args, 2, "dbchange", &device, &code)) return code;
  long long value = 0;
  if (!ParseInt(args[1], INT32_MIN, UINT32_MAX, &value)) {
    return UsageError("dbchange", "LPARAM must be a 32-bit integer, not '" + args[1] + "'");
  }
  // Values above INT32_MAX are taken as their 32-bit pattern (a destination change in bit 31).
  const auto l = static_cast<int32_t>(static_cast<uint32_t>(value));
  return DeviceRequest("dbchange", kKirnDbChange, device, l, false);
}

int RunClose(const Args& args) {
  int device = 0;
  int code = 0;
  if (!Positional(args, 1, "close", &device, &code)) return code;
  return DeviceRequest("close", kKirnClose, device, 0, false);
}

}  // namespace kirn
