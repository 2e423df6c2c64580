// A captured site shown in the tabs with the server gone: every file from
// disk, links between saved pages staying on disk, the second activation
// showing the original, and pop-ups sorted by the block list.
#include "ui/web/tabbrowser.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
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

}  // namespace
}  // namespace zentu::testing
