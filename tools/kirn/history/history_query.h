// Asking the crosspoint history: times as people write them, rows as text and JSON, and the
// answer of /api/history/N. Shared by `kirn history` and kirn metrics.
#pragma once

#include <QJsonObject>
#include <cstdint>
#include <optional>
#include <string>

#include "tools/kirn/common/http_message.h"
#include "tools/kirn/history/history_store.h"

namespace kirn {

// The history file when none is given: $KIRN_HISTORY, else $XDG_STATE_HOME/kirn/history.db,
// else ~/.local/state/kirn/history.db. `from` (if not null) gets where it came from:
// "$KIRN_HISTORY", "$XDG_STATE_HOME" or "$HOME". It does not follow $KIRN_BUS or $KIRN_WINDIR.
std::string DefaultHistoryPath(std::string* from = nullptr);

// A time as ISO 8601 ("2026-12-09T14:03:00", a space for the T, seconds and their fraction
// optional, a date alone is its midnight; local time unless it ends in Z or an offset such as
// +01:00 or +0100) or "@SECONDS" since the epoch (a fraction allowed). False (and `error` set)
// when it reads as neither.
bool ParseTime(const std::string& text, int64_t* ms, std::string* error);
// `ms` as ISO 8601 local time with milliseconds and the offset ("2026-12-09T14:03:00.250+01:00").
std::string IsoTime(int64_t ms);

// One row as a JSON object; one row as a line of text (without newline).
std::string RowJson(const HistoryRow& row);
// The same row as a JSON object.
QJsonObject RowObject(const HistoryRow& row);
std::string RowText(const HistoryRow& row);

// The answer to /api/history/N?router=&dest=&since=&until=&limit=&cursor=: driver N's changes
// of the router (of one destination with dest), newest first, with the router's gaps and base
// markers; at most `limit` rows (default 100, at most 1000) and the cursor of the next (older)
// page, or null. 400 for an argument that does not read, 503 when there is no history to read.
// `store` may be null (no history recorded yet); it is opened by the caller. In two steps:
// ParseHistoryRequest reads the arguments into `filter` (the 400 answer when they do not
// read), HistoryListing asks the store (which may take long: kirn metrics runs it on a worker,
// history_readers.h).
HttpResponse HistoryApi(const HttpRequest& request, int driver, HistoryStore* store);
std::optional<HttpResponse> ParseHistoryRequest(const HttpRequest& request, int driver,
                                                HistoryFilter* filter);
HttpResponse HistoryListing(const HistoryFilter& filter, HistoryStore* store);
// A JSON answer {"error": what} with `status`.
HttpResponse HistoryError(int status, const std::string& what);

}  // namespace kirn
