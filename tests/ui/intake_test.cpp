// The clipboard capture and the scrap agent on the offscreen platform: the
// clipboard is this process's own, drops are Qt's drag events sent to the
// agent window (no drag source of another program).
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <filesystem>
#include <fstream>

#include "capture/job.h"
#include "capture/pipeline.h"
#include "intake/channel.h"
#include "intake/clipboard.h"
#include "os/path.h"
#include "os/cp932.h"
#include "os/log.h"
#include "tests/ui/ui_fixture.h"
#include "ui/clipboardcapture.h"
#include "ui/commands.h"
#include "ui/scrapagent.h"

namespace zentu::testing {
namespace {

class IntakeWindowTest : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    CurrentProfile().ConfirmScrapText = false;
    CurrentProfile().SaveAtAddition = false;
    SetTreeLoaded(true);  // the channel's commands wait for the collection
  }
  void TearDown() override {
    // Captured fragments may have started the pipeline (when an earlier test
    // installed it): let it finish before the collection goes.
    (void)WaitUntilIdle(std::chrono::seconds(20));
    JoinFinishedWorkers();
    GetDownloadManager().Clear();
    ResetCommandChannel();
    UiTest::TearDown();
  }
  std::vector<TreeNode*> Items() {
    std::lock_guard lock(TreeMutex());
    std::vector<TreeNode*> out;
    for (TreeNode* n = Receive()->firstChild; n; n = n->next) out.push_back(n);
    return out;
  }
  static void SetClipboard(QMimeData* data) { QGuiApplication::clipboard()->setMimeData(data); }
  static QMimeData* Html(const std::string& headerForm) {
    auto* data = new QMimeData;
    data->setData(QStringLiteral("HTML Format"), QByteArray(headerForm.data(), static_cast<qsizetype>(headerForm.size())));
    data->setText(QStringLiteral("plain"));
    return data;
  }
};

TEST_F(IntakeWindowTest, ClipboardHtmlAndTextBecomeItemsAndTheConfirmationCanRefuse) {
  ui::AppWindows& app = Open();
  // A program that writes the header form, with a source URL holding "%20".
  SetClipboard(Html(BuildHtmlFormat("<b>" + SJ("選択") + "</b>", "http://example.com/a%20b.html")));
  ASSERT_TRUE(app.Dispatch(ui::kCmdTakeClipboardHtml));
  std::vector<TreeNode*> items = Items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0]->url, "http://example.com/a b.html");
  EXPECT_EQ(items[0]->downloadFlag, kDownloadDone);
  EXPECT_TRUE(items[0]->unread);

  // A browser's text/html with the page's URL beside it.
  auto* browser = new QMimeData;
  browser->setHtml(QString::fromUtf8("<meta charset=\"utf-8\"><p>ブラウザ</p>"));
  browser->setData(QStringLiteral("text/x-moz-url-priv"), QByteArray("https://example.org/page"));
  SetClipboard(browser);
  ASSERT_TRUE(app.Dispatch(ui::kCmdTakeClipboardHtml));
  ASSERT_EQ(Items().size(), 2u);
  EXPECT_EQ(Items()[1]->url, "https://example.org/page");

  // Text now: a text item, its source taken from the HTML beside it.
  auto* text = new QMimeData;
  text->setText(QString::fromUtf8("メモの一行目\nつづき"));
  text->setHtml(QStringLiteral("<p>x</p>"));
  text->setData(QStringLiteral("text/x-moz-url-priv"), QByteArray("https://example.org/memo"));
  SetClipboard(text);
  ASSERT_TRUE(app.Dispatch(ui::kCmdTakeClipboardText));
  ASSERT_EQ(Items().size(), 3u);
  EXPECT_EQ(Items()[2]->property, kPropertyTextItem);
  EXPECT_TRUE(LogContains("source url: https://example.org/memo"));

  // With the confirmation on, No adds nothing; the box names what it asks.
  CurrentProfile().ConfirmScrapText = true;
  SetClipboard(Html(BuildHtmlFormat("<i>no</i>", "http://example.com/no")));
  // (Answered through the desktop: a box's modal loop is not what is tested here.)
  os::SetDesktop(&desktop);
  desktop.answers = {os::IDNO};
  ASSERT_TRUE(app.Dispatch(ui::kCmdTakeClipboardHtml));
  os::SetDesktop(&qtDesktop);
  ASSERT_EQ(desktop.messages.size(), 1u);
  EXPECT_EQ(desktop.messages[0].caption, SJ("以下のHTMLを登録しますか？"));
  EXPECT_NE(desktop.messages[0].text.find("<i>no</i>"), std::string::npos);
  EXPECT_EQ(Items().size(), 3u);

  // An empty clipboard text is logged, nothing else.
  auto* empty = new QMimeData;
  empty->setText(QStringLiteral("x"));
  SetClipboard(empty);
  log::Clear();
  ASSERT_TRUE(app.Dispatch(ui::kCmdTakeClipboardText));
  EXPECT_TRUE(LogContains("no text."));
  EXPECT_EQ(Items().size(), 3u);
}

TEST_F(IntakeWindowTest, CopyCommandsWaitForTheClipboardOrGiveUp) {
  ui::AppWindows& app = Open();
  ui::ClipboardCapture* capture = app.clipboardCapture();
  ASSERT_NE(capture, nullptr);
  // The other program copies a moment after the key.
  int keys = 0;
  capture->sendCopy = [&] {
    ++keys;
    QTimer::singleShot(50, [] {
      auto* data = new QMimeData;
      data->setText(QString::fromUtf8("コピーされた文章"));
      SetClipboard(data);
    });
    return true;
  };
  // HTML was asked for, only text came: the text capture takes it.
  ASSERT_TRUE(app.Dispatch(ui::kCmdCopySelectionAsHtml));
  EXPECT_TRUE(capture->waiting());
  ASSERT_TRUE(WaitUntil([&] { return !capture->waiting(); }, 5000));
  ASSERT_EQ(Items().size(), 1u);
  EXPECT_EQ(Items()[0]->property, kPropertyTextItem);
  EXPECT_EQ(keys, 1);

  // The channel's ScrapHTML: the URL goes with HTML that names none.
  capture->sendCopy = [] {
    QTimer::singleShot(50, [] {
      auto* data = new QMimeData;
      data->setHtml(QStringLiteral("<p>from the page</p>"));
      SetClipboard(data);
    });
    return true;
  };
  ASSERT_EQ(ReceiveCommand(kCommandOther, "<!--ScrapHTML-->\nhttp://example.net/sel.html"), 1);
  ASSERT_TRUE(WaitUntil([&] { return Items().size() == 2; }, 5000));
  EXPECT_EQ(Items()[1]->url, "http://example.net/sel.html");

  // Nothing reaches the clipboard: timer 1008 ends the wait with the notice.
  capture->sendCopy = [] { return true; };
  log::Clear();
  ASSERT_TRUE(app.Dispatch(ui::kCmdCopySelectionAsText));
  ASSERT_TRUE(WaitUntil([&] { return LogContains(SJ("取り込むことが出来ませんでした．")); }, 5000));
  EXPECT_FALSE(capture->waiting());
  EXPECT_EQ(Items().size(), 2u);
}

TEST_F(IntakeWindowTest, DropsOnTheScrapAgentBecomeItemsWithoutAsking) {
  CurrentProfile().ConfirmScrapText = true;  // drops never ask
  ui::AppWindows& app = Open();
  ASSERT_TRUE(app.Dispatch(ui::kCmdShowScrapAgent));
  ui::CScrapAgent* agent = app.scrapAgent();
  ASSERT_NE(agent, nullptr);
  EXPECT_EQ(agent->windowTitle(), QStringLiteral("Drag & Drop Agent"));
  EXPECT_TRUE(agent->isVisible());

  const std::filesystem::path dir = std::filesystem::path(nativeHome) / "drop";
  std::filesystem::create_directories(dir / "folder");
  for (const char* name : {"a.txt", "写真.png"}) std::ofstream(dir / name) << "data";
  auto drop = [&](QMimeData* data) {
    const QPoint at(10, 10);
    QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(agent, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent dropped(QPointF(at), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(agent, &dropped);
    delete data;
    return dropped.isAccepted();
  };
  auto* files = new QMimeData;
  files->setUrls({QUrl::fromLocalFile(QString::fromStdString((dir / "a.txt").string())),
                  QUrl::fromLocalFile(QString::fromStdString((dir / "写真.png").string())),
                  QUrl::fromLocalFile(QString::fromStdString((dir / "folder").string())),
                  QUrl(QStringLiteral("https://example.com/dropped.html")), QUrl(QStringLiteral("javascript:alert(1)"))});
  EXPECT_TRUE(drop(files));
  std::vector<TreeNode*> items = Items();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0]->title, "a.txt");
  EXPECT_EQ(items[0]->localFile, os::FromNativePath((dir / "a.txt").string()));
  EXPECT_EQ(items[1]->title, SJ("写真.png"));
  EXPECT_EQ(items[2]->url, "https://example.com/dropped.html");
  EXPECT_EQ(items[2]->title, "*");
  EXPECT_TRUE(LogContains("> dropped file refused"));
  EXPECT_TRUE(LogContains("> dropped address refused"));

  auto* text = new QMimeData;
  text->setText(QString::fromUtf8("ドロップした文章"));
  EXPECT_TRUE(drop(text));
  ASSERT_EQ(Items().size(), 4u);
  EXPECT_EQ(Items()[3]->property, kPropertyTextItem);
  EXPECT_TRUE(agent->isVisible());

  auto* nothing = new QMimeData;
  nothing->setData(QStringLiteral("application/x-other"), QByteArray("?"));
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, nothing, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(agent, &enter);
  EXPECT_FALSE(enter.isAccepted());
  delete nothing;
}

}  // namespace
}  // namespace zentu::testing
