#include <gtest/gtest.h>

#include <string>

#include "logging/LogRedact.h"

namespace {

TEST(LogRedact, EachWayOfWritingASecretIsMasked) {
  struct Case {
    std::string in, out;
  };
  for (const Case& c : {
           Case{R"({"app_id":"a","app_sign":"s1","n":{"token":"t\"2"}})",
                R"({"app_id":"a","app_sign":"***","n":{"token":"***"}})"},
           Case{R"({"Token" : "t3", "key": 12, "keys": "kept"})",
                R"({"Token" : "***", "key": ***, "keys": "kept"})"},
           Case{"url=http://h:80/p?a=1&token=t4&sign=s5#f, signature=s6 done",
                "url=http://h:80/p?a=1&token=***&sign=***#f, signature=*** done"},
           Case{"Authorization: Bearer abc def\nCookie: a=1; b=2\nAccept: */*",
                "Authorization: ***\nCookie: ***\nAccept: */*"},
           Case{"start, appID: a, token: t7, metaHumanID: m",
                "start, appID: a, token: ***, metaHumanID: m"},
           Case{R"(cut {"app_sign":"s8)", R"(cut {"app_sign":"***)"},
           Case{"nothing here: token, key=, mykey=v, tokens: x",
                "nothing here: token, key=, mykey=v, tokens: x"},
       }) {
    std::string out;
    const bool changed = orsaRedactSecrets(c.in, out);
    EXPECT_EQ(changed, c.in != c.out) << c.in;
    EXPECT_EQ(changed ? out : c.in, c.out);
  }
}

}  // namespace
