// Character references in titles: the stored form and the decoding for views.
#include <gtest/gtest.h>

#include <string>

#include "os/cp932.h"
#include "pagelib/charref.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::SJ;

TEST(CharacterReferences, StoredTitlesAndWhatTheViewsShow) {
  const struct {
    const char* name;
    std::string title;   // as written in the page, Shift_JIS
    std::string stored;  // as kept in the tree file
    const char* shown;   // UTF-8
  } rows[] = {
      {"named, outside code page 932", "Apache Ant&trade; User Manual", "Apache Ant&#8482; User Manual",
       "Apache Ant\u2122 User Manual"},
      {"numeric, outside", "Built-in Types &#8211; Python", "Built-in Types &#8211; Python",
       "Built-in Types \u2013 Python"},
      {"near codes that would read back as other characters", "Types &#8212; &#165; &mdash;",
       "Types &#8212; &#165; &#8212;", "Types \u2014 \u00A5 \u2014"},
      {"hex and named kept where code page 932 holds them", "&#x3042;&lt;b&gt;&quot;&amp; &alpha;",
       SJ("あ<b>\"& α"), "\u3042<b>\"& \u03B1"},
      {"Shift_JIS text around", SJ("表&copy;ソ"), SJ("表") + "&#169;" + SJ("ソ"), "\u8868\u00A9\u30BD"},
      {"a text & that reads as a reference is escaped", "&amp;trade; &amp;#38; R&D &amp;", "&amp;trade; &amp;#38; R&D &",
       "&trade; &#38; R&D &"},
      {"not references", "&unknown; &#; &#xZ; &copy &#12", "&unknown; &#; &#xZ; &copy &#12",
       "&unknown; &#; &#xZ; &copy &#12"},
      {"controls, surrogates and beyond Unicode are never decoded", "a&#10;b&#xD800;&#1114112;&#127;",
       "a&#10;b&#xD800;&#1114112;&#127;", "a&#10;b&#xD800;&#1114112;&#127;"},
      {"outside the BMP", "&#128512;", "&#128512;", "\U0001F600"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(DecodeTitleReferences(r.title), r.stored) << r.name;
    EXPECT_EQ(DecodeReferencesForDisplay(r.stored), r.shown) << r.name;
    // The view shows what the page showed, stored or not.
    EXPECT_EQ(DecodeReferencesForDisplay(r.title), r.shown) << r.name;
  }
  EXPECT_EQ(DecodeTitleReferences("a&nbsp;b"), "a b");
}

}  // namespace
}  // namespace zentu
