// JSON of kirn's answers, written with Qt's JSON classes: texts from the drivers and the
// interface (dialog fields, names) and the counters of a driver as nested objects.
#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <string>
#include <string_view>

#include "core/panel_counters.h"

namespace kirn {

// A text of a driver or the interface as a JSON string: UTF-8 when it is valid UTF-8, else read
// as Windows-1252 (see NameToUtf8).
QJsonValue JsonText(std::string_view bytes);

// The counters as one JSON object: a line without labels is "name": value; each label value
// nests one level deeper ("routes_refused": {"101": {"locked": 2}}).
QJsonObject CountersObject(const xarvel::PanelCounters& counters);

// `object` as compact UTF-8 JSON. With `markup_safe`, '<', '>' and '&' are written as \u003c,
// \u003e and \u0026, so that no reader that sniffs an answer finds markup in it (outside strings
// JSON has none of them).
std::string JsonBytes(const QJsonObject& object, bool markup_safe = false);

}  // namespace kirn
