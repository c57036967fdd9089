#include "tools/kirn/common/json_text.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace kirn {
namespace {

// The counters as JSON: a line without labels is "name": value; each label value nests one level
// deeper ("routes_refused": {"101": {"locked": 2}}).
struct JsonNode {
  std::string key;
  int64_t value = 0;
  bool leaf = false;
  std::vector<JsonNode> children;
};

void AddToTree(JsonNode& root, const xarvel::CounterLine& line) {
  JsonNode* node = &root;
  std::vector<std::string> path = {line.name};
  for (const auto& label : line.labels) path.push_back(label.second);
  for (size_t i = 0; i < path.size(); ++i) {
    if (node->leaf) return;  // a figure and a group under one key: keep the first
    JsonNode* child = nullptr;
    for (JsonNode& c : node->children) {
      if (c.key == path[i]) child = &c;
    }
    if (child == nullptr) {
      node->children.push_back(JsonNode{path[i], 0, false, {}});
      child = &node->children.back();
    }
    node = child;
  }
  if (!node->children.empty()) return;
  node->leaf = true;
  node->value = line.value;
}

std::string JsonTree(const JsonNode& node) {
  if (node.leaf) return std::to_string(node.value);
  std::string out = "{";
  for (const JsonNode& c : node.children) {
    if (out.size() > 1) out += ",";
    out += JsonString(c.key) + ":" + JsonTree(c);
  }
  return out + "}";
}

}  // namespace

std::string JsonString(std::string_view text, bool markup_safe) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u >= 0x7F || (markup_safe && (c == '<' || c == '>' || c == '&'))) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", u);
      out += code;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string CountersJson(const xarvel::PanelCounters& counters) {
  JsonNode root;
  for (const xarvel::CounterLine& line : counters.lines) AddToTree(root, line);
  return JsonTree(root);
}

}  // namespace kirn
