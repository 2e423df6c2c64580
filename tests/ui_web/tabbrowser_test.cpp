// A captured site shown in the tabs with the server gone: every file from
// disk, links between saved pages staying on disk, the second activation
// showing the original, and pop-ups sorted by the block list.
#include "ui/web/tabbrowser.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QTabBar>
#include <QThread>
#include <QTreeView>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>
#include <atomic>
#include <cstdlib>
#include <mutex>

#include "browser/lists.h"
#include "os/cp932.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "store/configfiles.h"
#include "tests/support/sample_site.h"
#include "tests/support/testhome.h"
#include "ui/commands.h"
#include "ui/web/blocklistdialog.h"
#include "ui/appwindows.h"
#include "ui/mainwindow.h"
#include "ui/qtdesktop.h"

namespace zentu::testing {
namespace {

using namespace std::chrono_literals;

bool Wait(const std::function<bool()>& done, int timeoutMs = 20000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// Counts every request the pages make that is not for a file on disk.
class Interceptor : public QWebEngineUrlRequestInterceptor {
 public:
  void interceptRequest(QWebEngineUrlRequestInfo& info) override {
    std::lock_guard lock(mutex);
    QUrl url = info.requestUrl();
    if (url.isLocalFile() || url.scheme() == QStringLiteral("data") || url.scheme() == QStringLiteral("about")) {
      ++files;
    } else {
      others.push_back(url.toString().toStdString());
    }
  }
  std::mutex mutex;
  int files = 0;
  std::vector<std::string> others;
};

QVariant RunJs(QWebEngineView* view, const QString& script) {
  QVariant out;
  bool done = false;
  view->page()->runJavaScript(script, [&](const QVariant& v) {
    out = v;
    done = true;
  });
  Wait([&] { return done; });
  return out;
}

class TabBrowserTest : public CaptureHome {
 protected:
  void SetUp() override {
    CaptureHome::SetUp();
    ui::QtDesktop::SetClosing(false);
    os::SetDesktop(&desktopQt);
    ResetBrowserLists();
    engine = new QWebEngineProfile;  // off the record: nothing kept between tests
    engine->setUrlRequestInterceptor(&interceptor);
    ui::SetBrowserPaneFactory(
        [this](QWidget* parent) { return std::make_unique<ui::TabBrowser>(parent, engine); });
  }
  void TearDown() override {
    windows.reset();
    QApplication::processEvents();
    delete engine;
    ui::SetBrowserPaneFactory({});
    ResetBrowserLists();
    ResetConfigFileHooks();
    os::SetDesktop(nullptr);
    CaptureHome::TearDown();
  }
  ui::TabBrowser* Browser() { return dynamic_cast<ui::TabBrowser*>(windows->mainWindow()->browser()); }
  // Waits until the current tab has loaded `want` (program form, or its start).
  bool Loaded(const std::string& want) {
    return Wait([&] {
      const TabRecord* r = Browser()->Record(Browser()->Current());
      return r && r->documentComplete && r->url.rfind(want, 0) == 0;
    });
  }

  ui::QtDesktop desktopQt;
  Interceptor interceptor;
  QWebEngineProfile* engine = nullptr;
  std::unique_ptr<ui::AppWindows> windows;
};

TEST_F(TabBrowserTest, SavedCopyFromDiskLinksStayOnDiskOriginalOnSecondActivation) {
  std::string indexUrl, otherUrl;
  TreeNode* item = nullptr;
  {
    TestServer server;
    ServeSampleResources(server, SampleImages::Gif);
    server.Add({.path = "/index.html",
                .headers = {{"Content-Type", "text/html"}},
                .body = os::Utf8ToSjis(
                    "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\">"
                    "<title>保存した日本語のページ</title><link rel=\"stylesheet\" href=\"css/main.css\"></head>"
                    "<body><h1>表示ソースの能力</h1><p>取り込んだページがタブに表示されます。</p>"
                    "<img src=\"img/a.gif\"><img src=\"/img/root.png\">"
                    "<p><a id=\"next\" href=\"other.html\">次のページ</a></p></body></html>")});
    server.AddPage("/other.html", "<html><head><title>other</title></head><body>other</body></html>");
    indexUrl = server.Url("/index.html");
    otherUrl = server.Url("/other.html");
    item = AddUrlItem(indexUrl);
    TreeNode* other = AddUrlItem(otherUrl);
    GetDownloadManager().AddJob(indexUrl, "", false, item);
    GetDownloadManager().AddJob(otherUrl, "", false, other);
    ASSERT_TRUE(WaitUntilIdle(60s));
    ASSERT_TRUE(StopCaptureAndWait(30s));
  }  // the server is gone
  {
    std::lock_guard lock(TreeMutex());
    ASSERT_EQ(item->downloadFlag, kDownloadDone);
    ASSERT_FALSE(item->localFile.empty());
  }

  CurrentProfile().WaitTimeForRead = 0;
  windows = std::make_unique<ui::AppWindows>();
  windows->mainWindow()->resize(1100, 700);
  windows->mainWindow()->show();
  ui::TabBrowser* browser = Browser();
  ASSERT_NE(browser, nullptr);
  windows->StartBrowser(CurrentProfile());
  ASSERT_TRUE(Loaded("about:blank"));  // the start page: start.dat has no entries
  EXPECT_EQ(browser->Count(), 1);

  windows->SelectFolder(GetTreeState().receiveFolder);
  windows->ActivateItem(item);
  const std::string data = CurrentProfile().dirs.data;
  ASSERT_TRUE(Loaded(data)) << browser->Record(0)->url;
  EXPECT_NE(browser->Record(0)->url.find("index.html"), std::string::npos);
  QWebEngineView* view = browser->View(0);
  EXPECT_EQ(RunJs(view, "Array.from(document.images).every(i => i.complete && i.naturalWidth > 0)").toBool(), true);
  EXPECT_EQ(RunJs(view, "document.images.length").toInt(), 2);
  EXPECT_GT(RunJs(view, "document.styleSheets.length").toInt(), 0);
  EXPECT_EQ(RunJs(view, "document.title").toString(), QString::fromUtf8("保存した日本語のページ"));
  {
    std::lock_guard lock(interceptor.mutex);
    EXPECT_TRUE(interceptor.others.empty()) << interceptor.others.front();
    EXPECT_GE(interceptor.files, 4);
  }
  EXPECT_TRUE(Wait([&] {
    std::lock_guard lock(TreeMutex());
    return !item->unread;
  }));
  if (const char* picture = std::getenv("ZENTU_BROWSER_PICTURE")) {
    QThread::msleep(300);
    QApplication::processEvents();
    windows->mainWindow()->grab().save(QString::fromUtf8(picture));
  }

  // A scripted click on a link to another captured page: its saved copy.
  RunJs(view, "document.getElementById('next').click()");
  ASSERT_TRUE(Wait([&] {
    const TabRecord* r = browser->Record(0);
    return r->documentComplete && r->url.find("other.html") != std::string::npos;
  }));
  EXPECT_EQ(browser->Record(0)->url.rfind(data, 0), 0u) << browser->Record(0)->url;

  // A second activation shows the original; a third the saved copy again.
  windows->ActivateItem(item);
  ASSERT_TRUE(Wait([&] { return view->url().toString().toStdString() == indexUrl; }));
  EXPECT_EQ(browser->OpenLocations(), std::vector<std::string>{indexUrl});
  windows->ActivateItem(item);
  ASSERT_TRUE(Wait([&] {
    const TabRecord* r = browser->Record(0);
    return view->url().isLocalFile() && r->documentComplete && r->url.find("index.html") != std::string::npos &&
           RunJs(view, "!!document.getElementById('next')").toBool();
  }));

  // Pop-ups: a blocked URL is dropped, an allowed one opens a tab.
  SetBlockListEntries({"blocked.example"});
  RunJs(view, "window.open('http://blocked.example/ad.html'); true");
  ASSERT_TRUE(Wait([] { return LogContains("[Popup Kill] http://blocked.example/ad.html"); }));
  EXPECT_EQ(browser->Count(), 1);
  QString nextHref = RunJs(view, "document.getElementById('next').href").toString();
  ASSERT_FALSE(nextHref.isEmpty()) << RunJs(view, "document.location.href").toString().toStdString()
                                   << RunJs(view, "document.body.innerHTML").toString().toStdString();
  RunJs(view, QStringLiteral("window.open('%1'); true").arg(nextHref));
  ASSERT_TRUE(Wait([&] { return browser->Count() == 2; }));
  ASSERT_TRUE(Wait([&] {
    const TabRecord* r = browser->Record(1);
    return r->documentComplete && r->url.find("other.html") != std::string::npos;
  }));
  EXPECT_EQ(browser->Current(), 1);

  // Tabs: next wraps, closing the current last tab makes its left neighbour
  // current, and the only tab left stays open with a blank page.
  browser->NextTab();
  EXPECT_EQ(browser->Current(), 0);
  browser->SelectTab(1);
  browser->CloseTab(1);
  EXPECT_EQ(browser->Count(), 1);
  EXPECT_EQ(browser->Current(), 0);
  browser->CloseTab(0);
  EXPECT_EQ(browser->Count(), 1);
  ASSERT_TRUE(Loaded("about:blank"));
  EXPECT_EQ(browser->TabStrip()->tabText(0), QStringLiteral("No Name"));
  {
    std::lock_guard lock(interceptor.mutex);
    // Only the original the second activation asked for left the disk.
    for (const std::string& u : interceptor.others) EXPECT_EQ(u, indexUrl);
  }
}

TEST_F(TabBrowserTest, LastOpenedTabsComeBackAndSingleModeRefusesTabCommands) {
  Profile& p = CurrentProfile();
  p.OpenLastOpened = true;
  std::string page = os::JoinPath(p.dirs.data, "host\\a.html");
  ASSERT_TRUE(os::CreateDirectories(os::DirectoryOf(page)));
  ASSERT_TRUE(os::WriteFileAtomic(page, "<html><head><title>a</title></head><body>a</body></html>"));
  InstallBrowserListHooks();
  windows = std::make_unique<ui::AppWindows>();
  windows->StartBrowser(p);
  ui::TabBrowser* browser = Browser();
  browser->OpenInNewTab("", page);
  browser->OpenInNewTab("Loading...", "about:blank");
  ASSERT_TRUE(Wait([&] { return browser->Record(1)->documentComplete; }));
  EXPECT_EQ(browser->TabStrip()->tabToolTip(1), QStringLiteral("a"));
  // A marker on the selection, written back into the saved copy.
  p.SaveHtmlAtChange = true;
  browser->SelectTab(1);
  RunJs(browser->View(1), "getSelection().selectAllChildren(document.body); true");
  browser->MarkSelection(1);
  std::string saved;
  EXPECT_TRUE(Wait([&] {
    return os::ReadWholeFile(page, saved) && saved.find("background-color: #ffff00;") != std::string::npos;
  })) << saved;
  browser->MarkSelection(2);  // nothing selected any more
  EXPECT_TRUE(Wait([] { return LogContains("not selected"); }));
  ASSERT_EQ(SaveConfigFiles(p), 1);  // the shutdown's save: last.dat first
  windows->UninitBrowser();
  EXPECT_TRUE(LogContains("Uninit All Browser / Editor Window"));
  windows.reset();

  windows = std::make_unique<ui::AppWindows>();
  windows->StartBrowser(p);
  browser = Browser();
  ASSERT_EQ(browser->Count(), 2);  // the start page, then the saved tab
  EXPECT_EQ(browser->OpenLocations()[1], page);
  windows.reset();

  p.TabBrowser = false;
  windows = std::make_unique<ui::AppWindows>();
  browser = Browser();
  windows->StartBrowser(p);
  log::Clear();
  browser->OpenInNewTab("Loading...", page);
  browser->CloseTab(0);
  browser->NextTab();
  EXPECT_EQ(browser->Count(), 1);
  EXPECT_FALSE(browser->TabStrip()->isVisible());
  EXPECT_TRUE(LogContains("[error] single browser mode"));
  ASSERT_TRUE(Wait([&] { return browser->Record(0)->documentComplete && browser->Record(0)->url == page; }));
}

// A saved page whose links lead to other saved copies: with
// AutoConvertLocalToOriginal the links show the URLs the copies came from.
TEST_F(TabBrowserTest, AutoConvertLocalToOriginalGivesLinksTheirOriginalUrls) {
  Profile& p = CurrentProfile();
  p.AutoConvertLocalToOriginal = true;
  const std::string data = p.dirs.data;
  struct File { const char* path; const char* body; };
  const File files[] = {
      {"example.test\\a\\index.html",
       "<html><head><title>a</title></head><body><a id='b' href='b.html'>b</a>"
       "<a id='up' href='../c/d.html#part'>d</a><a id='q' href='../q/x.html'>q</a>"
       "<a id='net' href='http://elsewhere.test/p.html'>net</a></body></html>"},
      {"example.test\\a\\b.html", "<html><body>b</body></html>"},
      {"example.test\\c\\d.html", "<html><body>d</body></html>"},
      {"example.test\\q\\x.html", "<html><body>q</body></html>"},
  };
  for (const File& f : files) {
    std::string path = os::JoinPath(data, f.path);
    ASSERT_TRUE(os::CreateDirectories(os::DirectoryOf(path)));
    ASSERT_TRUE(os::WriteFileAtomic(path, f.body));
  }
  // A URL with a query lands on a name of its own; only the noted pair knows it.
  SavedCopyOrigins().Note(os::JoinPath(data, "example.test\\q\\x.html"), "http://example.test/q?x=1");
  windows = std::make_unique<ui::AppWindows>();
  ui::TabBrowser* browser = Browser();
  browser->OpenInNewTab("a", os::JoinPath(data, files[0].path));
  ASSERT_TRUE(Loaded(data));
  QWebEngineView* view = browser->View(browser->Current());
  auto href = [&](const char* id) {
    return RunJs(view, QStringLiteral("document.getElementById('%1').href").arg(QLatin1String(id))).toString();
  };
  const std::pair<const char*, const char*> expected[] = {
      {"b", "http://example.test/a/b.html"},
      {"up", "http://example.test/c/d.html#part"},
      {"q", "http://example.test/q?x=1"},
      {"net", "http://elsewhere.test/p.html"},
  };
  EXPECT_TRUE(Wait([&] { return href("b").startsWith(QStringLiteral("http:")); }));
  for (const auto& [id, url] : expected) EXPECT_EQ(href(id).toStdString(), url) << id;
  SavedCopyOrigins().Clear();
}

// ExclusiveListBrowser: each activation gives the list's place to the page and back.
TEST_F(TabBrowserTest, ExclusiveListBrowserTogglesTheListOnEachActivation) {
  Profile& p = CurrentProfile();
  p.OpenByDoubleClick = true;
  p.ExclusiveListBrowser = true;
  p.WaitTimeForRead = -1;
  std::string page = os::JoinPath(p.dirs.data, "example.test\\index.html");
  ASSERT_TRUE(os::CreateDirectories(os::DirectoryOf(page)));
  ASSERT_TRUE(os::WriteFileAtomic(page, "<html><head><title>e</title></head><body>e</body></html>"));
  TreeNode* item = AddUrlItem("http://example.test/");
  {
    std::lock_guard lock(TreeMutex());
    SetLocalFile(item, "example.test\\index.html");
    SetDownloadFlag(item, kDownloadDone);
    SetUnreadFlag(item, true);
  }
  windows = std::make_unique<ui::AppWindows>();
  windows->mainWindow()->resize(900, 600);
  windows->mainWindow()->show();
  ui::TabBrowser* browser = Browser();
  windows->SelectFolder(GetTreeState().receiveFolder);
  QWidget* list = windows->mainWindow()->listView();
  ASSERT_TRUE(list->isVisible());
  windows->ActivateItem(item);
  EXPECT_FALSE(list->isVisible());
  ASSERT_TRUE(Loaded(page));
  windows->ActivateItem(item);  // the second one: the original, and the list again
  EXPECT_TRUE(list->isVisible());
  EXPECT_TRUE(Wait([&] { return browser->OpenLocations().front() == "http://example.test/"; }));
  std::lock_guard lock(TreeMutex());
  EXPECT_TRUE(item->unread);  // WaitTimeForRead -1: never marked read
}

// The menu's browser commands: next and previous wrap, markers reach the
// page, and in single-browser mode every tab command says why it does nothing.
TEST_F(TabBrowserTest, MenuCommandsMoveBetweenTabsMarkAndRefuseInSingleMode) {
  RecordingDesktop desktop;
  os::SetDesktop(&desktop);
  Profile& p = CurrentProfile();
  windows = std::make_unique<ui::AppWindows>();
  windows->mainWindow()->show();
  ui::TabBrowser* browser = Browser();
  browser->OpenInNewTab("one", "about:blank");
  browser->OpenInNewTab("two", "data:text/html,<p id=p>two</p>");
  browser->OpenInNewTab("three", "about:blank");
  ASSERT_EQ(browser->Count(), 3);
  const std::pair<int, int> moves[] = {{ui::kCmdRightTab, 0}, {ui::kCmdRightTab, 1}, {ui::kCmdLeftTab, 0},
                                       {ui::kCmdLeftTab, 2}};
  for (const auto& [command, after] : moves) {
    EXPECT_TRUE(windows->Dispatch(command));
    EXPECT_EQ(browser->Current(), after) << command;
  }
  // The key of the right-tab command, through the window's shortcuts.
  QAction* right = windows->mainWindow()->action(ui::kCmdRightTab);
  ASSERT_NE(right, nullptr);
  EXPECT_EQ(right->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Right));
  right->trigger();
  EXPECT_EQ(browser->Current(), 0);
  windows->Dispatch(ui::kCmdRightTab);
  ASSERT_TRUE(Wait([&] { return browser->Record(1)->documentComplete; }));
  RunJs(browser->View(1), "getSelection().selectAllChildren(document.getElementById('p')); true");
  windows->Dispatch(ui::kCmdMarker2);
  EXPECT_TRUE(Wait([&] {
    return RunJs(browser->View(1), "document.body.innerHTML").toString().contains(QStringLiteral("#fd7007"));
  }));
  windows->Dispatch(ui::kCmdCloseCurrentTab);
  EXPECT_EQ(browser->Count(), 2);
  EXPECT_TRUE(desktop.messages.empty());
  windows.reset();

  p.TabBrowser = false;
  windows = std::make_unique<ui::AppWindows>();
  browser = Browser();
  for (int command : {ui::kCmdNewTab, ui::kCmdRightTab, ui::kCmdCloseCurrentTab, ui::kCmdCopyTabUrl}) {
    desktop.messages.clear();
    windows->Dispatch(command);
    ASSERT_EQ(desktop.messages.size(), 1u) << command;
    EXPECT_EQ(desktop.messages[0].text, os::SJ("タブブラウザモードでないので利用することができません"));
  }
  EXPECT_EQ(browser->Count(), 1);
  windows.reset();
  os::SetDesktop(&desktopQt);
}

// The block-list dialog: entries are single lines, deleting asks first and
// sticks even when the dialog is cancelled, and closing writes closeurl.dat.
TEST_F(TabBrowserTest, BlockListDialogAddsDeletesAndWritesTheFile) {
  RecordingDesktop desktop;
  os::SetDesktop(&desktop);
  std::string path = ConfigFilePath(CurrentProfile(), ConfigFile::CloseUrl);
  ASSERT_TRUE(os::CreateDirectories(os::DirectoryOf(path)));
  SetBlockListEntries({"ads.example"});
  ui::BlockListDialog dialog(nullptr, path);
  EXPECT_EQ(dialog.windowTitle(), QString::fromUtf8("自動的に閉じるURLに関する設定（自動クローズ）"));
  ASSERT_EQ(dialog.List()->count(), 1);
  const std::pair<const char*, bool> additions[] = {
      {"  track.example\n/beacon  ", true},  // one entry, the line break a blank
      {"# comment", false},
      {" ", false},
      {"pop.example", true},
  };
  for (const auto& [text, added] : additions) {
    dialog.Entry()->setText(QString::fromUtf8(text));
    EXPECT_EQ(dialog.AddEntry(), added) << text;
  }
  EXPECT_EQ(BlockListEntries(), (std::vector<std::string>{"ads.example", "track.example /beacon", "pop.example"}));
  if (const char* picture = std::getenv("ZENTU_BLOCKLIST_PICTURE")) {
    dialog.show();
    QApplication::processEvents();
    dialog.grab().save(QString::fromUtf8(picture));
  }

  dialog.List()->clearSelection();
  dialog.List()->setCurrentRow(-1);
  EXPECT_FALSE(dialog.DeleteSelected());
  ASSERT_EQ(desktop.messages.size(), 1u);
  EXPECT_EQ(desktop.messages[0].text, os::SJ("何も選択されていませんが・・・"));
  dialog.List()->setCurrentRow(0);
  desktop.answers = {os::IDCANCEL};
  EXPECT_FALSE(dialog.DeleteSelected());
  EXPECT_EQ(BlockListEntries().size(), 3u);
  dialog.List()->setCurrentRow(0);
  desktop.answers = {os::IDOK};
  EXPECT_TRUE(dialog.DeleteSelected());
  EXPECT_EQ(desktop.messages.back().text,
            os::SJ("ほんとにこのアイテムを削除してもいいですか？\r\n削除したらキャンセルを選んでも戻りません．"));
  dialog.reject();
  EXPECT_EQ(IsUrlAllowed("http://ads.example/x"), 1);
  EXPECT_EQ(IsUrlAllowed("http://pop.example/x"), 0);

  ResetBrowserLists();
  ASSERT_EQ(LoadBlockList(path), 1);
  EXPECT_EQ(BlockListEntries(), (std::vector<std::string>{"track.example /beacon", "pop.example"}));
  os::SetDesktop(&desktopQt);
}

}  // namespace
}  // namespace zentu::testing
