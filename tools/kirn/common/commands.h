// The subcommands of kirn. Each takes the arguments after its name and returns the exit code:
// 0 success, 1 bus or device not there (one line on standard error), 2 usage error; `send
// --check` also 4, a route command unconfirmed.
#pragma once

#include <string>
#include <vector>

namespace kirn {

using Args = std::vector<std::string>;

inline constexpr int kUnconfirmedExit = 4;

int RunServe(const Args& args);
int RunSend(const Args& args);
int RunWatch(const Args& args);
int RunMode(const Args& args);
int RunDevices(const Args& args);
int RunDbChange(const Args& args);
int RunClose(const Args& args);
int RunInfodriver(const Args& args);
int RunSlot(const Args& args);
int RunSlots(const Args& args);
// A driver's status panel and menu commands (panel_commands.cpp), and their help texts.
int RunStatus(const Args& args);
int RunPanelMenu(const Args& args);
extern const char kStatusHelp[];
extern const char kMenuHelp[];
// The HTTP server for monitoring (metrics.cpp).
int RunMetrics(const Args& args);
extern const char kMetricsHelp[];

// Usage errors: "kirn <command>: <what>" and a pointer to the help, on standard error; returns 2.
int UsageError(const std::string& command, const std::string& what);
// Failures: "kirn <command>: <what>" on standard error; returns 1.
int Failure(const std::string& command, const std::string& what);
// Parses a whole decimal integer in [min, max]: an optional '-' and digits only (leading zeros
// allowed; "0101" is 101).
bool ParseInt(const std::string& text, long long min, long long max, long long* out);
// As ParseInt, or hexadecimal after "0x".
bool ParseIntOrHex(const std::string& text, long long min, long long max, long long* out);
// The arguments before a "--" that ends the options; those after it go to `after`.
Args SplitOptionsEnd(const Args& args, Args* after);
// Parses a device id (1..999).
bool ParseDevice(const std::string& text, int* device);

}  // namespace kirn
