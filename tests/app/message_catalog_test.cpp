#include "app/message_catalog.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace rexmoor {
namespace {

void WriteText(const std::string& path, const std::string& text) {
  test::WriteFileBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}
std::string ReadText(const std::string& path) {
  const auto bytes = test::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}
bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}
mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Sets (or with nullptr unsets) an environment variable for the object's lifetime.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      had_ = true;
      old_ = old;
    }
    if (value != nullptr)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_)
      ::setenv(name_.c_str(), old_.c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

// A program folder with a shipped settings file and two language files, and a user settings
// file (not there yet) in a folder of its own.
class MessageCatalogTest : public ::testing::Test {
 protected:
  MessageCatalog Open() const { return MessageCatalog(dir_.path(), {}, UserFile()); }
  std::string UserFile() const { return user_ / "rexmoor/config.ini"; }

  void SetUp() override {
    ASSERT_EQ(::mkdir((dir_ / "Languages").c_str(), 0755), 0);
    WriteText(dir_ / "config.ini",
              "[DefaultLanguage]\nDefault=English\n\n[Languages]\nEnglish=English\nDeutsch=German\n");
    WriteText(dir_ / "Languages/English.ini",
              "[Messages]\nMSG0101=Scanning...\nMSG0102=Done\n\n"
              "[MainWnd]\nbtnStart=Start\nbtnRecover=Recover\n\n[EnglishOnly]\nk=v\n");
    WriteText(dir_ / "Languages/German.ini",
              "[Messages]\nMSG0101=Suche...\n\n[MainWnd]\nbtnStart=Starten\n");
  }

  test::TempDir dir_;
  test::TempDir user_;
};

TEST_F(MessageCatalogTest, LooksUpTextsBySectionAndKey) {
  MessageCatalog catalog = Open();
  EXPECT_EQ(catalog.CurrentLanguage(), "English");
  EXPECT_EQ(catalog.SettingsPath(), UserFile());
  EXPECT_EQ(catalog.ShippedSettingsPath(), dir_ / "config.ini");
  EXPECT_EQ(catalog.LanguageFolder(), dir_ / "Languages/");
  EXPECT_EQ(catalog.Msg("MSG0101"), "Scanning...");
  EXPECT_EQ(catalog.Text("MainWnd", "btnRecover"), "Recover");
  MessageCatalog::SectionMap& main = catalog.Section("MainWnd");
  EXPECT_EQ(main.size(), 2u);
  EXPECT_EQ(catalog.Text(main, "btnStart"), "Start");
  const MessageCatalog::LanguageList expected = {{"English", "English"}, {"Deutsch", "German"}};
  EXPECT_EQ(catalog.Languages(), expected);
}

TEST_F(MessageCatalogTest, MissingKeysGiveEmptyTextAndNeverTouchTheFiles) {
  const std::string settingsBefore = ReadText(dir_ / "config.ini");
  const std::string languageBefore = ReadText(dir_ / "Languages/English.ini");
  {
    MessageCatalog catalog = Open();
    for (int round = 0; round < 3; ++round) {
      EXPECT_EQ(catalog.Msg("MSG9999"), "");
      EXPECT_EQ(catalog.Text("MainWnd", "noSuchControl"), "");
      EXPECT_EQ(catalog.Text("NoSuchSection", "MSG0101"), "");
    }
    // The missing key now sits in memory with an empty text; the others are untouched.
    const MessageCatalog::SectionMap& messages = catalog.Section("Messages");
    EXPECT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages.at("MSG9999"), "");
    EXPECT_EQ(catalog.Msg("MSG0102"), "Done");
    EXPECT_TRUE(catalog.Section("NoSuchSection").count("MSG0101") == 1);
    EXPECT_TRUE(catalog.Section("AnotherMissing").empty());
  }
  EXPECT_EQ(ReadText(dir_ / "config.ini"), settingsBefore);
  EXPECT_EQ(ReadText(dir_ / "Languages/English.ini"), languageBefore);
  EXPECT_FALSE(Exists(user_ / "rexmoor"));
}

TEST_F(MessageCatalogTest, SetLanguageSwitchesAndPersists) {
  MessageCatalog catalog = Open();
  ASSERT_EQ(catalog.Msg("MSG0102"), "Done");
  ASSERT_TRUE(catalog.SetLanguage("German"));
  EXPECT_EQ(catalog.CurrentLanguage(), "German");
  EXPECT_EQ(catalog.Msg("MSG0101"), "Suche...");
  EXPECT_EQ(catalog.Text("MainWnd", "btnStart"), "Starten");
  // Sections of the previous language are gone, not merged.
  EXPECT_EQ(catalog.Msg("MSG0102"), "");
  EXPECT_TRUE(catalog.Section("EnglishOnly").empty());
  // The choice is stored, and the language list is still the shipped one.
  MessageCatalog reopened = Open();
  EXPECT_EQ(reopened.CurrentLanguage(), "German");
  EXPECT_EQ(reopened.Languages().size(), 2u);
  EXPECT_EQ(reopened.Msg("MSG0101"), "Suche...");

  ASSERT_TRUE(catalog.SetLanguage("English"));
  EXPECT_EQ(catalog.Msg("MSG0102"), "Done");

  // Names that would leave the language folder or break the settings file are refused.
  const std::string settings = ReadText(UserFile());
  EXPECT_FALSE(catalog.SetLanguage("../German"));
  EXPECT_FALSE(catalog.SetLanguage("German\n[Evil]"));
  EXPECT_EQ(ReadText(UserFile()), settings);
  EXPECT_EQ(catalog.CurrentLanguage(), "English");
}

TEST_F(MessageCatalogTest, SetLanguageCreatesAMissingSettingsFile) {
  ASSERT_EQ(::unlink((dir_ / "config.ini").c_str()), 0);
  MessageCatalog catalog = Open();
  EXPECT_EQ(catalog.CurrentLanguage(), "English");
  ASSERT_TRUE(catalog.SetLanguage("German"));
  EXPECT_EQ(Open().CurrentLanguage(), "German");
  // The user's folder is made private; no shipped file appears.
  EXPECT_EQ(ModeOf(user_ / "rexmoor"), 0700u);
  EXPECT_FALSE(Exists(dir_ / "config.ini"));
}

TEST_F(MessageCatalogTest, TheChoiceGoesToTheUserFileOnly) {
  const std::string shipped = ReadText(dir_ / "config.ini");
  {
    MessageCatalog catalog = Open();
    ASSERT_TRUE(catalog.SetLanguage("German"));
    ASSERT_TRUE(catalog.SetLanguage("German"));  // a second write replaces, not appends
  }
  EXPECT_EQ(ReadText(dir_ / "config.ini"), shipped);
  EXPECT_EQ(ReadText(UserFile()), "[DefaultLanguage]\nDefault=German\n\n");
  // A catalog without a user file sees the shipped default and cannot store a choice.
  MessageCatalog shippedOnly(dir_.path());
  EXPECT_EQ(shippedOnly.CurrentLanguage(), "English");
  EXPECT_TRUE(shippedOnly.SettingsPath().empty());
  EXPECT_FALSE(shippedOnly.SetLanguage("German"));
  EXPECT_EQ(shippedOnly.CurrentLanguage(), "English");
  EXPECT_EQ(ReadText(dir_ / "config.ini"), shipped);

  // The user's file picks the language and nothing else; a blank choice means the shipped one.
  WriteText(UserFile(), "[Languages]\nKlingon=Klingon\n[DefaultLanguage]\nDefault= German \n");
  MessageCatalog extra = Open();
  EXPECT_EQ(extra.CurrentLanguage(), "German");
  EXPECT_EQ(extra.Msg("MSG0101"), "Suche...");
  const MessageCatalog::LanguageList expected = {{"English", "English"}, {"Deutsch", "German"}};
  EXPECT_EQ(extra.Languages(), expected);
  WriteText(UserFile(), "[DefaultLanguage]\nDefault=\n");
  EXPECT_EQ(Open().CurrentLanguage(), "English");
  // Other lines of the user's file survive a new choice.
  WriteText(UserFile(), "[Window]\nwidth=800\n");
  ASSERT_TRUE(Open().SetLanguage("German"));
  EXPECT_EQ(ReadText(UserFile()), "[Window]\nwidth=800\n\n[DefaultLanguage]\nDefault=German\n\n");
}

TEST_F(MessageCatalogTest, AnUnwritableUserFolderFailsTheChoiceOnly) {
  // A file where a folder should be stops even root.
  WriteText(user_ / "blocker", "");
  MessageCatalog blocked(dir_.path(), {}, user_ / "blocker/rexmoor/config.ini");
  EXPECT_FALSE(blocked.SetLanguage("German"));
  EXPECT_EQ(blocked.CurrentLanguage(), "English");
  EXPECT_EQ(blocked.Msg("MSG0102"), "Done");
  EXPECT_EQ(ReadText(user_ / "blocker"), "");

  ASSERT_EQ(::mkdir((user_ / "folder.ini").c_str(), 0700), 0);
  MessageCatalog isFolder(dir_.path(), {}, user_ / "folder.ini");
  EXPECT_FALSE(isFolder.SetLanguage("German"));
  EXPECT_EQ(isFolder.CurrentLanguage(), "English");

  if (::geteuid() != 0) {
    ASSERT_EQ(::mkdir((user_ / "locked").c_str(), 0500), 0);
    MessageCatalog locked(dir_.path(), {}, user_ / "locked/rexmoor/config.ini");
    EXPECT_FALSE(locked.SetLanguage("German"));
    EXPECT_EQ(locked.Msg("MSG0101"), "Scanning...");
    EXPECT_FALSE(Exists(user_ / "locked/rexmoor"));
    ::chmod((user_ / "locked").c_str(), 0700);
  }
}

TEST(MessageCatalogFilesTest, UserSettingsFollowXdgConfigHomeElseHome) {
  test::TempDir home;
  ScopedEnv setHome("HOME", home.path().c_str());
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", "/somewhere/config/");
    EXPECT_EQ(UserSettingsPath(), "/somewhere/config/rexmoor/config.ini");
  }
  for (const char* notAbsolute : {"relative/config", ""}) {
    ScopedEnv xdg("XDG_CONFIG_HOME", notAbsolute);
    EXPECT_EQ(UserSettingsPath(), home / ".config/rexmoor/config.ini") << notAbsolute;
  }
  ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
  ASSERT_EQ(UserSettingsPath(), home / ".config/rexmoor/config.ini");

  // The first choice creates ~/.config and its rexmoor folder, both private.
  test::TempDir program;
  ASSERT_EQ(::mkdir((program / "Languages").c_str(), 0755), 0);
  WriteText(program / "Languages/German.ini", "[Messages]\nMSG0101=Suche...\n");
  MessageCatalog catalog(program.path(), {}, UserSettingsPath());
  ASSERT_TRUE(catalog.SetLanguage("German"));
  EXPECT_EQ(ModeOf(home / ".config"), 0700u);
  EXPECT_EQ(ModeOf(home / ".config/rexmoor"), 0700u);
  EXPECT_EQ(MessageCatalog(program.path(), {}, UserSettingsPath()).Msg("MSG0101"), "Suche...");
  EXPECT_FALSE(Exists(program / "config.ini"));
}

TEST_F(MessageCatalogTest, ApplySectionSetsEveryNamedControl) {
  MessageCatalog catalog(dir_.path());
  std::vector<std::pair<std::string, std::string>> applied;
  catalog.ApplySection("MainWnd", [&](const std::string& name, const std::string& text) {
    applied.emplace_back(name, text);
  });
  const std::vector<std::pair<std::string, std::string>> expected = {{"btnRecover", "Recover"},
                                                                     {"btnStart", "Start"}};
  EXPECT_EQ(applied, expected);
  applied.clear();
  catalog.ApplySection("NoSuchWnd", [&](const std::string& name, const std::string& text) {
    applied.emplace_back(name, text);
  });
  EXPECT_TRUE(applied.empty());
  // The callback may itself look texts up.
  catalog.ApplySection("Messages", [&](const std::string& name, const std::string&) {
    applied.emplace_back(name, catalog.Text("MainWnd", "btnStart"));
  });
  EXPECT_EQ(applied.size(), 2u);
}

TEST(MessageCatalogFilesTest, MissingSettingsAndLanguageFiles) {
  test::TempDir dir;
  {
    MessageCatalog catalog(dir.path() + "/");
    EXPECT_EQ(catalog.CurrentLanguage(), "English");
    EXPECT_TRUE(catalog.Languages().empty());
    EXPECT_EQ(catalog.Msg("MSG0101"), "");
    EXPECT_TRUE(catalog.Section("MainWnd").empty());
  }
  // A language named in the settings whose file is absent: every text is empty.
  ASSERT_EQ(::mkdir((dir / "Languages").c_str(), 0755), 0);
  WriteText(dir / "config.ini", "[DefaultLanguage]\nDefault=Klingon\n");
  WriteText(dir / "Languages/English.ini", "[Messages]\nMSG0101=Scanning...\n");
  MessageCatalog catalog(dir.path());
  EXPECT_EQ(catalog.CurrentLanguage(), "Klingon");
  EXPECT_EQ(catalog.LanguageFilePath(), dir / "Languages/Klingon.ini");
  EXPECT_EQ(catalog.Msg("MSG0101"), "");
  int calls = 0;
  catalog.ApplySection("MainWnd", [&](const std::string&, const std::string&) { ++calls; });
  EXPECT_EQ(calls, 0);
  // Keys looked up before are there, but only with empty texts.
  catalog.ApplySection("Messages", [&](const std::string& key, const std::string& text) {
    EXPECT_EQ(key, "MSG0101");
    EXPECT_EQ(text, "");
    ++calls;
  });
  EXPECT_EQ(calls, 1);
}

TEST(MessageCatalogFilesTest, CrlfAndOddLinesParseSanely) {
  test::TempDir dir;
  ASSERT_EQ(::mkdir((dir / "Languages").c_str(), 0755), 0);
  const std::string longName(100, 'L');
  WriteText(dir / "config.ini",
            "\xEF\xBB\xBF[DefaultLanguage]\r\nDefault = Odd\r\n[Languages]\r\nOdd=Odd file\r\n"
            "NoEquals\r\n");
  WriteText(dir / "Languages/Odd.ini",
            "\xEF\xBB\xBF; a comment\r\n"
            "stray=before any section\r\n"
            "[Messages]\r\n"
            "\r\n"
            "MSG0101=Found %d files\r\n"
            "  MSG0102  =Equation a=b=c\r\n"
            "MSG0103=\r\n"
            "MSG0104=Grüße, été\r\n"
            "MSG0101=second definition\r\n"
            "just a line\r\n"
            "[ MainWnd ]\r\n"
            "lblTitle=Title\r");
  MessageCatalog catalog(dir.path());
  EXPECT_EQ(catalog.CurrentLanguage(), "Odd");
  const MessageCatalog::LanguageList expected = {{"Odd", "Odd file"}, {"NoEquals", ""}};
  EXPECT_EQ(catalog.Languages(), expected);
  EXPECT_EQ(catalog.Msg("MSG0101"), "Found %d files");  // the first definition wins
  EXPECT_EQ(catalog.Msg("MSG0102"), "Equation a=b=c");
  EXPECT_EQ(catalog.Msg("MSG0103"), "");
  EXPECT_EQ(catalog.Msg("MSG0104"), "Grüße, été");
  EXPECT_EQ(catalog.Text("MainWnd", "lblTitle"), "Title");
  EXPECT_TRUE(catalog.Section("Messages").count("just a line") == 1);
  EXPECT_EQ(catalog.Msg("stray"), "");
  for (const auto& [key, text] : catalog.Section("Messages")) {
    EXPECT_EQ(key.find('\r'), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
  }

  // The stored language name is read into a 64-character buffer.
  WriteText(dir / "config.ini", "[DefaultLanguage]\nDefault=" + longName + "\n");
  EXPECT_EQ(MessageCatalog(dir.path()).CurrentLanguage(), longName.substr(0, 63));
}

TEST(MessageCatalogFilesTest, FallsBackToAnotherLanguageFolderOnlyWhenNoneIsBesideTheProgram) {
  test::TempDir program;
  test::TempDir resources;
  test::TempDir user;
  ASSERT_EQ(::mkdir((resources / "Languages").c_str(), 0755), 0);
  WriteText(resources / "Languages/English.ini", "[Messages]\nMSG0101=from resources\n");
  WriteText(resources / "config.ini", "[Languages]\nEnglish=English\n");
  MessageCatalog fallback(program.path(), resources / "Languages", user / "config.ini");
  EXPECT_EQ(fallback.LanguageFolder(), resources / "Languages/");
  EXPECT_EQ(fallback.Msg("MSG0101"), "from resources");
  // The shipped settings come with the language files; the user's stay where they were given.
  EXPECT_EQ(fallback.ShippedSettingsPath(), resources / "config.ini");
  EXPECT_EQ(fallback.Languages().size(), 1u);
  EXPECT_EQ(fallback.SettingsPath(), user / "config.ini");

  // Shipped settings beside the program win even then.
  WriteText(program / "config.ini", "[Languages]\nEnglish=English\nDeutsch=German\n");
  EXPECT_EQ(MessageCatalog(program.path(), resources / "Languages").Languages().size(), 2u);

  ASSERT_EQ(::mkdir((program / "Languages").c_str(), 0755), 0);
  MessageCatalog beside(program.path(), resources / "Languages");
  EXPECT_EQ(beside.LanguageFolder(), program / "Languages/");
  EXPECT_EQ(beside.ShippedSettingsPath(), program / "config.ini");
  EXPECT_EQ(beside.Msg("MSG0101"), "");
}

TEST(MessageCatalogFilesTest, ProcessWideCatalogLivesBesideTheProgram) {
  MessageCatalog& catalog = GetMessageCatalog();
  EXPECT_EQ(&catalog, &GetMessageCatalog());
  const std::string& folder = ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0) << folder;
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(catalog.SettingsPath(), UserSettingsPath());
  // Beside the program, under the install prefix, or one folder up in the build tree; never in
  // the source checkout. Wherever it is, the texts come from it, and the shipped settings with it.
  const std::string languages = catalog.LanguageFolder();
  EXPECT_TRUE(languages == folder + "Languages/" || languages == folder + "../share/rexmoor/Languages/" ||
              languages == folder + "../Languages/")
      << languages;
  EXPECT_EQ(::stat((languages + "English.ini").c_str(), &st), 0) << languages;
  const std::string suffix = "Languages/";
  ASSERT_GE(languages.size(), suffix.size());
  EXPECT_EQ(catalog.ShippedSettingsPath(), languages.substr(0, languages.size() - suffix.size()) + "config.ini");
  EXPECT_EQ(::stat(catalog.ShippedSettingsPath().c_str(), &st), 0) << catalog.ShippedSettingsPath();
  const MessageCatalog::LanguageList languageList = catalog.Languages();
  EXPECT_NE(std::find(languageList.begin(), languageList.end(),
                      std::make_pair(std::string("English"), std::string("English"))),
            languageList.end());
  // A language picked by whoever runs the tests changes the text, not the lookup.
  if (catalog.CurrentLanguage() == "English") {
    EXPECT_EQ(catalog.Msg("MSG0703"), "Scanning image");
  }
  EXPECT_EQ(::stat(catalog.LanguageFilePath().c_str(), &st), 0) << catalog.LanguageFilePath();
}

}  // namespace
}  // namespace rexmoor
