// The answers of the metrics exporter from one survey of the drivers (driver_survey.h): the
// Prometheus text exposition (format 0.0.4) and the health check.
#pragma once

#include <string>

#include "tools/kirn/survey/driver_survey.h"

namespace kirn {

// The content type of the exposition.
inline constexpr const char* kExpositionType = "text/plain; version=0.0.4; charset=utf-8";

// Every figure of every driver as xarvel_* metrics in base units (seconds, totals), labelled
// driver (the driver's own device number), router (a router's device id), controller (A, B,
// serial), kind and reason; each family with its HELP and TYPE. A driver that did not answer
// has only xarvel_up 0 (one never heard from is named by its first router instead).
std::string ExpositionText(const Survey& survey);

// The health of the workstation's drivers: one line a driver ("driver 12: XARVEL OK - ...", the
// check of `kirn status --check` with its default thresholds, or that it does not answer). The
// status is 503 when a driver's check is CRITICAL (a driver that does not answer is), or when
// the exporter is not on the bus; 200 otherwise.
struct Health {
  int status = 200;
  std::string text;
};
Health HealthOf(const Survey& survey);

}  // namespace kirn
