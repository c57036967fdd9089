// JSON texts of kirn's answers: strings and the counters of a driver as nested objects.
#pragma once

#include <string>
#include <string_view>

#include "core/panel_counters.h"

namespace kirn {

// `text` as a JSON string. Bytes outside printable ASCII are written as \u00XX (the byte as a
// Latin-1 character: dialog texts and names are single bytes), never raw. With `markup_safe`,
// '<', '>' and '&' are written as codes too, so that no reader that sniffs an answer finds markup
// in it.
std::string JsonString(std::string_view text, bool markup_safe = false);

// The counters as one JSON object: a line without labels is "name": value; each label value
// nests one level deeper ("routes_refused": {"101": {"locked": 2}}).
std::string CountersJson(const xarvel::PanelCounters& counters);

}  // namespace kirn
