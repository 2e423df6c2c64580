#include "editor/klink.h"

#include <gtest/gtest.h>

#include "editor/kedit.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

TEST(LinkDetector, KindsAndLengths) {
  struct Row {
    const char* text;
    int kind, length;
  } rows[] = {
      {"http://example.com/a?b=1 x", kLinkUrl, 24},
      {"ttp://x.jp", kLinkUrl, 10},
      {"https://a.b/(c)", kLinkUrl, 12},
      {"http:// x", kLinkNone, 0},
      {"prospero://host/x", kLinkNone, 0},
      {"HTTP://x", kLinkNone, 0},
      {"mailto:me@ex.org.", kLinkMail, 16},
      {"me@ex.org", kLinkMail, 9},
      {"me@localhost", kLinkNone, 0},
      {"me@a", kLinkNone, 0},
      {".me@ex.org", kLinkNone, 0},
      {"\x82\xa0http://x", kLinkNone, 0},
  };
  for (const auto& r : rows) {
    const KLinkMatch m = DetectLink(r.text);
    EXPECT_EQ(m.kind, r.kind) << r.text;
    EXPECT_EQ(m.length, r.length) << r.text;
  }
}

TEST(HitTestLink, ClicksOnWordsUrlsAndAddresses) {
  CKEdit e;
  CKEditFont f;
  f.charWidth = 10, f.lineHeight = 18, f.baseLineSkip = 2;
  e.SetEditFont(f);
  // A trail byte of ア is "A": it must not begin an address.
  const std::string kana = testing::SJ("ア");
  e.SetText("see http://ex.com/p more\r\nmail first.last@ex.co.jp now\r\n" + kana + "bc@ex.com\r\nfix ttp://a.jp");
  auto at = [&](int column, int row) { return e.HitTestLink(column * 10, row * 20 + 5, false); };
  struct Row {
    int column, row, kind;
    const char* text;
  } rows[] = {
      {21, 0, kLinkNone, ""},  {4, 0, kLinkUrl, "http://ex.com/p"}, {12, 0, kLinkUrl, "http://ex.com/p"},
      {19, 0, kLinkUrl, "http://ex.com/p"}, {2, 0, kLinkNone, ""},
      {8, 1, kLinkMail, "first.last@ex.co.jp"}, {18, 1, kLinkMail, "first.last@ex.co.jp"},
      {4, 1, kLinkNone, ""}, {4, 2, kLinkMail, "bc@ex.com"}, {6, 3, kLinkUrl, "http://a.jp"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(at(r.column, r.row), r.kind) << r.column << "," << r.row;
    EXPECT_EQ(e.LinkText(), r.text) << r.column << "," << r.row;
  }
  e.HitTestLink(12 * 10, 5, true);
  EXPECT_EQ(e.CopySelectionText(), "http://ex.com/p");
}

}  // namespace
}  // namespace zentu
