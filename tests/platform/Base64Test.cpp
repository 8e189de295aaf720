#include "platform/OrsaBase64.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

TEST(OrsaBase64Test, EncodesKnownVectorsAndRoundTripsEveryByte) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xfb\xff"s, "+/8="},
  };
  for (const auto& [plain, coded] : vectors) {
    EXPECT_EQ(OrsaBase64::encode(plain), coded);
    EXPECT_EQ(OrsaBase64::decode(coded), plain);
  }
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t n = 0; n <= all.size(); n += (n < 8 ? 1 : 37)) {
    EXPECT_EQ(OrsaBase64::decode(OrsaBase64::encode(all.substr(0, n))), all.substr(0, n)) << n;
  }
}

// Every accepted text has exactly one meaning: nothing is skipped or repaired.
TEST(OrsaBase64Test, RejectsEverythingOutsideTheStrictForm) {
  const std::string bad[] = {
      "Zm9",        "Zg",  // length not a multiple of 4, unpadded
      "Zm9v\nYmFy", "Zm9v YmFy",  " Zm9vYmFy", "Zm9vYmFy\n",          // line breaks and blanks
      "Zm9-YmFy",   "Zm9_YmFy",                                       // URL-safe alphabet
      "Zg=a",       "Z===",       "====",      "Zg==Zm9v",   "Zm=v",  // misplaced padding
      "Zh==",       "Zm9=",        // bits that padding discards are not zero
      "Zm8\x80",    "Zm9v\0YmF"s,  // outside ASCII, embedded NUL
  };
  for (const auto& text : bad)
    EXPECT_FALSE(OrsaBase64::decode(text)) << testing::PrintToString(text);
}

}  // namespace
