// Window benchmarks on Qt's offscreen platform: a large collection opening to
// a usable window, and a large folder shown in the list.
//
//   bench_ui --benchmark_min_time=0.2
#include <benchmark/benchmark.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTreeView>
#include <QImage>
#include <QPainter>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "os/cp932.h"
#include "os/desktop.h"
#include "store/profile.h"
#include "store/tree.h"
#include "store/treefile.h"
#include "editor/kedit.h"
#include "ui/appwindows.h"
#include "ui/editorview.h"
#include "ui/itemmodel.h"
#include "ui/mainwindow.h"
#include "ui/qtdesktop.h"

namespace zentu {
namespace {

QApplication& App() {
  static int argc = 1;
  static char name[] = "bench_ui";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return new QApplication(argc, argv);
  }();
  return *app;
}

// Counts the paints of a widget.
class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return QObject::eventFilter(watched, event);
  }
};

// Runs the event loop until the widget has painted once more.
void WaitForPaint(QWidget* widget, PaintCounter& counter) {
  const int before = counter.paints;
  widget->update();
  QElapsedTimer timer;
  timer.start();
  while (counter.paints == before && timer.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 5);
}

struct Collection {
  TreeNode* big = nullptr;        // 20,000 items, collection order
  TreeNode* bigSorted = nullptr;  // 20,000 items with a title sort mode
  TreeNode* small = nullptr;
  size_t nodes = 0;
};

// 100,000 nodes: 50 top folders with 20 sub-folders each, two folders of
// 20,000 items, the rest spread over the sub-folders.
Collection& BuildCollection() {
  static Collection c = [] {
    Collection out;
    static const char* const kWords[] = {"ニュース", "天気", "技術", "日記", "写真", "Linux", "C++", "ブログ",
                                         "レシピ", "旅行", "カメラ", "ソフト"};
    std::vector<std::string> words;
    for (const char* w : kWords) words.push_back(os::Utf8ToSjis(w));
    std::mt19937 rng(42);
    auto title = [&](size_t i) {
      return words[rng() % words.size()] + words[rng() % words.size()] + " " + std::to_string(i);
    };
    std::lock_guard lock(TreeMutex());
    BuildDefaultTree(TreeFileSettings{});
    TreeNode* root = GetTreeState().root;
    std::vector<TreeNode*> subs;
    size_t nodes = 0;
    for (int t = 0; t < 50; ++t) {
      TreeNode* top = CreateNode(title(static_cast<size_t>(t)), {}, {}, kNodeFolder);
      top->expanded = t < 10;
      (void)Link(top, root, kLinkLastChild);
      ++nodes;
      for (int s = 0; s < 20; ++s) {
        TreeNode* sub = CreateNode(title(static_cast<size_t>(s)), {}, {}, kNodeFolder);
        (void)Link(sub, top, kLinkLastChild);
        subs.push_back(sub);
        ++nodes;
      }
    }
    auto fill = [&](TreeNode* folder, size_t count) {
      for (size_t i = 0; i < count; ++i) {
        TreeNode* item = CreateNode(title(i), "http://example.jp/" + std::to_string(rng() % 1000000) + ".html", {},
                                    kNodeItem);
        SetDownloadFlag(item, kDownloadDone);
        item->size = rng() % 100000;
        item->lastCheck = "2007/02/12 10:00:00";
        (void)Link(item, folder, kLinkLastChild);
        if (rng() % 5 == 0) SetUnreadFlag(item, true);
        ++nodes;
      }
    };
    out.big = subs[0];
    out.bigSorted = subs[1];
    out.small = subs[2];
    fill(out.big, 20000);
    fill(out.bigSorted, 20000);
    (void)SetSortMode(out.bigSorted, kSortTitleAscFoldersFirst);
    (void)SortChildren(out.bigSorted, kSortTitleAscFoldersFirst);
    fill(out.small, 10);
    const size_t rest = 100000 - nodes - 20000 - 20000 - 10;
    for (size_t i = 0; i < rest; ++i) fill(subs[3 + i % (subs.size() - 3)], 1);
    out.nodes = 100000;
    GetTreeState().currentFolder = root;
    return out;
  }();
  return c;
}

struct Setup {
  Setup() {
    App();
    Profile& p = CurrentProfile();
    SetProfileDefaults(p);
    p.Width = 1200;
    p.Height = 800;
    os::SetDesktop(&desktop);
    BuildCollection();
  }
  ui::QtDesktop desktop;
};
Setup& Env() {
  static Setup setup;
  return setup;
}

// From nothing to a painted main window over the 100,000-node collection.
void BM_OpenCollectionToFirstPaint(benchmark::State& state) {
  Env();
  for (auto _ : state) {
    auto windows = std::make_unique<ui::AppWindows>();
    PaintCounter counter;
    windows->mainWindow()->listView()->viewport()->installEventFilter(&counter);
    windows->ShowMain(1);
    WaitForPaint(windows->mainWindow()->listView()->viewport(), counter);
    state.PauseTiming();
    windows.reset();
    QApplication::processEvents();
    state.ResumeTiming();
  }
  state.counters["nodes"] = static_cast<double>(BuildCollection().nodes);
}
BENCHMARK(BM_OpenCollectionToFirstPaint)->Unit(benchmark::kMillisecond)->UseRealTime();

// Choosing a folder of 20,000 items until the list has painted it.
void ShowFolder(benchmark::State& state, TreeNode* folder) {
  Env();
  ui::AppWindows windows;
  windows.ShowMain(1);
  PaintCounter counter;
  QWidget* viewport = windows.mainWindow()->listView()->viewport();
  viewport->installEventFilter(&counter);
  WaitForPaint(viewport, counter);
  for (auto _ : state) {
    state.PauseTiming();
    windows.SelectFolder(BuildCollection().small);
    WaitForPaint(viewport, counter);
    state.ResumeTiming();
    windows.SelectFolder(folder);
    WaitForPaint(viewport, counter);
  }
  state.counters["rows"] = windows.mainWindow()->listModel()->rowCount();
}
void BM_ShowFolder20k(benchmark::State& state) { ShowFolder(state, BuildCollection().big); }
void BM_ShowSortedFolder20k(benchmark::State& state) { ShowFolder(state, BuildCollection().bigSorted); }
BENCHMARK(BM_ShowFolder20k)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ShowSortedFolder20k)->Unit(benchmark::kMillisecond)->UseRealTime();

// A capture's refresh while a 20,000-item folder is shown: one item and its
// folders change, as the Desktop hands them over (range 0), or with a walk over
// the whole collection as after nodes were freed (range 1).
void BM_RefreshOneItemIn20k(benchmark::State& state) {
  Env();
  ui::AppWindows windows;
  windows.ShowMain(1);
  TreeNode* folder = BuildCollection().big;
  windows.SelectFolder(folder);
  TreeNode* item = folder->lastChild;
  const bool whole = state.range(0) != 0;
  int n = 0;
  for (auto _ : state) {
    {
      std::lock_guard lock(TreeMutex());
      SetTitle(item, std::to_string(++n));
      SetUnreadFlag(item, !item->unread);
    }
    if (whole) windows.Refresh({item});
    else windows.SyncViews({item, folder, folder->parent});
  }
}
BENCHMARK(BM_RefreshOneItemIn20k)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

// One full editor window (1200 x 900) drawn into an image, in the middle of
// a 1,000,000-line text with links, tabs and two-byte characters (target: 16 ms).
void BM_EditorPaintWindow(benchmark::State& state) {
  App();
  SetProfileDefaults(CurrentProfile());
  ui::EditorView view;
  view.resize(1200, 900);
  view.show();
  QApplication::processEvents();
  std::vector<CKEditLine> lines;
  lines.reserve(1000000);
  const std::string body = os::Utf8ToSjis(
      "\t日本語の行　http://example.com/page ここ mail@example.co.jp [[tag]] and more ascii text here");
  for (int i = 0; i < 1000000; ++i) lines.emplace_back(std::to_string(i) + body);
  view.Model().AppendLines(std::move(lines));
  view.Model().MoveCaretTo(0, 500000, false, false);
  view.Model().MoveCaretTo(30, 500010, false, true);
  QImage image(view.viewport()->size(), QImage::Format_RGB32);
  for (auto _ : state) {
    QPainter painter(&image);
    view.Render(painter, image.rect());
  }
  state.counters["rows"] = view.Model().VisibleRows();
}
BENCHMARK(BM_EditorPaintWindow)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zentu

BENCHMARK_MAIN();
