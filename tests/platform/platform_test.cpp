#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "platform/clock.h"
#include "platform/data_dir.h"
#include "platform/file_handle.h"
#include "platform/ini_profile.h"
#include "platform/lazy_library.h"
#include "platform/memory.h"
#include "platform/result_codes.h"
#include "platform/text.h"
#include "test_support.h"

namespace rexmoor {
namespace {

TEST(ResultCodes, ErrnoMapsToClassicCodesWithTheSystemsTexts) {
  EXPECT_EQ(ResultFromErrno(ENOENT), kErrFileNotFound);
  EXPECT_EQ(ResultFromErrno(EACCES), kErrAccessDenied);
  EXPECT_EQ(ResultFromErrno(ENOSPC), kErrDiskFull);
  EXPECT_EQ(ResultFromErrno(EEXIST), kErrAlreadyExists);
  EXPECT_EQ(ResultFromErrno(ENOMEM), kErrNotEnoughMemory);
  EXPECT_EQ(ResultFromErrno(12345), kErrGenFailure);
  // The system's own wording, the one every other program here shows.
  for (const auto& [code, text] : std::vector<std::pair<Result, std::string>>{
           {kErrDiskFull, "No space left on device"},
           {kErrFileNotFound, "No such file or directory"},
           {kErrAccessDenied, "Permission denied"},
           {kErrDirectory, "Not a directory"},
           {kErrReadFault, "Input/output error"}})
    EXPECT_EQ(ResultMessage(code), text);
  EXPECT_EQ(ResultMessage(ResultFromErrno(EROFS)), "Read-only file system");
  EXPECT_NE(ResultMessage(kCancelled).find("Cancelled"), std::string::npos);
  EXPECT_NE(ResultMessage(4242).find("4242"), std::string::npos);
}

TEST(Text, Utf8AndUtf16RoundTripAndBadInputIsReplaced) {
  const std::string text = "Fot\xC3\xB6 \xE2\x82\xAC \xF0\x9F\x93\xB7.jpg";  // ö, €, a camera emoji
  std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide.size(), 13u);  // the emoji takes a surrogate pair
  EXPECT_EQ(Utf16ToUtf8(wide), text);
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), std::u16string(u"\uFFFD"));   // overlong '/'
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), std::u16string(u"\uFFFD"));  // encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("ab\xE2"), std::u16string(u"ab\uFFFD"));     // cut sequence
  std::u16string lone = u"a";
  lone.push_back(static_cast<char16_t>(0xD800));
  EXPECT_EQ(Utf16ToUtf8(lone), "a\xEF\xBF\xBD");
}

TEST(Text, TruncationNeverSplitsACharacter) {
  const std::string text = "a\xE2\x82\xAC" "b";  // a € b
  EXPECT_EQ(TruncateUtf8(text, 5), text);
  EXPECT_EQ(TruncateUtf8(text, 3), "a");
  EXPECT_EQ(TruncateUtf8(text, 4), "a\xE2\x82\xAC");
  char field[4];
  CopyToField(text, field, sizeof(field));
  EXPECT_EQ(FieldText(field, sizeof(field)), "a");
  EXPECT_EQ(CompareNoCase("ABC", "abd"), -1);
  EXPECT_EQ(CompareNoCase("abc", "ABC"), 0);
  EXPECT_EQ(CompareNoCase("ab", "ABC"), -1);
  EXPECT_EQ(Format("%s-%03d", "x", 7), "x-007");
}

TEST(Clock, CivilDatesConvertToFileTimesAndBack) {
  EXPECT_EQ(CivilToFileTime({1601, 1, 1, 0, 0, 0, 0}), 0u);
  // 1970-01-01 is 11,644,473,600 seconds after 1601-01-01.
  EXPECT_EQ(CivilToFileTime({1970, 1, 1, 0, 0, 0, 0}), 116444736000000000ULL);
  EXPECT_EQ(UnixToFileTime(0), 116444736000000000ULL);
  auto leapDay = CivilToFileTime({2024, 2, 29, 23, 59, 58, 990});
  ASSERT_TRUE(leapDay.has_value());
  CivilTime back = FileTimeToCivil(*leapDay);
  EXPECT_EQ(back.year, 2024);
  EXPECT_EQ(back.month, 2);
  EXPECT_EQ(back.day, 29);
  EXPECT_EQ(back.second, 58);
  EXPECT_EQ(back.millisecond, 990);
  EXPECT_EQ(FileTimeToUnix(*CivilToFileTime({2001, 9, 9, 1, 46, 40, 0})), 1000000000);
  EXPECT_FALSE(CivilToFileTime({2023, 2, 29, 0, 0, 0, 0}).has_value());
  EXPECT_FALSE(CivilToFileTime({1900, 2, 29, 0, 0, 0, 0}).has_value());
  EXPECT_TRUE(CivilToFileTime({2000, 2, 29, 0, 0, 0, 0}).has_value());
  EXPECT_FALSE(CivilToFileTime({2020, 13, 1, 0, 0, 0, 0}).has_value());
  EXPECT_FALSE(CivilToFileTime({2020, 4, 31, 0, 0, 0, 0}).has_value());
  EXPECT_FALSE(CivilToFileTime({2020, 1, 1, 24, 0, 0, 0}).has_value());
  EXPECT_FALSE(CivilToFileTime({2020, 1, 1, 0, 60, 0, 0}).has_value());
  EXPECT_FALSE(CivilToFileTime({2020, 1, 1, 0, 0, 60, 0}).has_value());
  std::uint32_t t0 = TickCountMs();
  EXPECT_LE(t0, TickCountMs());
}

// Times from a hostile medium can be any 64-bit value, far past the years a calendar library covers.
TEST(Clock, EveryFileTimeGivesAValidDateThatFollowsTheDayBefore) {
  const CivilTime last = FileTimeToCivil(~std::uint64_t{0});
  EXPECT_EQ(std::vector<int>({last.year, last.month, last.day, last.hour, last.minute, last.second, last.millisecond}),
            std::vector<int>({60056, 5, 28, 5, 36, 10, 955}));
  const CivilTime signedMax = FileTimeToCivil(0x7FFFFFFFFFFFFFFFULL);
  EXPECT_EQ(std::vector<int>({signedMax.year, signedMax.month, signedMax.day, signedMax.hour}),
            std::vector<int>({30828, 9, 14, 2}));

  constexpr std::uint64_t kDay = 86400ULL * 10'000'000ULL;
  const std::uint64_t lastDay = ~std::uint64_t{0} / kDay;
  // Stretches of days: from 1601, around 1970, across 400-year cycles (1970 + 400 and 1970 + 32000
  // years), to the last day, and spread over all.
  constexpr std::uint64_t kDaysTo1970 = 134774;
  constexpr std::uint64_t kCycle = 146097;
  std::vector<std::uint64_t> starts = {0, kDaysTo1970 - 400, kDaysTo1970 + kCycle - 400,
                                       kDaysTo1970 + 80 * kCycle - 400, lastDay - 800};
  for (std::uint64_t d = 1; d < lastDay - 3; d += 999'983) starts.push_back(d);
  for (std::uint64_t start : starts) {
    CivilTime before = FileTimeToCivil(start * kDay);
    for (std::uint64_t d = start + 1; d < start + 800 && d <= lastDay; ++d) {
      const CivilTime t = FileTimeToCivil(d * kDay);
      ASSERT_TRUE(t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= DaysInMonth(t.year, t.month))
          << "day " << d << ": " << t.year << "-" << t.month << "-" << t.day;
      const bool nextDay = t.year == before.year && t.month == before.month && t.day == before.day + 1;
      const bool nextMonth = t.year == before.year && t.month == before.month + 1 && t.day == 1 &&
                             before.day == DaysInMonth(before.year, before.month);
      const bool nextYear = t.year == before.year + 1 && t.month == 1 && t.day == 1 && before.month == 12 &&
                            before.day == 31;
      ASSERT_TRUE(nextDay || nextMonth || nextYear) << "day " << d << ": " << t.year << "-" << t.month << "-" << t.day;
      if (t.year <= 30827) {
        ASSERT_EQ(CivilToFileTime({t.year, t.month, t.day, 0, 0, 0, 0}), d * kDay) << "day " << d;
      }
      before = t;
    }
  }
}

// A sweep reads straight into its page buffers, past the cache too: each must start on a 4 KiB
// boundary and be writable to its last byte, whatever its size.
TEST(LargeBuffer, AlignedAndWholeForAnySize) {
  for (const std::size_t bytes : {std::size_t{1}, std::size_t{4096}, std::size_t{2} << 20, (std::size_t{16} << 20) + 1536}) {
    std::uint8_t* at = AllocateLargeBuffer(bytes);
    ASSERT_NE(at, nullptr) << bytes;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(at) % 4096, 0u) << bytes;
    std::memset(at, 0xA5, bytes);
    EXPECT_EQ(at[bytes - 1], 0xA5) << bytes;
    FreeLargeBuffer(at, bytes);
  }
  EXPECT_EQ(AllocateLargeBuffer(0), nullptr);
  FreeLargeBuffer(nullptr, 4096);
}

TEST(LazyLibrary, LoadsWhatItNamesOrSaysWhyItCannot) {
  // A library that is there, with the functions declared for it.
  LazyLibrary zlib("libz.so.1");
  const LazyFunction<decltype(::zlibVersion)> version{zlib, "zlibVersion"};
  const LazyFunction<decltype(::crc32)> crc{zlib, "crc32"};
  std::string error;
  ASSERT_TRUE(zlib.Load(&error)) << error;
  EXPECT_STREQ(version(), ::zlibVersion());
  const unsigned char text[] = "123456789";
  EXPECT_EQ(crc(0ul, text, 9u), 0xCBF43926ul);
  // One that is not, and one that lacks a function named for it: refused every time, with a reason.
  LazyLibrary missing("librexmoor-none.so.0");
  LazyLibrary older("libz.so.1");
  const LazyFunction<int()> absent{older, "rexmoor_no_such_function"};
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_FALSE(missing.Load(&error));
    EXPECT_NE(error.find("librexmoor-none.so.0 cannot be loaded"), std::string::npos) << error;
    EXPECT_FALSE(older.Load(&error));
    EXPECT_NE(error.find("lacks rexmoor_no_such_function"), std::string::npos) << error;
  }
  // The command line starts without the libraries it loads on demand (nor what they bring).
  std::string loaded;
  ASSERT_EQ(test::RunCommand("LD_TRACE_LOADED_OBJECTS=1 " REXMOOR_CLI_PATH, &loaded), 0);
  EXPECT_NE(loaded.find("libblkid"), std::string::npos) << loaded;
  for (const char* lazy :
       {"libarchive", "libxml2", "libicu", "libsystemd", "libcrypto", "libewf", "libvhdi", "libvmdk", "libqcow"})
    EXPECT_EQ(loaded.find(lazy), std::string::npos) << lazy << " is loaded at start:\n" << loaded;
}

TEST(IniProfile, SectionsKeysAndRewrites) {
  test::TempDir dir;
  const std::string path = dir / "settings.ini";
  {
    std::string text = "\xEF\xBB\xBF[DefaultLanguage]\r\nDefault=Deutsch\r\n\r\n[Languages]\r\nEnglish=English\r\n"
                       "Deutsch=Deutsch (Deutschland)\r\n; comment\r\n[Messages]\r\nMSG0101=a=b\r\nMSG0102=\" padded \"\r\n";
    test::WriteFileBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
  }
  IniProfile profile;
  ASSERT_TRUE(profile.Load(path));
  EXPECT_EQ(profile.Get("defaultlanguage", "DEFAULT"), "Deutsch");
  auto languages = profile.Section("Languages");
  ASSERT_EQ(languages.size(), 2u);
  EXPECT_EQ(languages[1].second, "Deutsch (Deutschland)");
  EXPECT_EQ(profile.Get("Messages", "MSG0101"), "a=b");  // split at the first '='
  EXPECT_EQ(profile.Get("Messages", "MSG0102"), " padded ");
  EXPECT_EQ(profile.Get("Messages", "MSG9999", "none"), "none");
  EXPECT_EQ(profile.SectionNames().size(), 3u);

  ASSERT_TRUE(WriteProfileString(path, "DefaultLanguage", "Default", "English"));
  ASSERT_TRUE(WriteProfileString(path, "New", "Key", "Value"));
  IniProfile reread;
  ASSERT_TRUE(reread.Load(path));
  EXPECT_EQ(reread.Get("DefaultLanguage", "Default"), "English");
  EXPECT_EQ(reread.Get("New", "Key"), "Value");
  EXPECT_EQ(reread.Section("Languages").size(), 2u);

  IniProfile missing;
  EXPECT_FALSE(missing.Load(dir / "absent.ini"));
  EXPECT_TRUE(missing.SectionNames().empty());
}

TEST(DataDir, EnvironmentOverrideComesFirst) {
  test::ScopedDataDir data;
  EXPECT_EQ(UserDataDir(), data.path());
  setenv("REXMOOR_DATA_DIR", (data.path() + "//").c_str(), 1);
  EXPECT_EQ(UserDataDir(), data.path());
  unsetenv("REXMOOR_DATA_DIR");
  const char* home = std::getenv("HOME");
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg == nullptr && home != nullptr) {
    EXPECT_EQ(UserDataDir(), std::string(home) + "/.local/share");
  }
  EXPECT_EQ(CreateFolderTree(data.path() + "/a/b/c"), kSuccess);
  EXPECT_EQ(CreateFolderTree(data.path() + "/a/b/c"), kSuccess);
}

}  // namespace
}  // namespace rexmoor
