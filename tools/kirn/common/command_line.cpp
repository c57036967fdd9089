#include "tools/kirn/common/command_line.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace kirn {

int UsageError(const std::string& command, const std::string& what) {
  std::fprintf(stderr, "kirn %s: %s\nTry 'kirn %s --help'.\n", command.c_str(), what.c_str(),
               command.c_str());
  return 2;
}

int Failure(const std::string& command, const std::string& what) {
  std::fprintf(stderr, "kirn %s: %s\n", command.c_str(), what.c_str());
  return 1;
}

bool ParseInt(const std::string& text, long long min, long long max, long long* out) {
  // Decimal only: "0101" is 101, not an octal 65; no blanks, no '+', no base prefix.
  const size_t first_digit = (!text.empty() && text[0] == '-') ? 1 : 0;
  if (text.size() == first_digit || text.size() > 20) return false;
  for (size_t i = first_digit; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

bool ParseIntOrHex(const std::string& text, long long min, long long max, long long* out) {
  if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
    return ParseInt(text, min, max, out);
  }
  if (text.size() > 18) return false;
  for (size_t i = 2; i < text.size(); ++i) {
    if (std::isxdigit(static_cast<unsigned char>(text[i])) == 0) return false;
  }
  const long long v = std::strtoll(text.c_str() + 2, nullptr, 16);
  if (v < min || v > max) return false;
  *out = v;
  return true;
}

Args SplitOptionsEnd(const Args& args, Args* after) {
  Args before;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") {
      after->assign(args.begin() + static_cast<long>(i) + 1, args.end());
      return before;
    }
    before.push_back(args[i]);
  }
  after->clear();
  return before;
}

bool ParseDevice(const std::string& text, int* device) {
  long long v = 0;
  if (text.empty() || text[0] < '0' || text[0] > '9' || !ParseInt(text, 1, 999, &v)) return false;
  *device = static_cast<int>(v);
  return true;
}

}  // namespace kirn
