// Names from a medium made safe as file names: nothing that escapes, deceives or does not fit.
#include "engine/name_sanitize.h"

#include <gtest/gtest.h>

#include <string>

namespace rexmoor {
namespace {

TEST(NameSanitize, DirectionControlsAreDroppedAndOptionsDefused) {
  // U+202E RIGHT-TO-LEFT OVERRIDE would show "\u202egpj.exe" as "exe.jpg".
  EXPECT_EQ(SanitizeName("\u202egpj.exe"), "gpj.exe");
  for (const char* control : {"\u202a", "\u202b", "\u202c", "\u202d", "\u2066", "\u2067", "\u2068", "\u2069",
                              "\u200e", "\u200f", "\u061c"})
    EXPECT_EQ(SanitizeName(std::string("photo") + control + "1.jpg"), "photo1.jpg") << control;
  EXPECT_EQ(SanitizeName("\u202e"), "_");  // nothing left is still a name
  EXPECT_EQ(SanitizeName("-rf"), "_-rf");
  EXPECT_EQ(SanitizeName("--help.txt"), "_--help.txt");
  EXPECT_EQ(SanitizeName("a-b.txt"), "a-b.txt");
  // Letters of other scripts are kept as they are.
  EXPECT_EQ(SanitizeName("Ünïcödé файл.txt"), "Ünïcödé файл.txt");
}

TEST(NameSanitize, RealExtensions) {
  EXPECT_EQ(RealExtension("IMG_1.jpg"), "jpg");
  EXPECT_EQ(RealExtension("archive.tar.gz"), "gz");
  EXPECT_EQ(RealExtension("README"), "");
  EXPECT_EQ(RealExtension(".profile"), "");
  EXPECT_EQ(RealExtension("..jpg"), "");
  EXPECT_EQ(RealExtension("name."), "");
  EXPECT_EQ(RealExtension(".._.._etc_x"), "");
  EXPECT_EQ(RealExtension("a.b_c"), "");
  EXPECT_EQ(RealExtension("a.abcdefghijklmnopq"), "");  // 17 characters is no extension
}

TEST(NameSanitize, NumbersGoBeforeARealExtensionOnly) {
  EXPECT_EQ(NumberedName("IMG_1.jpg", 1), "IMG_1(1).jpg");
  EXPECT_EQ(NumberedName("README", 2), "README(2)");
  EXPECT_EQ(NumberedName(".._.._etc_x", 1), ".._.._etc_x(1)");
  EXPECT_EQ(NumberedName(".profile", 1), ".profile(1)");
}

TEST(NameSanitize, LongNamesKeepTheirExtensionAndFitWithANumber) {
  const std::string base(251, 'a');
  const std::string full = base + ".jpg";  // 255 bytes
  ASSERT_EQ(full.size(), kMaxNameBytes);
  EXPECT_EQ(SanitizeName(full), full);
  const std::string numbered = NumberedName(full, 1);
  EXPECT_EQ(numbered.size(), kMaxNameBytes);
  EXPECT_EQ(numbered, std::string(248, 'a') + "(1).jpg");
  EXPECT_EQ(NumberedName(full, 12345).size(), kMaxNameBytes);

  // Too long: the base is cut, never the extension.
  const std::string longer = std::string(300, 'b') + ".jpeg";
  EXPECT_EQ(SanitizeName(longer), std::string(250, 'b') + ".jpeg");
  // Cut on a character boundary: 'é' is two bytes.
  std::string accented;
  for (int i = 0; i < 200; ++i) accented += "\u00e9";
  const std::string cut = SanitizeName(accented + ".png");
  EXPECT_LE(cut.size(), kMaxNameBytes);
  EXPECT_EQ(cut.substr(cut.size() - 4), ".png");
  EXPECT_EQ((cut.size() - 4) % 2, 0u);
  const std::string cutNumbered = NumberedName(cut, 7);
  EXPECT_LE(cutNumbered.size(), kMaxNameBytes);
  EXPECT_EQ(cutNumbered.substr(cutNumbered.size() - 7), "(7).png");
  // Without a real extension the end of the name goes.
  EXPECT_EQ(SanitizeName(std::string(300, 'c')), std::string(255, 'c'));
  EXPECT_EQ(NumberedName(std::string(255, 'c'), 3), std::string(252, 'c') + "(3)");
}

}  // namespace
}  // namespace rexmoor
