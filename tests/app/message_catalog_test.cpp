#include "app/message_catalog.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

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

// A program folder with a settings file and two language files.
class MessageCatalogTest : public ::testing::Test {
 protected:
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
};

TEST_F(MessageCatalogTest, LooksUpTextsBySectionAndKey) {
  MessageCatalog catalog(dir_.path());
  EXPECT_EQ(catalog.CurrentLanguage(), "English");
  EXPECT_EQ(catalog.SettingsPath(), dir_ / "config.ini");
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
    MessageCatalog catalog(dir_.path());
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
}

TEST_F(MessageCatalogTest, SetLanguageSwitchesAndPersists) {
  MessageCatalog catalog(dir_.path());
  ASSERT_EQ(catalog.Msg("MSG0102"), "Done");
  ASSERT_TRUE(catalog.SetLanguage("German"));
  EXPECT_EQ(catalog.CurrentLanguage(), "German");
  EXPECT_EQ(catalog.Msg("MSG0101"), "Suche...");
  EXPECT_EQ(catalog.Text("MainWnd", "btnStart"), "Starten");
  // Sections of the previous language are gone, not merged.
  EXPECT_EQ(catalog.Msg("MSG0102"), "");
  EXPECT_TRUE(catalog.Section("EnglishOnly").empty());
  // The choice is stored, and the language list survives the rewrite.
  MessageCatalog reopened(dir_.path());
  EXPECT_EQ(reopened.CurrentLanguage(), "German");
  EXPECT_EQ(reopened.Languages().size(), 2u);
  EXPECT_EQ(reopened.Msg("MSG0101"), "Suche...");

  ASSERT_TRUE(catalog.SetLanguage("English"));
  EXPECT_EQ(catalog.Msg("MSG0102"), "Done");

  // Names that would leave the language folder or break the settings file are refused.
  const std::string settings = ReadText(dir_ / "config.ini");
  EXPECT_FALSE(catalog.SetLanguage("../German"));
  EXPECT_FALSE(catalog.SetLanguage("German\n[Evil]"));
  EXPECT_EQ(ReadText(dir_ / "config.ini"), settings);
  EXPECT_EQ(catalog.CurrentLanguage(), "English");
}

TEST_F(MessageCatalogTest, SetLanguageCreatesAMissingSettingsFile) {
  ASSERT_EQ(::unlink((dir_ / "config.ini").c_str()), 0);
  MessageCatalog catalog(dir_.path());
  EXPECT_EQ(catalog.CurrentLanguage(), "English");
  ASSERT_TRUE(catalog.SetLanguage("German"));
  EXPECT_EQ(MessageCatalog(dir_.path()).CurrentLanguage(), "German");
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
  WriteText(resources / "English.ini", "[Messages]\nMSG0101=from resources\n");
  MessageCatalog fallback(program.path(), resources.path());
  EXPECT_EQ(fallback.LanguageFolder(), resources.path() + "/");
  EXPECT_EQ(fallback.Msg("MSG0101"), "from resources");
  // The settings file stays beside the program either way.
  EXPECT_EQ(fallback.SettingsPath(), program / "config.ini");

  ASSERT_EQ(::mkdir((program / "Languages").c_str(), 0755), 0);
  MessageCatalog beside(program.path(), resources.path());
  EXPECT_EQ(beside.LanguageFolder(), program / "Languages/");
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
  EXPECT_EQ(catalog.SettingsPath(), folder + "config.ini");
  // Beside the program, under the install prefix, or one folder up in the build tree; never in
  // the source checkout. Wherever it is, the texts come from it.
  const std::string languages = catalog.LanguageFolder();
  EXPECT_TRUE(languages == folder + "Languages/" || languages == folder + "../share/rexmoor/Languages/" ||
              languages == folder + "../Languages/")
      << languages;
  EXPECT_EQ(::stat((languages + "English.ini").c_str(), &st), 0) << languages;
  EXPECT_EQ(catalog.Msg("MSG0703"), "Scanning image");
}

}  // namespace
}  // namespace rexmoor
