#include "platform/OrsaBase64.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

TEST(OrsaBase64Test, EncodesAndDecodesKnownVectors) {
  // clang-format off
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff"s, "+/8="}};
  // clang-format on
  for (const auto& [plain, coded] : vectors) {
    EXPECT_EQ(OrsaBase64::encode(plain), coded);
    EXPECT_EQ(OrsaBase64::decode(coded), plain);
  }
}

// Every accepted text has exactly one meaning: nothing is skipped or repaired.
TEST(OrsaBase64Test, RejectsEverythingOutsideTheStrictForm) {
  // clang-format off
  const std::string bad[] = {
      "Zm9", "Zg",                                           // length, missing padding
      "Zm9v\nYmFy", "Zm9v YmFy", " Zm9vYmFy", "Zm9vYmFy\n",  // line breaks and blanks
      "Zm9-YmFy", "Zm9_YmFy",                                // URL-safe alphabet
      "Zg=a", "Z===", "====", "Zg==Zm9v", "Zm=v",            // misplaced padding
      "Zh==", "Zm9=",                                        // discarded bits not zero
      "Zm8\x80", "Zm9v\0YmF"s};                              // outside ASCII, NUL
  // clang-format on
  for (const auto& text : bad)
    EXPECT_FALSE(OrsaBase64::decode(text)) << testing::PrintToString(text);
}

}  // namespace
