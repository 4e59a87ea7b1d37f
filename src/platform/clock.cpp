#include "platform/clock.h"

#include <ctime>

namespace rexmoor {

namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
// Days from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kDaysFrom1601To1970 = 134774;

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

}  // namespace

std::uint32_t TickCountMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                    static_cast<std::uint64_t>(ts.tv_nsec) / 1'000'000u);
}

CivilTime LocalNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  localtime_r(&ts.tv_sec, &tm);
  return CivilTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                   tm.tm_min,         tm.tm_sec,     static_cast<int>(ts.tv_nsec / 1'000'000)};
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

std::optional<std::uint64_t> CivilToFileTime(const CivilTime& t) {
  if (t.year < 1601 || t.year > 30827) return std::nullopt;
  if (t.month < 1 || t.month > 12) return std::nullopt;
  if (t.day < 1 || t.day > DaysInMonth(t.year, t.month)) return std::nullopt;
  if (t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 || t.second > 59)
    return std::nullopt;
  if (t.millisecond < 0 || t.millisecond > 999) return std::nullopt;
  std::int64_t days = DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) +
                      kDaysFrom1601To1970;
  std::int64_t seconds = days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
  return static_cast<std::uint64_t>(seconds * kTicksPerSecond + std::int64_t{t.millisecond} * 10'000);
}

CivilTime FileTimeToCivil(std::uint64_t fileTime) {
  auto ticks = static_cast<std::int64_t>(fileTime / 10'000);  // milliseconds
  std::int64_t ms = ticks % 1000;
  std::int64_t secs = ticks / 1000;
  std::int64_t days = secs / 86400;
  std::int64_t rem = secs % 86400;
  CivilTime t;
  CivilFromDays(days - kDaysFrom1601To1970, t.year, t.month, t.day);
  t.hour = static_cast<int>(rem / 3600);
  t.minute = static_cast<int>(rem % 3600 / 60);
  t.second = static_cast<int>(rem % 60);
  t.millisecond = static_cast<int>(ms);
  return t;
}

std::uint64_t UnixToFileTime(std::int64_t seconds, std::uint32_t nanoseconds) {
  std::int64_t s = seconds + kDaysFrom1601To1970 * 86400;
  if (s < 0) return 0;
  return static_cast<std::uint64_t>(s) * kTicksPerSecond + nanoseconds / 100;
}

std::int64_t FileTimeToUnix(std::uint64_t fileTime) {
  return static_cast<std::int64_t>(fileTime / kTicksPerSecond) - kDaysFrom1601To1970 * 86400;
}

}  // namespace rexmoor
