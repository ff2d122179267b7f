#include "common/messageid.h"

#include <cstdio>
#include <ctime>

namespace callvane {

namespace {
const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
unsigned counter = 0;
}  // namespace

std::string make_messageid(int64_t when, unsigned value) {
  time_t t = static_cast<time_t>(when);
  struct tm tm;
  // A time the calendar cannot show counts as the epoch, so that no index
  // ever leaves the alphabet.
  if (gmtime_r(&t, &tm) == nullptr) {
    t = 0;
    gmtime_r(&t, &tm);
  }
  char id[8];
  id[0] = ALPHABET[tm.tm_mon];
  id[1] = ALPHABET[tm.tm_mday - 1];
  id[2] = ALPHABET[tm.tm_hour];
  id[3] = ALPHABET[tm.tm_min];
  snprintf(id + 4, 4, "%03u", value % 1000);
  return std::string(id, 7);
}

std::string new_messageid() {
  std::string id = make_messageid(time(nullptr), counter);
  counter = (counter + 1) % 1000;
  return id;
}

}  // namespace callvane
