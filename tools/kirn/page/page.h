// The read-only status page of kirn metrics: its files (plain HTML, CSS and JavaScript compiled
// in as Qt resources, with the program's icon) and its JSON, made from one survey of the drivers.
//
//   /                  every driver of the workstation at a glance (page)
//   /driver/N          one driver: the dialog's fields, its router table and one router's
//                      crosspoints (page; ?router=DEV chooses the router)
//   /api/status        the overview as JSON
//   /api/driver/N      one driver as JSON, with the table of ?router=DEV (default: its first
//                      router) and, unless ?names=V says the reader has that version of them,
//                      the names of the router's destinations and routed sources
//
// Nothing a request says reaches a driver beyond which status and table are read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tools/kirn/common/http_message.h"
#include "tools/kirn/survey/driver_survey.h"

namespace kirn {

// The Content-Security-Policy of the pages: their own scripts, styles and icon only, nothing
// inline, nothing framed, no form, no base.
inline constexpr const char* kPageSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// The answer for a page or one of its files (`path` as requested); nothing for a path that is
// none of them.
std::optional<HttpResponse> PageFile(const std::string& path);

// The driver number of "/driver/N" or "/api/driver/N" after `prefix`: N decimal, 1..65535;
// 0 when the rest is not such a number.
int DriverInPath(const std::string& path, const std::string& prefix);

// What /api/driver/N asks: the router (0: the driver's first) and the names version the reader
// holds. False when an argument does not read as a number.
struct DriverQuery {
  int router = 0;
  uint64_t names_version = 0;
};
bool ParseDriverQuery(const HttpRequest& request, DriverQuery* query);

// /api/status from one survey.
HttpResponse StatusJson(const Survey& survey);

// /api/driver/N from one survey; 404 when the survey knows no driver N. Asks `survey` for the
// names the answer lacks (they come with a later answer).
HttpResponse DriverJson(const Survey& reading, int driver, const DriverQuery& query,
                        DriverSurvey& survey);

}  // namespace kirn
