// What every kirn command shares on its command line: the arguments, the usage and failure
// lines, and the number and device parsing. Each command takes the arguments after its name and
// returns the exit code: 0 success, 1 bus or device not there (one line on standard error), 2
// usage error.
#pragma once

#include <string>
#include <vector>

namespace kirn {

using Args = std::vector<std::string>;

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
