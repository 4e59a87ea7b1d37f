// Millisecond ticks, local time, and FILETIME values (100 ns ticks since 1601-01-01).
#pragma once

#include <cstdint>
#include <optional>

namespace rexmoor {

std::uint32_t TickCountMs();

struct CivilTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

CivilTime LocalNow();

// Broken-down time to FILETIME, no time-zone shift; nullopt when the fields do not form a valid
// date and time (year 1601..30827, month 1..12, day valid for the month, 0..23:0..59:0..59, ms 0..999).
std::optional<std::uint64_t> CivilToFileTime(const CivilTime& t);
CivilTime FileTimeToCivil(std::uint64_t fileTime);
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// FILETIME of a Unix time in seconds (and back); used for file stamps.
std::uint64_t UnixToFileTime(std::int64_t seconds, std::uint32_t nanoseconds = 0);
std::int64_t FileTimeToUnix(std::uint64_t fileTime);

}  // namespace rexmoor
