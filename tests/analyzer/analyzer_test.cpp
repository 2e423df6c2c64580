#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "analyzer/pagesifter.h"
#include "os/path.h"
#include "tests/support/testhome.h"

namespace zentu::testing {
namespace {

class AnalyzerTest : public TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    data = Path("Data");
    record = static_cast<_Pagesifter*>(std::malloc(sizeof(_Pagesifter)));
    record->text = nullptr;
  }
  void TearDown() override {
    FreePagesifterAPI(&record);
    std::free(record);
    TempHome::TearDown();
  }
  // Writes a file below the data directory (relative "host/dir/x.html").
  void Put(const std::string& relative, const std::string& bytes) { WriteNative("Data/" + relative, bytes); }
  std::string Local(std::string relative) {
    for (char& c : relative)
      if (c == '/') c = '\\';
    return data + "\\" + relative;
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    if (!record->text) return out;
    std::string text = record->text;
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find('\n', at);
      out.push_back(text.substr(at, end - at));
      at = end + 1;
    }
    return out;
  }
  std::string data;
  _Pagesifter* record = nullptr;
};

// A site saved from a server with a port lives in "host;port": the page's
// relative links must resolve inside that folder.
TEST_F(AnalyzerTest, PagesOfAServerWithAPortFindTheirFiles) {
  Put("127.0.0.1;8080/p/0.html",
      "<html><head><link rel=\"stylesheet\" href=\"../style.css\"></head><body>"
      "<a href=\"1.html\">1</a><img src=\"../img/0.png\"></body></html>");
  for (const char* f : {"127.0.0.1;8080/style.css", "127.0.0.1;8080/p/1.html", "127.0.0.1;8080/img/0.png"}) Put(f, "x");
  ASSERT_TRUE(AnalyzeWeb(Local("127.0.0.1;8080/p/0.html").c_str(), data.c_str(), true, &record));
  EXPECT_EQ(Lines(), (std::vector<std::string>{Local("127.0.0.1;8080/style.css"), Local("127.0.0.1;8080/p/1.html"),
                                               Local("127.0.0.1;8080/img/0.png")}));
  // The capture writes links up to the data directory and down again, and
  // into other hosts' folders; climbing out of the data directory finds nothing.
  Put("127.0.0.1;8080/p/2.html",
      "<img src=\"../../127.0.0.1;8080/img/0.png\"><img src=\"../../other.host/o.gif#x\">"
      "<img src=\"../../../outside.gif\"><img src=\"../../../Data/other.host/o.gif\">");
  Put("other.host/o.gif", "x");
  WriteNative("outside.gif", "x");
  ASSERT_TRUE(AnalyzeWeb(Local("127.0.0.1;8080/p/2.html").c_str(), data.c_str(), true, &record));
  EXPECT_EQ(Lines(), (std::vector<std::string>{Local("127.0.0.1;8080/img/0.png"), Local("other.host/o.gif"),
                                               Local("other.host/o.gif")}));
}

TEST_F(AnalyzerTest, ListsExistingLinkedFilesInPageOrderOncePerLink) {
  Put("h/a/index.html",
      "<html><body background=\"bg.gif\"><img src=\"p.png\"><a href=\"next.html\">n</a>"
      "<img src=\"p.png\"><img src=\"missing.png\"><link rel=\"stylesheet\" href=\"/s/site.css\">"
      "<iframe src=\"frame.html\"></iframe><a href=\"http://h/a/p.png#top\">abs</a></body></html>");
  for (const char* f : {"h/a/bg.gif", "h/a/p.png", "h/a/next.html", "h/s/site.css", "h/a/frame.html"})
    Put(f, "x");

  struct Row {
    bool scanResources, followLinks;
    std::vector<std::string> expected;
  } rows[] = {
      {true, false, {"h/a/bg.gif", "h/a/p.png", "h/a/p.png", "h/s/site.css", "h/a/frame.html"}},
      {true, true,
       {"h/a/bg.gif", "h/a/p.png", "h/a/next.html", "h/a/p.png", "h/s/site.css", "h/a/frame.html", "h/a/p.png"}},
      {false, false, {"h/a/frame.html"}},
      {false, true, {"h/a/next.html", "h/a/frame.html", "h/a/p.png"}},
  };
  const std::string page = Local("h/a/index.html");
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.scanResources) + std::to_string(row.followLinks));
    // The record still holds the previous call's text: it is replaced, not leaked.
    EXPECT_TRUE(AnalyzeWebEx(page.c_str(), data.c_str(), row.scanResources, row.followLinks, &record));
    std::vector<std::string> expected;
    for (const std::string& e : row.expected) expected.push_back(Local(e));
    EXPECT_EQ(Lines(), expected);
  }
  EXPECT_TRUE(AnalyzeWeb(page.c_str(), data.c_str(), false, &record));
  EXPECT_EQ(Lines().size(), 5u);
}

TEST_F(AnalyzerTest, NothingFoundGivesFalseAndANullText) {
  Put("h/none.html", "<img src=\"gone.png\"><a href=\"also-gone.html\">x</a>");
  Put("h/binary.html", std::string("<img src=\"p.png\">\0tail", 22));
  Put("h/p.png", "x");
  const std::string cases[] = {Local("h/none.html"), Local("h/binary.html"), Local("h/absent.html")};
  for (const std::string& page : cases) {
    SCOPED_TRACE(page);
    ASSERT_TRUE(AnalyzeWeb(Local("h/p.png").c_str(), data.c_str(), true, &record) || true);
    record->text = static_cast<char*>(std::malloc(4));
    std::snprintf(record->text, 4, "old");
    EXPECT_FALSE(AnalyzeWeb(page.c_str(), data.c_str(), true, &record));
    EXPECT_EQ(record->text, nullptr);
  }
}

TEST_F(AnalyzerTest, StyleSheetsJapaneseNamesAndPagesInMemory) {
  // A UTF-8 page is read in its own code; its Shift_JIS link finds the file
  // whose name ends in a 0x5C trail byte.
  const std::string hyou = SJ("表");
  Put("h/c/site.css", "@import \"base.css\"; body { background: url(img/" + hyou + ".gif) }");
  Put("h/c/base.css", "x");
  Put("h/c/img/" + U8(hyou) + ".gif", "x");
  ASSERT_TRUE(AnalyzeWeb(Local("h/c/site.css").c_str(), data.c_str(), false, &record));
  EXPECT_EQ(Lines(), (std::vector<std::string>{Local("h/c/base.css"), Local("h/c/img/") + hyou + ".gif"}));

  Put("h/u/page.html", "<p>" + U8(SJ("これは日本語で書かれたページです。画像を一枚だけ載せています。")) + "</p><img src=\"" +
                           U8(SJ("画像")) + ".png\">");
  Put("h/u/" + U8(SJ("画像")) + ".png", "x");
  ASSERT_TRUE(AnalyzeWeb(Local("h/u/page.html").c_str(), data.c_str(), false, &record));
  EXPECT_EQ(Lines(), (std::vector<std::string>{Local("h/u/") + SJ("画像") + ".png"}));

  // The analysis of text at hand reports through the record too.
  FreePagesifterAPI(&record);
  AnalyzeData(Local("h/c/index.html").c_str(), "<a href=\"base.css\">b</a><img src=\"site.css\">", data.c_str(),
              false, &record);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Local("h/c/site.css")}));
  FreePagesifterAPI(&record);
  EXPECT_EQ(record->text, nullptr);
  FreePagesifterAPI(nullptr);
}

// The library as a program that imports it by name sees it: loaded with
// dlopen, its exports found under their C++-mangled names.
TEST_F(AnalyzerTest, LoadsByDlopenAndCallsTheMangledExports) {
  void* lib = dlopen(PAGESIFTER_FILE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  using Web = bool (*)(const char*, const char*, bool, _Pagesifter**);
  using WebEx = bool (*)(const char*, const char*, bool, bool, _Pagesifter**);
  using Data = void (*)(const char*, const char*, const char*, bool, _Pagesifter**);
  using Free = void (*)(_Pagesifter**);
  auto web = reinterpret_cast<Web>(dlsym(lib, "_Z10AnalyzeWebPKcS0_bPP11_Pagesifter"));
  auto webEx = reinterpret_cast<WebEx>(dlsym(lib, "_Z12AnalyzeWebExPKcS0_bbPP11_Pagesifter"));
  auto analyzeData = reinterpret_cast<Data>(dlsym(lib, "_Z11AnalyzeDataPKcS0_S0_bPP11_Pagesifter"));
  auto release = reinterpret_cast<Free>(dlsym(lib, "_Z17FreePagesifterAPIPP11_Pagesifter"));
  ASSERT_TRUE(web && webEx && analyzeData && release);
  // Nothing of the page library leaks out of the shared object.
  EXPECT_EQ(dlsym(lib, "_ZN5zentu11ResolveLinkESt17basic_string_viewIcSt11char_traitsIcEES3_S3_S3_S3_"), nullptr);

  Put("h/p.html", "<img src=\"a.gif\"><a href=\"q.html\">q</a>");
  Put("h/a.gif", "x");
  Put("h/q.html", "x");
  const std::string page = Local("h/p.html");
  EXPECT_TRUE(web(page.c_str(), data.c_str(), true, &record));
  EXPECT_EQ(Lines(), (std::vector<std::string>{Local("h/a.gif"), Local("h/q.html")}));
  EXPECT_FALSE(webEx(page.c_str(), data.c_str(), false, false, &record));
  EXPECT_EQ(record->text, nullptr);
  analyzeData(page.c_str(), "<img src=\"q.html\">", data.c_str(), false, &record);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Local("h/q.html")}));
  release(&record);
  EXPECT_EQ(record->text, nullptr);
  dlclose(lib);
}

}  // namespace
}  // namespace zentu::testing
