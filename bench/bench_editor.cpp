// Editor text file benchmarks: opening a 50 MB Shift_JIS text of 1,000,000
// lines, read alone and read into the editor's model, beside
// `iconv -f CP932 -t UTF-8` of the same file, in the same run (target: the
// open at most twice the conversion); one character typed in the middle of
// the opened file (target: under 1 ms) and, with the windows built, one full
// editor window drawn there (target: under 16 ms); and replacing every match
// of a regular expression in a note of 1,000,000 lines. The sample file is
// removed when the run ends.
//
//   bench_editor --benchmark_min_time=0.5
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#ifdef ZENTU_BENCH_PAINT
#include <QApplication>
#include <QImage>
#include <QPainter>

#include "store/profile.h"
#include "ui/editorview.h"
#endif

#include "editor/kedit.h"
#include "editor/kfile.h"
#include "editor/kfind.h"
#include "os/cp932.h"
#include "os/file.h"
#include "os/path.h"

namespace zentu {
namespace {

std::string g_sampleDir;  // native, removed at the end of the run

// 1,000,000 lines of about 50 bytes each: kanji, kana, half-width kana and
// ASCII, CR LF line ends.
const std::string& SampleFile() {
  static const std::string path = [] {
    static const char* const kPieces[] = {"本日の天気は晴れ、", "ところにより一時雨。", "ソフトウェアの機能",
                                          "ﾊﾝｶｸｶﾀｶﾅ", "Linux 2.6 kernel ", "「ニュース」一覧", "表計算 ", "12345 "};
    std::vector<std::string> pieces;
    for (const char* p : kPieces) pieces.push_back(os::Utf8ToSjis(p));
    std::mt19937 rng(50);
    std::string text;
    text.reserve(52'000'000);
    for (int line = 0; line < 1'000'000; ++line) {
      const size_t start = text.size();
      while (text.size() - start < 48) text += pieces[rng() % pieces.size()];
      text += "\r\n";
    }
    char dir[] = "/tmp/zentu-bench-editor-XXXXXX";
    if (!::mkdtemp(dir)) std::abort();
    g_sampleDir = dir;
    const std::string file = os::FromNativePath(std::string(dir) + "/sample.txt");
    if (!os::WriteFileAtomic(file, text, os::Access::Keep, os::Durability::Replaceable)) std::abort();
    return file;
  }();
  return path;
}

void BM_ReadSjisFile(benchmark::State& state) {
  const std::string& path = SampleFile();
  size_t lines = 0;
  for (auto _ : state) {
    std::vector<std::string> read;
    TextFileInfo info;
    if (ReadTextFile(path, read, info) != 1 || info.encoding != kEncSjis) state.SkipWithError("read failed");
    lines = read.size();
    benchmark::DoNotOptimize(read.data());
  }
  state.counters["lines"] = static_cast<double>(lines);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * os::GetFileSize(path));
}
BENCHMARK(BM_ReadSjisFile)->Unit(benchmark::kMillisecond)->UseRealTime();

// The whole open of a note: the file read and detected straight into the
// model, as the editor's owner opens it.
void BM_OpenIntoModel(benchmark::State& state) {
  const std::string& path = SampleFile();
  for (auto _ : state) {
    CKEdit edit;
    TextFileInfo info;
    if (ReadTextFileIntoEditor(path, edit, info) != 1 || info.encoding != kEncSjis) state.SkipWithError("read failed");
    if (edit.LineCount() != 1'000'001) state.SkipWithError("wrong line count");
    benchmark::DoNotOptimize(edit.WidestWidth());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * os::GetFileSize(path));
}
BENCHMARK(BM_OpenIntoModel)->Unit(benchmark::kMillisecond)->UseRealTime();

// One character typed in the middle of the opened file, and taken back
// outside the timing.
void BM_InsertCharInOpenedFile(benchmark::State& state) {
  static CKEdit* edit = [] {
    auto* e = new CKEdit;
    TextFileInfo info;
    if (ReadTextFileIntoEditor(SampleFile(), *e, info) != 1) std::abort();
    e->SetSize(1200, 900);
    return e;
  }();
  edit->MoveCaretTo(20, 500'000, false, false);
  for (auto _ : state) {
    edit->PushUndo(edit->InsertText("x"));
    state.PauseTiming();
    edit->Undo();
    state.ResumeTiming();
  }
  state.counters["lines"] = edit->LineCount();
}
BENCHMARK(BM_InsertCharInOpenedFile)->Unit(benchmark::kMicrosecond);

#ifdef ZENTU_BENCH_PAINT
// One full editor window (1200 x 900) drawn into an image in the middle of
// the opened file, with a selection over ten rows.
void BM_PaintWindowOfOpenedFile(benchmark::State& state) {
  static int argc = 1;
  static char name[] = "bench_editor";
  static char* argv[] = {name, nullptr};
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static QApplication* app = new QApplication(argc, argv);
  (void)app;
  SetProfileDefaults(CurrentProfile());
  ui::EditorView view;
  view.resize(1200, 900);
  view.show();
  QApplication::processEvents();
  TextFileInfo info;
  if (ReadTextFileIntoEditor(SampleFile(), view.Model(), info) != 1) state.SkipWithError("read failed");
  view.Model().MoveCaretTo(0, 500'000, false, false);
  view.Model().MoveCaretTo(30, 500'010, false, true);
  QImage image(view.viewport()->size(), QImage::Format_RGB32);
  for (auto _ : state) {
    QPainter painter(&image);
    view.Render(painter, image.rect());
  }
  state.counters["rows"] = view.Model().VisibleRows();
}
BENCHMARK(BM_PaintWindowOfOpenedFile)->Unit(benchmark::kMillisecond);
#endif

// Replace all of "No\\.([0-9]+)" by "#$1" over 1,000,000 lines, one match a
// line: a find and two undo records per replacement.
void BM_ReplaceAllRegExp(benchmark::State& state) {
  std::string text;
  text.reserve(40'000'000);
  const std::string body = os::Utf8ToSjis("本日の天気は晴れ、ところにより一時雨。");
  for (int i = 0; i < 1'000'000; ++i) text += "No." + std::to_string(i) + " " + body + "\r\n";
  int replaced = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto edit = std::make_unique<CKEdit>();
    edit->SetText(text);
    CKFind& f = edit->Finder();
    (void)SetUpFinder(f, "No\\.([0-9]+)", true, true, true);
    f.SetReplaceString("#$1");
    state.ResumeTiming();
    replaced = KReplaceSession::ReplaceAll(*edit, f);
    state.PauseTiming();
    edit.reset();
    state.ResumeTiming();
  }
  if (replaced != 1'000'000) state.SkipWithError("not every line was replaced");
  state.counters["replaced"] = replaced;
}
BENCHMARK(BM_ReplaceAllRegExp)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void BM_IconvCp932ToUtf8(benchmark::State& state) {
  const std::string native = *os::ToNativePath(SampleFile());
  for (auto _ : state) {
    std::vector<std::string> args = {"iconv", "-f", "CP932", "-t", "UTF-8", native};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "iconv", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      state.SkipWithError("iconv could not be started");
      break;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("iconv failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * os::GetFileSize(SampleFile()));
}
BENCHMARK(BM_IconvCp932ToUtf8)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace zentu

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The 50 MB sample goes with the run.
  if (!zentu::g_sampleDir.empty()) {
    ::unlink((zentu::g_sampleDir + "/sample.txt").c_str());
    ::rmdir(zentu::g_sampleDir.c_str());
  }
  return 0;
}
