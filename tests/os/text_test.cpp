#include <gtest/gtest.h>

#include <string>

#include "os/text.h"
#include "os/version.h"

namespace zentu {
namespace {

// Only A-Z fold: bytes above 0x7F (Shift_JIS lead bytes, Latin-1 letters in
// a single-byte locale) compare as they are.
TEST(TextTest, CaseInsensitiveComparisons) {
  struct Case {
    std::string text, part;
    bool equals, starts, ends, contains;
  };
  const Case cases[] = {
      {"Content-Type", "content-type", true, true, true, true},
      {"HTTP/1.1 200", "http/", false, true, false, true},
      {"page.HTML", ".html", false, false, true, true},
      {"abc", "", false, true, true, true},
      {"", "", true, true, true, true},
      {"ab", "abc", false, false, false, false},
      {"x[y", "x{y", false, false, false, false},        // '[' is not '{' lowered
      {"\xC0", "\xE0", false, false, false, false},       // no Latin-1 folding
      {"\x95\x5C", "\x95\x7C", false, false, false, false},  // trail byte stays
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + " / " + c.part);
    EXPECT_EQ(os::EqualsNoCase(c.text, c.part), c.equals);
    EXPECT_EQ(os::StartsWithNoCase(c.text, c.part), c.starts);
    EXPECT_EQ(os::EndsWithNoCase(c.text, c.part), c.ends);
    EXPECT_EQ(os::ContainsNoCase(c.text, c.part), c.contains);
  }
}

TEST(VersionTest, WindowTitles) {
  struct Case {
    bool showVersion;
    std::string text, title;
  };
  const Case cases[] = {
      {true, "", "Zentu v0.99M"},
      {true, "Page", "Zentu v0.99M [Page]"},
      {false, "", "Zentu "},
      {false, "\x95\x5C", "Zentu  [\x95\x5C]"},  // a title's bytes stay as they are
  };
  for (const Case& c : cases) EXPECT_EQ(os::WindowTitle(c.showVersion, c.text), c.title);
  EXPECT_EQ("Zentu/" + os::VersionNumberText(), "Zentu/0.99");
}

}  // namespace
}  // namespace zentu
