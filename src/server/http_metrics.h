// The HTTP intake's /metrics: counts in the Prometheus text format.
#pragma once

#include <string>

namespace callvane {

inline constexpr const char* METRICS_TYPE = "text/plain; version=0.0.4; charset=utf-8";

// The metrics now; the spool (the queued recipients) is read in the current
// directory.
std::string metrics_text();

}  // namespace callvane
