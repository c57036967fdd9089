// The command line of a benchmark program: --help (or -h) prints its usage to standard output and
// ends the program with 0; an option it does not know, or an argument that is not the number it
// expects, prints one line saying so and the usage to standard error and ends it with 2. A
// program reads its options by a table of them (ParseOptions) or by hand with these helpers.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// One option of a benchmark's command line: a flag ("--keep"), a whole number ("--routes N",
// from 1 to the largest ParseOptions is given) or one of a few words ("--only tcp").
struct Option {
  Option(const char* n, bool* f) : name(n), flag(f) {}
  Option(const char* n, int* v) : name(n), number(v) {}
  Option(const char* n, std::string* w, std::vector<std::string> choices)
      : name(n), word(w), words(std::move(choices)) {}
  const char* name;
  bool* flag = nullptr;
  int* number = nullptr;
  std::string* word = nullptr;
  std::vector<std::string> words;
};

// Reads the command line by `options`. --help or -h prints `usage` and then `about` to standard
// output and ends the program with 0; an unknown option, a missing value, a number out of its
// range or a word not among those allowed is a usage error (exit 2).
inline void ParseOptions(int argc, char** argv, const char* program, const char* usage,
                         const char* about, long largest, const std::vector<Option>& options) {
  if (HelpAsked(argc, argv, usage)) {
    std::fputs(about, stdout);
    std::exit(0);
  }
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto o = std::find_if(options.begin(), options.end(),
                                [&a](const Option& option) { return a == option.name; });
    if (o == options.end()) UsageError(program, "unknown option: " + a, usage);
    if (o->flag != nullptr) {
      *o->flag = true;
      continue;
    }
    if (i + 1 >= argc) UsageError(program, a + " needs a value", usage);
    const std::string v = argv[++i];
    if (o->word != nullptr) {
      if (std::find(o->words.begin(), o->words.end(), v) == o->words.end()) {
        UsageError(program, a + ": not a choice: " + v, usage);
      }
      *o->word = v;
      continue;
    }
    const long n = Number(program, v.c_str(), usage);
    if (n < 1 || n > largest)
      UsageError(program, a + " takes 1 to " + std::to_string(largest), usage);
    *o->number = static_cast<int>(n);
  }
}

}  // namespace bench
