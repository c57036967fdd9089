#include "tools/kirn/survey/panel_answers.h"

#include <charconv>

namespace kirn {
namespace {

// Splits `text` at `at`.
std::vector<std::string_view> Split(std::string_view text, char at) {
  std::vector<std::string_view> parts;
  for (;;) {
    const size_t end = text.find(at);
    parts.push_back(text.substr(0, end));
    if (end == std::string_view::npos) return parts;
    text.remove_prefix(end + 1);
  }
}

bool Number(std::string_view text, int* out) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

PanelStatus ParsePanelStatus(std::string_view text) {
  PanelStatus status;
  for (std::string_view line : Split(text, '\n')) {
    if (line.empty()) continue;
    const std::vector<std::string_view> f = Split(line, '\t');
    if (f[0] == "router" && f.size() == 6) {
      status.routers.push_back(PanelStatus::Router{std::string(f[1]), std::string(f[2]),
                                                   std::string(f[3]), std::string(f[4]),
                                                   std::string(f[5])});
    } else if (f.size() == 2) {
      status.fields.emplace_back(std::string(f[0]), std::string(f[1]));
    }
  }
  return status;
}

int ParseTablePage(std::string_view text, RouterTable* table) {
  int first = 0;
  int expected = 0;
  int next = -1;
  bool format = false;
  for (std::string_view line : Split(text, '\n')) {
    if (line.empty()) continue;
    const std::vector<std::string_view> f = Split(line, '\t');
    if (f.size() == 4) {
      int n[4];
      for (int i = 0; i < 4; ++i) {
        if (!Number(f[static_cast<size_t>(i)], &n[i])) return -1;
      }
      // Destinations come in order from `first`, within the router's count.
      if (first < 1 || n[0] != expected || n[0] > table->destinations) return -1;
      const auto at = static_cast<size_t>(n[0] - 1);
      table->source[at] = n[1];
      table->lock[at] = n[2];
      table->mc1000_lock[at] = n[3];
      ++expected;
      continue;
    }
    if (f.size() != 2) return -1;
    const std::string_view key = f[0];
    const std::string_view value = f[1];
    int number = 0;
    const bool numeric = Number(value, &number);
    if (key == "table") {
      format = numeric && number == 1;
    } else if (key == "router" && numeric) {
      if (table->router != 0 && table->router != number) return -1;
      table->router = number;
    } else if (key == "letter" && value.size() == 1) {
      table->letter = value[0];
    } else if (key == "sources" && numeric) {
      table->sources = number;
    } else if (key == "destinations" && numeric) {
      if (number < 0 || number > 4096) return -1;
      if (table->destinations != number) {
        table->destinations = number;
        table->source.assign(static_cast<size_t>(number), -1);
        table->lock.assign(static_cast<size_t>(number), 0);
        table->mc1000_lock.assign(static_cast<size_t>(number), -1);
      }
    } else if (key == "min_dest" && numeric) {
      table->min_dest = number;
    } else if (key == "max_dest" && numeric) {
      table->max_dest = number;
    } else if (key == "park_source" && numeric) {
      table->park_source = number;
    } else if (key == "park_name") {
      table->park_name = std::string(value);
    } else if (key == "first" && numeric) {
      first = number;
      expected = number;
    } else if (key == "next" && numeric) {
      next = number;
    } else if (key == "end") {
      if (!format || next < 0) return -1;
      // A next that does not move on would ask for the same page again.
      if (next != 0 && (next <= first || next != expected)) return -1;
      return next;
    }
  }
  return -1;
}

}  // namespace kirn
