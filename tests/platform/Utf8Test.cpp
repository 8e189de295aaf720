#include "platform/Utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

TEST(Utf8Test, AcceptsWellFormedTextAndRejectsEveryMalformedForm) {
  // clang-format off
  const std::string good[] = {
      "", "plain ascii \x01\x7f", "a\0b"s, "数字人",
      "\xc2\x80\xdf\xbf\xe0\xa0\x80",                               // U+0080 U+07FF U+0800
      "\xed\x9f\xbf\xee\x80\x80",                                   // U+D7FF U+E000
      "\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"};              // U+FFFF U+10000 U+10FFFF
  const std::string bad[] = {
      "\x80", "\xbf", "\xff", "\xf8\x88\x80\x80\x80",               // no lead byte
      "\xc2", "\xe0\xa0", "\xf0\x90\x80", "ok\xe2\x82",             // truncated
      "\xc2\x41",                                                   // lead without continuation
      "\xc0\x80", "\xc1\xbf", "\xe0\x9f\xbf", "\xf0\x8f\xbf\xbf",   // overlong
      "\xed\xa0\x80", "\xed\xbf\xbf",                               // surrogates
      "\xf4\x90\x80\x80"};                                          // above U+10FFFF
  // clang-format on
  for (const auto& g : good)
    EXPECT_TRUE(orsa::platform::isValidUtf8(g)) << testing::PrintToString(g);
  for (const auto& b : bad)
    EXPECT_FALSE(orsa::platform::isValidUtf8(b)) << testing::PrintToString(b);
}

}  // namespace
