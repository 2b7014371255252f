// Date and time values as the stored data and the administration pages know
// them: a day count since 1899-12-30 with the time of day as the fraction
// (so 0.0 is 1899-12-30 00:00:00.000 and the empty date). Local time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

struct TDateTime {
  double value = 0.0;
  auto operator<=>(const TDateTime&) const = default;
};

struct TDateTimeParts {
  int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0, msec = 0;
};

// Components to date; out-of-range components give false.
bool TryEncodeDateTime(const TDateTimeParts& p, TDateTime& out);
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec);
TDateTimeParts DecodeDateTime(TDateTime dt);
TDateTime Now();

// Formats with the tokens yyyy, yy, mm, dd, hh, nn, ss, zzz (letter case
// ignored); every other character is copied. E.g. "dd-mm-yyyy hh:nn:ss".
std::string FormatDateTime(std::string_view format, TDateTime dt);

}  // namespace qv
