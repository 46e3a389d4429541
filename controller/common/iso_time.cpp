#include "controller/common/iso_time.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace controller {

namespace {

constexpr std::int64_t kMsPerDay = 86400000;

// Days since 1970-01-01 of a proleptic Gregorian date. Two small closed forms
// kept here rather than Boost.DateTime, which throws on years outside
// 1400-9999 that a request may name, or Debian's libhowardhinnant-date-dev, a
// package more for the armhf and old-ABI builds for these two functions.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

bool IsLeap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(std::int64_t y, unsigned m) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Reads exactly n digits at pos.
bool Digits(const std::string& s, std::size_t& pos, int n, int& out) {
  if (pos + static_cast<std::size_t>(n) > s.size()) return false;
  out = 0;
  for (int i = 0; i < n; ++i) {
    const char c = s[pos + static_cast<std::size_t>(i)];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  pos += static_cast<std::size_t>(n);
  return true;
}

// Writes v as width digits at buf + at: every stored record, chart point and
// record line is formatted, so no printf.
void PutDigits(char* buf, int at, int width, unsigned v) {
  for (int i = at + width - 1; i >= at; --i, v /= 10) buf[i] = static_cast<char>('0' + v % 10);
}

// The "YYYY-MM-DD?HH:MM:SS" that both time texts start with; buf holds the
// separators already.
void PutDateTime(char* buf, unsigned y, unsigned mo, unsigned d, unsigned h, unsigned mi,
                 unsigned s) {
  PutDigits(buf, 0, 4, y);
  PutDigits(buf, 5, 2, mo);
  PutDigits(buf, 8, 2, d);
  PutDigits(buf, 11, 2, h);
  PutDigits(buf, 14, 2, mi);
  PutDigits(buf, 17, 2, s);
}

// The local calendar time of ms through the C library, as the device template
// takes its records' times; false beyond time_t or the library's range.
bool LocalTm(std::int64_t ms, std::tm& tm) {
  const std::int64_t s = ms >= 0 ? ms / 1000 : -((999 - ms) / 1000);
  const auto t = static_cast<std::time_t>(s);
  return static_cast<std::int64_t>(t) == s && ::localtime_r(&t, &tm) != nullptr &&
         tm.tm_year >= -1900 && tm.tm_year <= 9999 - 1900;
}

bool Expect(const std::string& s, std::size_t& pos, char c) {
  if (pos >= s.size() || s[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

std::int64_t NowUtcMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string FormatUtcMs(std::int64_t ms) {
  std::int64_t days = ms / kMsPerDay;
  std::int64_t rest = ms % kMsPerDay;
  if (rest < 0) {
    rest += kMsPerDay;
    --days;
  }
  std::int64_t y = 0;
  unsigned m = 0;
  unsigned d = 0;
  CivilFromDays(days, y, m, d);
  const int secs = static_cast<int>(rest / 1000);
  const int milli = static_cast<int>(rest % 1000);
  if (y < 0 || y > 9999) {
    char wide[48];
    std::snprintf(wide, sizeof(wide), "%04lld-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<long long>(y), m, d, secs / 3600, secs / 60 % 60, secs % 60, milli);
    return wide;
  }
  char buf[] = "0000-00-00T00:00:00.000Z";
  const auto sec = static_cast<unsigned>(secs);
  PutDateTime(buf, static_cast<unsigned>(y), m, d, sec / 3600, sec / 60 % 60, sec % 60);
  PutDigits(buf, 20, 3, static_cast<unsigned>(milli));
  return std::string(buf, sizeof(buf) - 1);
}

std::string FormatRecordTime(const unsigned char* t) {
  const unsigned year = static_cast<unsigned>(t[0]) | static_cast<unsigned>(t[1]) << 8;
  bool wide_field = year > 9999;
  for (int i = 2; i < 7; ++i) wide_field = wide_field || t[i] > 99;
  if (wide_field) {
    char wide[32];
    std::snprintf(wide, sizeof(wide), "%u-%02u-%02u %02u:%02u:%02u", year, t[2], t[3], t[4], t[5],
                  t[6]);
    return wide;
  }
  char buf[] = "0000-00-00 00:00:00";
  PutDateTime(buf, year, t[2], t[3], t[4], t[5], t[6]);
  return std::string(buf, sizeof(buf) - 1);
}

std::string FormatLocalMs(std::int64_t ms) {
  std::tm tm{};
  if (!LocalTm(ms, tm)) return FormatUtcMs(ms);
  char buf[] = "0000-00-00 00:00:00";
  PutDateTime(buf, static_cast<unsigned>(tm.tm_year + 1900), static_cast<unsigned>(tm.tm_mon + 1),
              static_cast<unsigned>(tm.tm_mday), static_cast<unsigned>(tm.tm_hour),
              static_cast<unsigned>(tm.tm_min), static_cast<unsigned>(tm.tm_sec));
  return std::string(buf, sizeof(buf) - 1);
}

std::string LocalZone(std::int64_t ms) {
  std::tm tm{};
  if (!LocalTm(ms, tm)) return "UTC";
  const long off_min = tm.tm_gmtoff / 60;
  const unsigned mag = static_cast<unsigned>(off_min < 0 ? -off_min : off_min);
  char offset[] = "UTC+00:00";
  offset[3] = off_min < 0 ? '-' : '+';
  PutDigits(offset, 4, 2, mag / 60 % 100);
  PutDigits(offset, 7, 2, mag % 60);
  const std::string name = tm.tm_zone ? tm.tm_zone : "";
  return name.empty() ? offset : name + ", " + offset;
}

std::string Seconds(long long ms) {
  return std::to_string(ms / 1000) + "." + std::to_string((ms % 1000) / 100) + " s";
}

boost::optional<std::int64_t> ParseIsoMs(const std::string& s) {
  std::size_t pos = 0;
  int year = 0;
  int month = 0;
  int day = 0;
  if (!Digits(s, pos, 4, year) || !Expect(s, pos, '-') || !Digits(s, pos, 2, month) ||
      !Expect(s, pos, '-') || !Digits(s, pos, 2, day))
    return boost::none;
  if (month < 1 || month > 12 || day < 1 ||
      static_cast<unsigned>(day) > DaysInMonth(year, static_cast<unsigned>(month)))
    return boost::none;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millis = 0;
  std::int64_t offset_min = 0;
  if (pos < s.size()) {
    if (!Expect(s, pos, 'T') || !Digits(s, pos, 2, hour) || !Expect(s, pos, ':') ||
        !Digits(s, pos, 2, minute))
      return boost::none;
    if (pos < s.size() && s[pos] == ':') {
      ++pos;
      if (!Digits(s, pos, 2, second)) return boost::none;
      if (pos < s.size() && s[pos] == '.') {
        ++pos;
        const std::size_t first = pos;
        int scale = 100;
        while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
          millis += (s[pos] - '0') * scale;
          scale /= 10;
          ++pos;
        }
        if (pos == first || pos - first > 9) return boost::none;
      }
    }
    if (hour > 23 || minute > 59 || second > 59) return boost::none;
    if (pos < s.size()) {
      const char sign = s[pos++];
      if (sign == 'Z') {
        if (pos != s.size()) return boost::none;
      } else if (sign == '+' || sign == ' ' || sign == '-') {
        int oh = 0;
        int om = 0;
        if (!Digits(s, pos, 2, oh)) return boost::none;
        if (pos < s.size() && s[pos] == ':') ++pos;
        if (!Digits(s, pos, 2, om) || pos != s.size() || oh > 23 || om > 59) return boost::none;
        offset_min = (sign == '-' ? -1 : 1) * (oh * 60 + om);
      } else {
        return boost::none;
      }
    }
  }
  const std::int64_t ms =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * kMsPerDay +
      ((hour * 60 + minute) * 60 + second) * std::int64_t{1000} + millis - offset_min * 60000;
  return ms;
}

boost::optional<std::int64_t> ParseUtcMs(const std::string& s) {
  const auto ms = ParseIsoMs(s);
  // The year is refused before 1970 even where the zone brings the time past it.
  if (!ms || *ms < 0 || s.compare(0, 4, "1970") < 0) return boost::none;
  return ms;
}

}  // namespace controller
