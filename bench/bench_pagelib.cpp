// Page library benchmarks. One section per area of the library.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <random>
#include <string>

#include "os/cp932.h"
#include "pagelib/codedetect.h"

namespace zentu {
namespace {

// ===== Code detection and conversion =============================================

// About `bytes` of a Japanese page in Shift_JIS: markup, kanji, kana,
// half-width kana and ASCII in the proportions of an ordinary news page.
std::string MakeSjisPage(size_t bytes) {
  static const char* const kSentences[] = {
      "本日の天気は晴れ、ところにより一時雨が降るでしょう。",
      "新しいソフトウェアの機能について説明します。",
      "表計算ソフトで予定表を作りました。",
      "東京都千代田区で開かれた会議には約三百人が参加した。",
      "カメラのレンズを交換して、夜景を撮影してみました。",
      "ﾊﾝｶｸｶﾀｶﾅも少し混ざっています。",
      "Linux 2.6 のカーネルをビルドする手順をまとめます。",
      "「ニュース」の一覧は右のメニューから選んでください。",
  };
  std::mt19937 rng(20070128);
  std::uniform_int_distribution<size_t> pick(0, std::size(kSentences) - 1);
  std::string utf8 = "<html><head><title>ベンチマーク</title></head><body>\n";
  while (utf8.size() < bytes * 3 / 2) {
    utf8 += "<p class=\"entry\"><a href=\"/news/2007/01/28/item.html\">";
    for (int i = 0; i < 3; ++i) utf8 += kSentences[pick(rng)];
    utf8 += "</a></p>\n";
  }
  std::string sjis = os::Utf8ToSjis(utf8);
  sjis.resize(bytes - 16);
  // Cut after a whole character.
  size_t i = 0, lastWhole = 0;
  while (i < sjis.size()) {
    lastWhole = i;
    i += os::IsSjisLeadByte(static_cast<unsigned char>(sjis[i])) ? 2 : 1;
  }
  if (i > sjis.size()) sjis.resize(lastWhole);
  return sjis + "</body></html>\n";
}

std::string FromSjis(const std::string& sjis, const char* to) {
  iconv_t cd = iconv_open(to, "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) return {};
  std::string out(sjis.size() * 2 + 16, '\0');
  char* ip = const_cast<char*>(sjis.data());
  char* op = out.data();
  size_t il = sjis.size(), ol = out.size();
  size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return {};
  out.resize(out.size() - ol);
  return out;
}

void DetectAndConvert(benchmark::State& state, const char* encoding, int expected) {
  static const std::string sjis = MakeSjisPage(10 << 20);
  const std::string text = FromSjis(sjis, encoding);
  if (text.empty() || DetectCode(text) != expected || ConvertToSjis(text, expected) != sjis) {
    state.SkipWithError("test page does not round-trip");
    return;
  }
  for (auto _ : state) {
    int code = DetectCode(text);
    std::string out = ConvertToSjis(text, code);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

void BM_DetectAndConvertEucJp(benchmark::State& state) { DetectAndConvert(state, "EUC-JP-MS", kCodeEuc); }
void BM_DetectAndConvertUtf8(benchmark::State& state) { DetectAndConvert(state, "UTF-8", kCodeUtf8); }
BENCHMARK(BM_DetectAndConvertEucJp)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DetectAndConvertUtf8)->Unit(benchmark::kMillisecond);

// ===== Page scanner ==============================================================
// (Its own block: the rewriting and reading scans over a large page.)

}  // namespace
}  // namespace zentu

#include "pagelib/scanner.h"

namespace zentu {
namespace {

// About 1 MB of Shift_JIS page with `links` links spread over anchors, images,
// tables, an inline style, script strings and a style block, between runs of
// Japanese text.
std::string MakeLinkedPage(size_t bytes, int links) {
  const std::string text = os::Utf8ToSjis(
      "本日の天気は晴れ、ところにより一時雨が降るでしょう。表計算ソフトで予定表を作りました。");
  std::string page =
      "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n<html><head>\n"
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\">\n"
      "<title>" + os::Utf8ToSjis("ベンチマーク") + "</title>\n"
      "<link rel=\"stylesheet\" href=\"/css/site.css\" type=\"text/css\">\n</head><body>\n";
  const size_t perLink = bytes / static_cast<size_t>(links);
  for (int i = 0; i < links; ++i) {
    const std::string n = std::to_string(i);
    switch (i % 8) {
      case 0: case 1: case 2:
        page += "<p class=\"entry\"><a href=\"/news/2007/01/" + n + "/item.html\" title=\"item\">";
        break;
      case 3: case 4:
        page += "<div><img src=\"img/photo" + n + ".jpg\" width=\"120\" height=\"90\" alt=\"\">";
        break;
      case 5:
        page += "<table width=\"100%\"><tr><td background=\"img/cell" + n + ".gif\">";
        break;
      case 6:
        page += "<script type=\"text/javascript\">var icon = \"img/icon" + n +
                ".png\"; document.write('<b>' + icon + '</b>');</script>";
        break;
      default:
        page += "<p style=\"margin: 0; background: url(img/bg" + n + ".gif)\">";
        break;
    }
    const size_t target = page.size() + perLink - 80;
    while (page.size() < target) page += text;
    page += "</p></td></tr></table></div>\n<br><hr size=1>\n";
  }
  page += "</body></html>\n";
  return page;
}

ScanJob BenchJob() {
  ScanJob job;
  job.url = "http://www.example.jp/news/index.html";
  job.followLinks = true;
  job.storedAsSjis = true;
  return job;
}

void BM_RewritePage1MB5000Links(benchmark::State& state) {
  static const std::string page = MakeLinkedPage(1 << 20, 5000);
  int links = 0;
  for (auto _ : state) {
    ScanJob job = BenchJob();
    PageScanner s;
    s.job = &job;
    s.handleLink = [&links](ScanJob&, std::string_view link, int) {
      ++links;
      return "../../www.example.jp/" + std::string(link);
    };
    RewritePage(s, page);
    benchmark::DoNotOptimize(s.out.data());
  }
  state.counters["links"] = static_cast<double>(links) / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(page.size()));
}
BENCHMARK(BM_RewritePage1MB5000Links)->Unit(benchmark::kMillisecond);

void BM_ReadPage1MB5000Links(benchmark::State& state) {
  static const std::string page = MakeLinkedPage(1 << 20, 5000);
  ReadOptions o;
  o.dataDirectory = "Z:\\data";
  o.location = "http://www.example.jp/news/index.html";
  o.host = "www.example.jp";
  size_t links = 0;
  for (auto _ : state) {
    PageReading r = ReadPage(page, o);
    links = r.links.size();
    benchmark::DoNotOptimize(r.links.data());
  }
  state.counters["links"] = static_cast<double>(links);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(page.size()));
}
BENCHMARK(BM_ReadPage1MB5000Links)->Unit(benchmark::kMillisecond);

// A hostile page: 1 MB of stray brackets and malformed tags whose attributes
// almost match every pattern, ending in a comment that never closes.
void BM_RewriteHostilePage1MB(benchmark::State& state) {
  static const std::string page = [] {
    std::string p;
    while (p.size() < (1u << 20))
      p += "<<<< 1<2 <img src=\"x src='y url( background= \x95\x5C\x83\x7D href=\"javascript:(\"'a.gif'>"
           "<!-- <b> \" ' -- > <script>x = 'a.gif\\' + \"\x83\x5C\" + \"b.gif\";</script>"
           "<style>url(url(@import \"</style>";
    return p + "<!-- <<<";
  }();
  for (auto _ : state) {
    ScanJob job = BenchJob();
    PageScanner s;
    s.job = &job;
    s.handleLink = [](ScanJob&, std::string_view link, int) { return std::string(link); };
    RewritePage(s, page);
    benchmark::DoNotOptimize(s.out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(page.size()));
}
BENCHMARK(BM_RewriteHostilePage1MB)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zentu

BENCHMARK_MAIN();
