// JSON lines written field by field must read exactly as the same object written by the JSON
// library, whatever bytes a medium gave the names: quotes, controls, bytes that are not UTF-8.
#include "cli/output_format.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace rexmoor::cli {
namespace {

TEST(JsonLine, WritesWhatTheLibraryWritesForAnyBytes) {
  std::vector<std::string> values = {"",
                                     "photo.jpg",
                                     "Fotos 2024/Ürlaub – Strand.jpeg",
                                     "say \"cheese\".jpg",
                                     "back\\slash",
                                     "tab\there\nnew\rline\b\f",
                                     std::string("nul\0inside", 10),
                                     "\x7f del",
                                     "\xff\xfe not UTF-8",
                                     "cut \xe2\x82",
                                     "\xc0\xaf overlong",
                                     "\xed\xa0\x80 surrogate",
                                     "\xf4\x90\x80\x80 past U+10FFFF",
                                     "\xe2\x82\xac euro \xf0\x9f\x93\xb7 camera"};
  std::mt19937 random(11);
  for (int i = 0; i < 300; ++i) {
    std::string bytes(random() % 24, '\0');
    for (char& c : bytes) c = static_cast<char>(random() % 3 == 0 ? 0x80 + random() % 0x80 : random() % 0x80);
    values.push_back(bytes);
  }
  for (const std::string& value : values) {
    Json expected;
    expected["name"] = value;
    expected["size"] = std::uint64_t{18446744073709551615ull};
    expected["engine"] = std::int32_t{-7};
    expected["is_folder"] = false;
    expected["deleted"] = true;
    expected["created"] = JsonTime(0);
    expected["modified"] = JsonTime(133000000000000000ull, true);
    expected["accessed"] = JsonTime(133000000000000000ull);
    expected["folder"] = value + "/";
    const std::string written = JsonLine()
                                    .Text("name", value)
                                    .Number("size", 18446744073709551615ull)
                                    .Signed("engine", -7)
                                    .Bool("is_folder", false)
                                    .Bool("deleted", true)
                                    .Time("created", 0)
                                    .Time("modified", 133000000000000000ull, true)
                                    .Time("accessed", 133000000000000000ull)
                                    .Text("folder", value + "/")
                                    .Done();
    ASSERT_EQ(written, JsonText(expected)) << testing::PrintToString(value);
  }
  EXPECT_EQ(JsonLine().Done(), "{}");
}

}  // namespace
}  // namespace rexmoor::cli
