#include "tools/kirn/common/json_text.h"

#include <QJsonDocument>
#include <QString>

#include "tools/kirn/common/text_encoding.h"

namespace kirn {
namespace {

// Puts `line` into `node` along its name and label values; a figure and a group under one key
// keep the first.
void AddToTree(QJsonObject& node, const xarvel::CounterLine& line, size_t depth) {
  const QString key = depth == 0
                          ? QString::fromStdString(NameToUtf8(line.name))
                          : QString::fromStdString(NameToUtf8(line.labels[depth - 1].second));
  const bool last = depth == line.labels.size();
  auto it = node.find(key);
  if (last) {
    if (it == node.end()) node.insert(key, static_cast<qint64>(line.value));
    return;
  }
  if (it != node.end() && !it->isObject()) return;
  QJsonObject child = it != node.end() ? it->toObject() : QJsonObject();
  AddToTree(child, line, depth + 1);
  node.insert(key, child);
}

}  // namespace

QJsonValue JsonText(std::string_view bytes) {
  return QString::fromStdString(NameToUtf8(bytes));
}

QJsonObject CountersObject(const xarvel::PanelCounters& counters) {
  QJsonObject root;
  for (const xarvel::CounterLine& line : counters.lines) AddToTree(root, line, 0);
  return root;
}

std::string JsonBytes(const QJsonObject& object, bool markup_safe) {
  const QByteArray json = QJsonDocument(object).toJson(QJsonDocument::Compact);
  if (!markup_safe) return json.toStdString();
  std::string out;
  out.reserve(static_cast<size_t>(json.size()) + 16);
  for (const char c : json) {
    if (c == '<') {
      out += "\\u003c";
    } else if (c == '>') {
      out += "\\u003e";
    } else if (c == '&') {
      out += "\\u0026";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace kirn
