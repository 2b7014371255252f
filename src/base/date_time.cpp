#include "base/date_time.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <fmt/format.h>

#include "base/text_utils.h"

namespace qv {

namespace {

constexpr double kMsPerDay = 86400000.0;

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
}

const int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);  // relative to 1970-01-01

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

}  // namespace

bool TryEncodeDateTime(const TDateTimeParts& p, TDateTime& out) {
  if (p.year < 1 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1 ||
      p.day > DaysInMonth(p.year, p.month) || p.hour < 0 || p.hour > 23 || p.minute < 0 ||
      p.minute > 59 || p.second < 0 || p.second > 59 || p.msec < 0 || p.msec > 999) {
    return false;
  }
  int64_t days = DaysFromCivil(p.year, static_cast<unsigned>(p.month), static_cast<unsigned>(p.day)) - kEpochOffset;
  int64_t ms = ((p.hour * 60LL + p.minute) * 60 + p.second) * 1000 + p.msec;
  // Before the epoch the fraction counts forward from the (negative) day, as
  // the stored format has always done: -1.25 is 1899-12-29 06:00.
  out.value = days >= 0 ? days + ms / kMsPerDay : days - ms / kMsPerDay;
  return true;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec) {
  TDateTime dt;
  TryEncodeDateTime({year, month, day, hour, minute, second, msec}, dt);
  return dt;
}

TDateTimeParts DecodeDateTime(TDateTime dt) {
  TDateTimeParts p;
  double whole = std::trunc(dt.value);
  int64_t ms = std::llround(std::fabs(dt.value - whole) * kMsPerDay);
  int64_t days = static_cast<int64_t>(whole);
  if (ms >= 86400000) {  // rounding reached the next day
    ms -= 86400000;
    days += dt.value >= 0 ? 1 : -1;
  }
  CivilFromDays(days + kEpochOffset, p.year, p.month, p.day);
  p.msec = static_cast<int>(ms % 1000);
  p.second = static_cast<int>(ms / 1000 % 60);
  p.minute = static_cast<int>(ms / 60000 % 60);
  p.hour = static_cast<int>(ms / 3600000);
  return p;
}

TDateTime Now() {
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  localtime_r(&secs, &local);
  return EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                        local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec, static_cast<int>(ms % 1000));
}

std::string FormatDateTime(std::string_view format, TDateTime dt) {
  TDateTimeParts p = DecodeDateTime(dt);
  std::string out;
  size_t i = 0;
  auto at = [&](std::string_view token) { return StartsText(token, format.substr(i)); };
  while (i < format.size()) {
    if (at("yyyy")) { out += fmt::format("{:04d}", p.year); i += 4; }
    else if (at("yy")) { out += fmt::format("{:02d}", p.year % 100); i += 2; }
    else if (at("mm")) { out += fmt::format("{:02d}", p.month); i += 2; }
    else if (at("dd")) { out += fmt::format("{:02d}", p.day); i += 2; }
    else if (at("hh")) { out += fmt::format("{:02d}", p.hour); i += 2; }
    else if (at("nn")) { out += fmt::format("{:02d}", p.minute); i += 2; }
    else if (at("ss")) { out += fmt::format("{:02d}", p.second); i += 2; }
    else if (at("zzz")) { out += fmt::format("{:03d}", p.msec); i += 3; }
    else { out += format[i]; ++i; }
  }
  return out;
}

}  // namespace qv
