// The protocol reader the browser test relies on: escapes, non-ASCII text and
// malformed messages.
#include "tests/e2e/json.h"

#include <gtest/gtest.h>

namespace zentu::testing {
namespace {

TEST(JsonTest, ReadsWhatTheBrowserSends) {
  Json v;
  ASSERT_TRUE(ParseJson(R"({"id":7,"result":{"frameTree":{"frame":{"url":"file:///a%3Bb"},"childFrames":[]}},)"
                        R"("ok":true,"none":null,"n":-1.5e2})",
                        v));
  EXPECT_EQ(v["id"].number, 7);
  EXPECT_EQ(v["result"]["frameTree"]["frame"]["url"].Str(), "file:///a%3Bb");
  EXPECT_TRUE(v["result"]["frameTree"]["childFrames"].items.empty());
  EXPECT_TRUE(v["ok"].boolean);
  EXPECT_TRUE(v["none"].IsNull());
  EXPECT_TRUE(v["absent"].IsNull());
  EXPECT_EQ(v["n"].number, -150);

  struct Row {
    const char* json;
    const char* text;  // UTF-8
  } strings[] = {
      {R"("\u67a0\u306E")", "枠の"},
      {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
      {R"("\ud83d")", "\xEF\xBF\xBD"},  // half a pair
      {R"("a\"b\\c\/d\n\t")", "a\"b\\c/d\n\t"},
      {"\"\xE6\x9E\xA0\"", "枠"},
  };
  for (const Row& r : strings) {
    ASSERT_TRUE(ParseJson(r.json, v)) << r.json;
    EXPECT_EQ(v.Str(), r.text) << r.json;
    Json again;
    ASSERT_TRUE(ParseJson(JsonQuote(v.Str()), again)) << r.json;
    EXPECT_EQ(again.Str(), v.Str());
  }
  for (const char* bad : {"", "{", "{\"a\":}", "[1,]", "\"open", "\"\\x\"", "{} x", "tru", "\"a\nb\""})
    EXPECT_FALSE(ParseJson(bad, v)) << bad;
  std::string deep(500, '[');
  EXPECT_FALSE(ParseJson(deep + std::string(500, ']'), v));
}

}  // namespace
}  // namespace zentu::testing
