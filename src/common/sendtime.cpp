#include "common/sendtime.h"

#include <cstdlib>
#include <ctime>

#include "common/text.h"

namespace callvane {

namespace {

// atoi over a C string, saturating instead of overflowing.
long long read_decimal(const char* s) {
  while (is_space(static_cast<unsigned char>(*s))) s++;
  bool negative = false;
  if (*s == '+' || *s == '-') negative = *s++ == '-';
  long long value = 0;
  while (is_digit(static_cast<unsigned char>(*s))) {
    if (value < 1000000000000LL) value = value * 10 + (*s - '0');
    s++;
  }
  return negative ? -value : value;
}

int two_digits(const std::string& t, size_t at) { return (t[at] - '0') * 10 + (t[at + 1] - '0'); }

}  // namespace

int full_year(int yy, int current_year) {
  int century = current_year - current_year % 100;
  int best = century + yy;
  // Nearest candidate; on a tie the later one, since times are in the future.
  for (int candidate : {century - 100 + yy, century + 100 + yy}) {
    int d_best = std::abs(best - current_year);
    int d_cand = std::abs(candidate - current_year);
    if (d_cand < d_best || (d_cand == d_best && candidate > best)) best = candidate;
  }
  return best;
}

int64_t parse_holduntil(const std::string& text) {
  tzset();
  time_t now = time(nullptr);
  struct tm local_now;
  if (localtime_r(&now, &local_now) == nullptr) return -1;
  int current_year = local_now.tm_year + 1900;

  if (text.size() < 12) return -1;
  for (size_t i = 0; i < 12; i++)
    if (!is_digit(static_cast<unsigned char>(text[i]))) return -1;
  if (text.size() > 12 && !is_space(static_cast<unsigned char>(text[12]))) return -1;

  int yy = two_digits(text, 0), mon = two_digits(text, 2), day = two_digits(text, 4);
  int hour = two_digits(text, 6), min = two_digits(text, 8), sec = two_digits(text, 10);
  if (mon < 1 || mon > 12 || day < 1 || day > 31 || hour > 24 || min > 60 || sec > 60) return -1;

  size_t pos = 12;
  while (pos < text.size() && is_space(static_cast<unsigned char>(text[pos]))) pos++;
  if (pos < text.size()) {
    long long gmtdiff = read_decimal(text.c_str() + pos);
    if (gmtdiff % 100 != 0) return -1;
    struct tm utc_now;
    if (gmtime_r(&now, &utc_now) == nullptr) return -1;
    utc_now.tm_isdst = -1;
    time_t as_local = mktime(&utc_now);
    long long local_offset = static_cast<long long>(now - as_local) / 3600;
    long long adjusted = hour - gmtdiff / 100 + local_offset;
    if (adjusted < -100000 || adjusted > 100000) return -1;
    hour = static_cast<int>(adjusted);
  }

  struct tm tm = {};
  tm.tm_year = full_year(yy, current_year) - 1900;
  tm.tm_mon = mon - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = min;
  tm.tm_sec = sec;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&tm));
}

int64_t parse_sendtime(const std::string& text) {
  time_t now = time(nullptr);
  int64_t held = parse_holduntil(text);
  if (held != -1) return held;

  std::string rest = text;
  int64_t base;
  if (!rest.empty() && rest[0] == '+') {
    base = now;
    rest.erase(0, 1);
  } else {
    struct tm tm;
    if (localtime_r(&now, &tm) == nullptr) return -1;
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    tm.tm_isdst = -1;
    time_t midnight = mktime(&tm);
    if (midnight == static_cast<time_t>(-1)) return -1;
    base = midnight;
  }

  long long days = 0;
  std::string clock = rest;
  size_t plus = rest.find('+');
  if (plus != std::string::npos && !rest.empty() && is_digit(static_cast<unsigned char>(rest[0]))) {
    days = read_decimal(rest.substr(0, plus).c_str());
    clock = rest.substr(plus + 1);
  }
  // Day counts beyond a century are refused rather than overflowing.
  if (days > 36600) return -1;
  if (clock.size() > 4) return -1;
  for (char c : clock)
    if (!is_digit(static_cast<unsigned char>(c))) return -1;

  static const int weights[] = {60, 600, 3600, 36000};
  int64_t offset = 0;
  for (size_t i = 0; i < clock.size(); i++)
    offset += static_cast<int64_t>(weights[i]) * (clock[clock.size() - 1 - i] - '0');

  int64_t result = base + days * 86400 + offset;
  if (result < now) result += 86400;
  return result;
}

}  // namespace callvane
