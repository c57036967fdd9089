#include "tools/kirn/client/route_check.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "protocol/command_handler.h"

namespace kirn {
namespace {

std::string_view UpToNul(std::string_view text) {
  const size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

// The fields of one "KEY\tVALUE..." line.
std::vector<std::string> Fields(std::string_view line) {
  std::vector<std::string> fields;
  for (;;) {
    const size_t tab = line.find('\t');
    fields.emplace_back(line.substr(0, tab));
    if (tab == std::string_view::npos) return fields;
    line.remove_prefix(tab + 1);
  }
}

bool Number(const std::string& text, int* out) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || v < -1000000 || v > 1000000) return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace

bool RouteReading::Parse(std::string_view panel) {
  int found = 0;
  while (!panel.empty()) {
    const size_t end = panel.find('\n');
    const std::vector<std::string> f = Fields(panel.substr(0, end));
    panel.remove_prefix(end == std::string_view::npos ? panel.size() : end + 1);
    int value = 0;
    if (f.size() == 2 && Number(f[1], &value)) {
      if (f[0] == "source_to_dest") {
        source_to_dest = value != 0;
        ++found;
      } else if (f[0] == "dest_to_source") {
        dest_to_source = value != 0;
        ++found;
      } else if (f[0] == "park_source") {
        park_source = value;
        ++found;
      }
    } else if (f.size() == 6 && f[0] == "router") {
      Router r;
      if (Number(f[2], &r.device) && Number(f[3], &r.sources) && Number(f[4], &r.dests)) {
        routers.push_back(r);
      }
    }
  }
  return found == 3;
}

bool RouteCheck::IsRouteCommand(std::string_view text) {
  text = UpToNul(text);
  return text.size() >= 2 && text[0] == 'R' && text[1] == 'C';
}

int RouteCheck::Add(std::string_view text) {
  text = UpToNul(text);
  // The driver's own field reading, so that quotes, blanks and signs count as they do there.
  xarvel::ExtractFields(text, 5);
  const xarvel::CommandFields& f = xarvel::Commands().fields;
  const int device = f.Value(1);
  const int a = f.Value(2);
  const int b = f.Value(3);
  struct Asked {
    int dest;
    int source;
  };
  std::vector<Asked> asked;
  if (reading_.source_to_dest) asked.push_back({b, a});
  if (reading_.dest_to_source) asked.push_back({a, b});
  if (asked.size() == 2) {
    // Both readings: the driver carries out those whose numbers fit the router. When neither
    // fits, nothing is carried out and both stay asked, so the command counts as unconfirmed.
    const auto router =
        std::find_if(reading_.routers.begin(), reading_.routers.end(),
                     [device](const RouteReading::Router& r) { return r.device == device; });
    if (router != reading_.routers.end()) {
      std::vector<Asked> fitting;
      for (const Asked& r : asked) {
        if (r.source >= 0 && r.source <= router->sources && r.dest >= 1 &&
            r.dest <= router->dests) {
          fitting.push_back(r);
        }
      }
      if (!fitting.empty()) asked = fitting;
    }
  }
  Command command;
  command.text = std::string(text);
  command.routes = asked.size();
  const size_t index = commands_.size();
  commands_.push_back(std::move(command));
  for (const Asked& r : asked) {
    // The park source stands in for source 0.
    const int source = r.source == 0 ? reading_.park_source : r.source;
    waiting_[{device, r.dest}].emplace_back(index, source);
  }
  return device;
}

void RouteCheck::Withdraw() {
  if (commands_.empty()) return;
  const size_t index = commands_.size() - 1;
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    auto& list = it->second;
    std::erase_if(list, [index](const auto& w) { return w.first == index; });
    it = list.empty() ? waiting_.erase(it) : std::next(it);
  }
  commands_.pop_back();
}

void RouteCheck::Revertive(std::string_view text) {
  const std::string copy(text.substr(0, 63));
  int device = 0;
  int dest = 0;
  int source = 0;
  if (std::sscanf(copy.c_str(), "RR %d %d %d", &device, &dest, &source) != 3) return;
  const auto it = waiting_.find({device, dest});
  if (it == waiting_.end()) return;
  // Every command delivered so far that asked for this source here is confirmed.
  auto& list = it->second;
  std::erase_if(list, [this, source](const auto& w) {
    if (w.second != source) return false;
    ++commands_[w.first].confirmed;
    return true;
  });
  if (list.empty()) waiting_.erase(it);
}

std::vector<std::string> RouteCheck::Unconfirmed() const {
  std::vector<std::string> out;
  for (const Command& c : commands_) {
    if (c.routes == 0 || c.confirmed < c.routes) out.push_back(c.text);
  }
  return out;
}

}  // namespace kirn
