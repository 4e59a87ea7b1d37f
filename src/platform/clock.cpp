#include "platform/clock.h"

#include <chrono>
#include <ctime>

namespace rexmoor {

namespace {

namespace chr = std::chrono;

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kDaysFrom1601To1970 =
    (chr::sys_days{chr::year{1970} / 1 / 1} - chr::sys_days{chr::year{1601} / 1 / 1}).count();
// The Gregorian calendar repeats every 400 years. chrono's year stops at 32767 while a FILETIME
// reaches 60056, so whole cycles are set aside before the conversion and added back after.
constexpr std::int64_t kDaysPer400Years = 146097;

// Days since 1970-01-01 of a proleptic Gregorian date inside chrono's year range.
std::int64_t DaysFromCivil(int y, unsigned m, unsigned d) {
  return chr::sys_days{chr::year{y} / chr::month{m} / chr::day{d}}.time_since_epoch().count();
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  const std::int64_t cycles = z >= 0 ? z / kDaysPer400Years : 0;
  const chr::year_month_day date{chr::sys_days{chr::days{z - cycles * kDaysPer400Years}}};
  year = static_cast<int>(date.year()) + static_cast<int>(cycles * 400);
  month = static_cast<int>(static_cast<unsigned>(date.month()));
  day = static_cast<int>(static_cast<unsigned>(date.day()));
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
  const std::int64_t days =
      DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) + kDaysFrom1601To1970;
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
