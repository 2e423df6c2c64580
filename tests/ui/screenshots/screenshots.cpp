// Pictures of the windows for the documentation: a sample collection of 1,000
// items with Japanese titles, the main window on a folder, the download
// manager while a capture from a local test server runs, and the log window.
//
//   zentu_screenshots [output directory]     (default: docs/screenshots)
//
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise
// (xvfb-run works too). The IPA Gothic font is used when it is installed.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QHeaderView>
#include <QPixmap>
#include <QTableView>
#include <QThread>
#include <QTreeView>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "capture/http.h"
#include "capture/job.h"
#include "capture/pipeline.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/home.h"
#include "os/log.h"
#include "store/profile.h"
#include "store/profile_bridge.h"
#include "store/tree.h"
#include "store/treefile.h"
#include "tests/support/testserver.h"
#include "ui/appwindows.h"
#include "ui/downloadwindow.h"
#include "ui/foldermodel.h"
#include "ui/itemmodel.h"
#include "ui/logwindow.h"
#include "ui/mainwindow.h"
#include "ui/qtdesktop.h"

using namespace zentu;

namespace {

std::string SJ(const char* utf8) { return os::Utf8ToSjis(utf8); }

void Pump(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(5);
  }
}

bool PumpUntil(const std::function<bool()>& done, int ms) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(5);
  }
  return true;
}

TreeNode* Folder(TreeNode* parent, const char* title, bool expanded = true) {
  TreeNode* f = CreateNode(SJ(title), {}, {}, kNodeFolder);
  f->expanded = expanded;
  Link(f, parent, kLinkLastChild);
  return f;
}

// 1,000 items spread over a dozen folders, with dates, sizes, marks and unread ones.
void BuildSampleCollection() {
  std::lock_guard lock(TreeMutex());
  BuildDefaultTree(TreeFileSettings{});
  TreeNode* root = GetTreeState().root;
  root->expanded = true;
  GetTreeState().receiveFolder->expanded = true;

  struct Topic {
    const char* folder;
    const char* parent;  // nullptr: under the root
    const char* host;
    std::vector<const char*> words;
    int items;
  };
  const std::vector<Topic> topics = {
      {"ニュース", nullptr, "", {}, 0},
      {"国内", "ニュース", "news.example.jp",
       {"東京の天気は晴れ", "新幹線ダイヤ改正のお知らせ", "桜の開花予想", "大雪で交通機関に乱れ", "春の交通安全運動",
        "地方選挙の結果速報", "新しい図書館が開館"}, 160},
      {"国際", "ニュース", "world.example.jp",
       {"各国首脳が会談", "為替相場の動き", "国際宇宙ステーションの近況", "世界遺産に新たに登録", "五輪開催地の準備状況"},
       120},
      {"経済", "ニュース", "keizai.example.jp",
       {"日経平均が続伸", "新製品の発表会", "中小企業の景況感", "原油価格の推移", "決算発表のまとめ"}, 110},
      {"技術メモ", nullptr, "", {}, 0},
      {"C++", "技術メモ", "cpp.example.org",
       {"テンプレート入門", "スマートポインタの使い方", "ムーブセマンティクス解説", "例外安全性について",
        "標準ライブラリのアルゴリズム"}, 120},
      {"Qt", "技術メモ", "qt.example.org",
       {"モデルとビューの基本", "シグナルとスロット", "スレッドとイベントループ", "レイアウトの組み方"}, 90},
      {"Linux", "技術メモ", "linux.example.org",
       {"シェルスクリプトの小技", "systemd のユニット設定", "ファイルシステムの選び方", "ネットワーク設定の確認"}, 80},
      {"レシピ", nullptr, "recipe.example.jp",
       {"肉じゃがの作り方", "簡単だし巻き卵", "炊き込みご飯", "鯖の味噌煮", "抹茶のパウンドケーキ", "豚汁"}, 120},
      {"旅行", nullptr, "travel.example.jp",
       {"京都の紅葉めぐり", "北海道ドライブ旅行記", "沖縄の離島ガイド", "温泉宿の選び方", "金沢の朝市"}, 100},
      {"読書", nullptr, "books.example.jp",
       {"今月の新刊案内", "文庫で読む名作", "書評：長編ミステリー", "図書館で借りた本"}, 60},
      {"未整理フォルダ", "", "clip.example.jp", {"あとで読む記事", "気になったページ", "参考リンク"}, 40},
  };
  std::mt19937 rng(20070212);
  std::map<std::string, TreeNode*> folders;
  for (const Topic& t : topics) {
    TreeNode* f;
    if (t.parent && !*t.parent) {
      f = GetTreeState().receiveFolder;
    } else {
      TreeNode* parent = t.parent ? folders[t.parent] : root;
      f = Folder(parent, t.folder, true);
    }
    folders[t.folder] = f;
    for (int i = 0; i < t.items; ++i) {
      const char* word = t.words[static_cast<size_t>(i) % t.words.size()];
      char title[256], url[256], date[32], original[64];
      std::snprintf(title, sizeof title, "%s（第%d回）", word, i / static_cast<int>(t.words.size()) + 1);
      std::snprintf(url, sizeof url, "http://%s/2007/%02d/article%04d.html", t.host, 1 + i % 12, i);
      std::snprintf(date, sizeof date, "2007/%02d/%02d %02d:%02d:%02d", 1 + (i * 7) % 12, 1 + (i * 11) % 28,
                    (i * 5) % 24, (i * 13) % 60, (i * 17) % 60);
      std::snprintf(original, sizeof original, "Mon, %02d Feb 2007 %02d:00:00 GMT", 1 + i % 28, i % 24);
      TreeNode* item = CreateNode(SJ(title), url, {}, kNodeItem);
      SetProperty(item, kPropertyUrlItem);
      const uint32_t roll = rng() % 20;
      SetDownloadFlag(item, roll == 0 ? kDownloadError : roll < 3 ? kDownloadNone : roll < 6 ? kDownloadChanged
                                                                                     : kDownloadDone);
      if (item->downloadFlag != kDownloadNone) {
        SetLastCheck(item, date);
        SetOriginalDate(item, original);
        SetSize(item, 2000 + rng() % 90000);
        std::string local = std::string("Z:\\tmp\\zentu\\Data\\") + t.host + "\\2007\\article" + std::to_string(i) + ".html";
        SetLocalFile(item, local);
      }
      if (rng() % 9 == 0) SetMark(item, 1 + static_cast<int>(rng() % 9));
      Link(item, f, kLinkLastChild);
      if (item->downloadFlag == kDownloadChanged || rng() % 7 == 0) SetUnreadFlag(item, true);
    }
  }
  // A text item, and an item whose saved copy is locked.
  TreeNode* memo = CreateNode(SJ("買い物メモ"), {}, SJ("Z:\\tmp\\zentu\\Text\\memo.txt"), kNodeItem);
  SetProperty(memo, kPropertyTextItem);
  Link(memo, folders["レシピ"], kLinkFirstChild);
  TreeNode* locked = folders["国内"]->firstChild;
  locked->openIcon = locked->closedIcon = kIconDlUrlLocked;
  // Special folders to show their icons.
  TreeNode* sync = Folder(root, "同期フォルダ（ダウンロード）", false);
  SetProperty(sync, kPropertySyncFolder);
  TreeNode* rss = Folder(root, "RSS：技術ブログ", false);
  SetProperty(rss, kPropertyRssFolder);
  TreeNode* bookmarks = Folder(root, "ブックマーク（インポート）", false);
  SetProperty(bookmarks, kPropertyBookmarkFolder);
  SetSortMode(folders["国内"], kSortTitleAscFoldersFirst);
  GetTreeState().currentFolder = root;
  GetTreeState().modified = false;
}

bool Save(QWidget* w, const QString& dir, const char* name) {
  QPixmap shot = w->grab();
  const QString path = dir + "/" + name;
  const bool ok = shot.save(path, "PNG");
  std::printf("%s %s (%dx%d)\n", ok ? "wrote" : "FAILED", path.toUtf8().constData(), shot.width(), shot.height());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  std::setlocale(LC_NUMERIC, "C");
  const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1])
                               : QString::fromUtf8(ZENTU_SOURCE_DIR) + "/docs/screenshots";
  QDir().mkpath(out);
  for (const QString& family : QFontDatabase::families()) {
    if (family.contains("IPAGothic") || family.contains("IPAPGothic")) {
      QFont f(family, 10);
      QApplication::setFont(f);
      break;
    }
  }

  // A home of its own.
  std::string tmpl = (std::filesystem::temp_directory_path() / "zentu-shots-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) return 1;
  ::setenv("ZENTU_HOME", tmpl.c_str(), 1);
  os::ResetZentuHome();
  Profile& profile = CurrentProfile();
  LoadProfile(profile, ProfilePath());
  profile.Xpos = 0;
  profile.Ypos = 0;
  profile.Width = 1120;
  profile.Height = 720;
  profile.TreeWidth = 250;
  profile.ListHeight = 360;
  profile.ColumnWidth[0] = {330, 300, 60, 190, 130, 70, 100};
  profile.PrecheckByHeadRequest = true;
  profile.TimeOut = 5000;
  profile.ShowByDownload = false;
  for (const std::string* dir : {&profile.dirs.data, &profile.dirs.text, &profile.dirs.config, &profile.dirs.timer})
    (void)os::CreateDirectories(*dir);
  CurrentTreeFileSettings() = TreeFileSettingsFrom(profile, CurrentTreeFileSettings());

  ui::QtDesktop desktop;
  os::SetDesktop(&desktop);
  BuildSampleCollection();
  WriteLog("-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-=-");
  WriteLog(" Zentu version 0.99M");
  WriteLog("%s", SJ("# サンプルの取り込みを開始します").c_str());

  int failures = 0;
  {
    ui::AppWindows windows;
    windows.ShowMain(1);
    windows.AddTrayIcon("Zentu");
    ui::MainWindow* main = windows.mainWindow();
    TreeNode* domestic = FindFolderByTitle(GetTreeState().root, SJ("国内"), TitleMatch::Whole, true);
    windows.SelectFolder(domestic);
    main->listView()->setCurrentIndex(main->listModel()->index(3, 0));
    main->listView()->selectionModel()->select(main->listModel()->index(5, 0),
                                               QItemSelectionModel::Select | QItemSelectionModel::Rows);
    Pump(300);
    failures += !Save(main, out, "main-window.png");

    // A capture from a local server: slow enough to catch rows in every state.
    zentu::testing::TestServer server;
    server.SetDelay(120);
    const char* pages[] = {"index", "news", "blog", "about", "photo", "recipe", "travel", "books", "memo", "links"};
    for (int i = 0; i < 10; ++i) {
      std::string body = "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\">"
                         "<title>" + SJ("サンプルページ ") + pages[i] + "</title></head><body>"
                         "<img src=\"img/a" + std::to_string(i) + ".png\"><img src=\"img/b" + std::to_string(i) +
                         ".png\"><link rel=\"stylesheet\" href=\"css/s" + std::to_string(i) + ".css\">"
                         "</body></html>";
      server.AddPage(std::string("/") + pages[i] + ".html", body);
    }
    server.Add({.path = "/img/*", .headers = {{"Content-Type", "image/png"}}, .body = std::string(3000, 'p')});
    server.Add({.path = "/css/*", .headers = {{"Content-Type", "text/css"}}, .body = "body{color:#333}"});
    server.Add({.path = "/gone.html", .status = 404, .body = "no"});

    InstallPipeline();
    SetWorkerIdleLimit(std::chrono::milliseconds(2000));
    (void)StartWinsock();
    std::vector<std::string> urls;
    for (const char* p : pages) urls.push_back(server.Url(std::string("/") + p + ".html"));
    urls.push_back(server.Url("/gone.html"));
    for (const std::string& url : urls) {
      TreeNode* item;
      {
        std::lock_guard lock(TreeMutex());
        item = CreateNode("*", url, {}, kNodeItem);
        SetProperty(item, kPropertyUrlItem);
        SetDownloadFlag(item, kDownloadChanged);
        (void)AddItemToFolder(GetTreeState().receiveFolder, item);
      }
      os::GetDesktop().RefreshNode(item);
      GetDownloadManager().AddJob(url, "", false, item);
    }
    ui::DownloadWindow* dm = windows.downloadWindow();
    dm->setGeometry(0, 0, 1100, 420);
    windows.ShowDownloadManager(true);
    // Mid-capture: some rows done, some still on their way.
    PumpUntil([&] { return GetDownloadManager().CountStatus(kJobComplete) >= 8; }, 30000);
    Pump(200);
    failures += !Save(dm, out, "download-manager.png");

    (void)WaitUntilIdle(std::chrono::seconds(60));
    (void)StopCaptureAndWait(std::chrono::seconds(30));
    Pump(300);
    // The receive folder with the captured pages, for the record.
    windows.SelectFolder(GetTreeState().receiveFolder);
    const int rows = main->listModel()->rowCount();
    main->listView()->setCurrentIndex(main->listModel()->index(rows - 3, 0));
    main->listView()->scrollToBottom();
    WriteLog("%s", SJ("# 取り込みが終了しました").c_str());
    WriteLogProgress(0, "%s", SJ("> 未整理フォルダ: 11 件を追加").c_str());
    Pump(200);
    failures += !Save(main, out, "main-window-captured.png");

    ui::LogWindow* log = windows.logWindow();
    log->setGeometry(0, 0, 820, 460);
    windows.ShowLogWindow(true);
    Pump(300);
    failures += !Save(log, out, "log-window.png");
    windows.HideAll();
  }
  os::SetDesktop(nullptr);
  GetDownloadManager().Clear();
  ResetTreeState();
  std::filesystem::remove_all(tmpl);
  return failures == 0 ? 0 : 1;
}
