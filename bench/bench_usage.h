// The command line of a benchmark program: --help (or -h) prints its usage to standard output and
// ends the program with 0; an option it does not know, or an argument that is not the number it
// expects, prints one line saying so and the usage to standard error and ends it with 2.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace bench {

// True when one of the arguments is --help or -h: the usage has been printed.
inline bool HelpAsked(int argc, char** argv, const char* usage) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(usage, stdout);
      return true;
    }
  }
  return false;
}

[[noreturn]] inline void UsageError(const char* program, const std::string& what,
                                    const char* usage) {
  std::fprintf(stderr, "%s: %s\n%s", program, what.c_str(), usage);
  std::exit(2);
}

// The whole number that `text` is, or a usage error.
inline long Number(const char* program, const char* text, const char* usage) {
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  if (end == text || *end != '\0') UsageError(program, std::string("not a number: ") + text, usage);
  return n;
}

}  // namespace bench
