// Message ids: four characters from the UTC time and a 3-digit counter.
#pragma once

#include <cstdint>
#include <string>

namespace callvane {

// A new 7-character id; advances the process-wide counter modulo 1000.
std::string new_messageid();
// The id for a given time and counter value (for tests).
std::string make_messageid(int64_t when, unsigned counter);

}  // namespace callvane
