// Editor model benchmarks: one edit in the middle of a 50 MB text of
// 1,000,000 lines (target: well under 1 ms each).
//
//   bench_edit --benchmark_min_time=0.2
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "editor/kedit.h"

namespace zentu {
namespace {

constexpr int kLines = 1000000;

// 50 bytes a line (49 and the line break): ASCII, a tab and two-byte characters.
CKEdit& BigText() {
  static CKEdit* edit = [] {
    auto* e = new CKEdit;
    std::vector<CKEditLine> lines;
    lines.reserve(kLines);
    const std::string body = "line of text\t\x93\xfa\x96\x7b\x8c\xea and more words to fill it up..";
    for (int i = 0; i < kLines; ++i) lines.emplace_back((std::to_string(1000000 + i) + body).substr(0, 49));
    e->AppendLines(std::move(lines));
    e->SetSize(1200, 900);
    return e;
  }();
  return *edit;
}

void BM_InsertCharMiddle(benchmark::State& state) {
  CKEdit& e = BigText();
  e.MoveCaretTo(20, kLines / 2, false, false);
  for (auto _ : state) {
    e.PushUndo(e.InsertText("x"));
    state.PauseTiming();
    e.Undo();
    state.ResumeTiming();
  }
  state.counters["lines"] = e.LineCount();
}
BENCHMARK(BM_InsertCharMiddle)->Unit(benchmark::kMicrosecond);

// A line break moves the line list's gap; alternating ends of the text makes
// every insertion move half a million lines.
void BM_InsertLineBreakFarApart(benchmark::State& state) {
  CKEdit& e = BigText();
  int i = 0;
  for (auto _ : state) {
    e.MoveCaretTo(10, (i++ % 2) ? kLines / 4 : 3 * kLines / 4, false, false);
    e.PushUndo(e.InsertText("\r\n"));
    state.PauseTiming();
    e.Undo();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_InsertLineBreakFarApart)->Unit(benchmark::kMicrosecond);

void BM_DeleteInWidestLine(benchmark::State& state) {
  CKEdit& e = BigText();
  e.MoveCaretTo(5, kLines / 2, false, false);
  for (auto _ : state) {
    e.PushUndo(e.DeleteForward());
    state.PauseTiming();
    e.Undo();
    e.MoveCaretTo(5, kLines / 2, false, false);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_DeleteInWidestLine)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zentu

BENCHMARK_MAIN();
