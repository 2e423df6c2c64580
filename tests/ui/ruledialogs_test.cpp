// The dialogs of the capture rule lists: each adds, edits and deletes an entry
// from its menu command and writes its file on OK; entries the file could not
// hold are refused; passwords never show.
#include <QAction>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTreeWidget>
#include <cstdlib>
#include <filesystem>

#include "capture/rules.h"
#include "os/file.h"
#include "os/path.h"
#include "store/configfiles.h"
#include "tests/ui/ui_fixture.h"
#include "ui/qttext.h"
#include "ui/commands.h"
#include "ui/mainwindow.h"
#include "ui/ruledialogs.h"

namespace zentu::testing {
namespace {

using ui::RuleEntryDialog;
using ui::RuleFields;
using ui::RuleListDialog;
using ui::RuleListKind;

class RuleDialogTest : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    ClearCaptureRules();
    ASSERT_TRUE(os::CreateDirectories(CurrentProfile().dirs.config));
  }
  void TearDown() override {
    ClearCaptureRules();
    UiTest::TearDown();
  }
};

std::string FileOf(RuleListKind kind) {
  switch (kind) {
    case RuleListKind::Reject: return kRejectFileName;
    case RuleListKind::Convert: return kConvertFileName;
    case RuleListKind::Referrer: return kReferrerFileName;
    case RuleListKind::Password: return kPasswordFileName;
  }
  return {};
}

std::string ConfigPath(RuleListKind kind) { return os::JoinPath(CurrentProfile().dirs.config, FileOf(kind)); }

void Load(RuleListKind kind) {
  const std::string path = ConfigPath(kind);
  switch (kind) {
    case RuleListKind::Reject: (void)LoadRejectRules(path); break;
    case RuleListKind::Convert: (void)LoadConvertRules(path); break;
    case RuleListKind::Referrer: (void)LoadReferrerList(path); break;
    case RuleListKind::Password: (void)LoadPasswordList(path); break;
  }
}

// The entry lines of a rule file: comments and the line ends left out.
std::vector<std::string> EntryLines(const std::string& path) {
  std::string text;
  EXPECT_TRUE(os::ReadWholeFile(path, text)) << path;
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line[0] != '#') lines.push_back(line);
    at = end + 2;
  }
  return lines;
}

bool SelectRow(RuleListDialog& d, const std::string& key) {
  QTreeWidget* list = d.List();
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    if (list->topLevelItem(i)->text(0) == ui::Q(key)) {
      list->setCurrentItem(list->topLevelItem(i));
      return true;
    }
  }
  return false;
}

void Type(RuleEntryDialog& e, const RuleFields& fields) {
  for (size_t i = 0; i < fields.size(); ++i) e.Field(static_cast<int>(i))->setText(ui::Q(fields[i]));
}

struct Case {
  RuleListKind kind;
  int command;
  const char* caption;
  std::string file;      // the file before the dialog opens
  std::string existing;  // the key of the entry that is deleted
  RuleFields refused;    // typed first: refused, the entry dialog stays open
  RuleFields added;
  RuleFields edited;     // the added entry, changed
  std::vector<std::string> written;  // the entry lines after OK
};

std::vector<Case> Cases() {
  return {
      {RuleListKind::Reject, ui::kCmdRejectSettings, "取り込み時を無視するURLの設定",
       "/\\.gif$/\r\n/ads\\./\r\n", "/\\.gif$/", {"/a/b/"}, {"/\\.jpg$/"}, {"/\\.png$/"},
       {"/ads\\./", "/\\.png$/"}},
      {RuleListKind::Convert, ui::kCmdConvertSettings, "取り込み時のタグ変換に関する設定",
       "s/&amp;/&/g\r\n", "s/&amp;/&/g", {"s/a/b"}, {"s/ target=\"_blank\"//"}, {"s/ target=\"_top\"//i"},
       {"s/ target=\"_top\"//i"}},
      {RuleListKind::Referrer, ui::kCmdReferrerSettings, "サイトアクセスに関するリファラの設定",
       "http://b.example/\thttp://b.example/top\r\nhttp://d.example/\thttp://d.example/\r\n", "http://b.example/",
       {"#http://x.example/", "http://x.example/"}, {"http://c.example/", "http://c.example/"},
       {"http://a.example/", SJ("http://ref.example/表")},
       {"http://a.example/\t" + SJ("http://ref.example/表"), "http://d.example/\thttp://d.example/"}},
      {RuleListKind::Password, ui::kCmdPasswordSettings, "サイトアクセスに関するユーザ・パスワード設定",
       "# URL-USER-PASS LIST\r\nhttp://b.example/\tbob\t" + EncodePassword("pw1") + "\r\n", "http://b.example/",
       {"http://x.example/", "", "p"}, {"http://a.example/", "alice", "s3cret"},
       {"http://a.example/", "alice", SJ("新しい")},
       {"http://a.example/\talice\t" + EncodePassword(SJ("新しい"))}},
  };
}

TEST_F(RuleDialogTest, EachDialogAddsEditsAndDeletesAndOkWritesItsFile) {
  ui::AppWindows& w = Open();
  for (const Case& c : Cases()) {
    SCOPED_TRACE(FileOf(c.kind));
    ClearCaptureRules();
    ASSERT_TRUE(os::WriteFileAtomic(ConfigPath(c.kind), c.file));
    Load(c.kind);
    QString nothingSelected, deleteQuestion, refusal;
    bool stayedOpen = false;
    ModalStep<RuleListDialog> step([&](RuleListDialog& d) {
      EXPECT_EQ(d.windowTitle(), ui::U(c.caption));
      // Edit and delete with nothing selected say so.
      d.List()->clearSelection();
      {
        BoxAnswerer ok(os::IDOK);
        EXPECT_FALSE(d.EditSelected());
        nothingSelected = ok.text;
      }
      // Add: the refused entry keeps the entry dialog open with what was typed.
      ModalStep<RuleEntryDialog> add([&](RuleEntryDialog& e) {
        Type(e, c.refused);
        {
          BoxAnswerer ok(os::IDOK);
          e.accept();
          refusal = ok.text;
        }
        stayedOpen = e.isVisible() && e.Field(0)->text() == ui::Q(c.refused[0]);
        Type(e, c.added);
        e.accept();
      });
      EXPECT_TRUE(d.AddEntry());
      EXPECT_EQ(add.ran, 1);
      // Edit the added entry.
      ASSERT_TRUE(SelectRow(d, c.added[0]));
      ModalStep<RuleEntryDialog> edit([&](RuleEntryDialog& e) {
        EXPECT_EQ(e.Fields(), c.added);
        Type(e, c.edited);
        e.accept();
      });
      EXPECT_TRUE(d.EditSelected());
      // Delete the entry the file had, after the question.
      ASSERT_TRUE(SelectRow(d, c.existing));
      {
        BoxAnswerer ok(os::IDOK);
        EXPECT_TRUE(d.DeleteSelected());
        deleteQuestion = ok.text;
      }
      EXPECT_FALSE(SelectRow(d, c.existing));
      if (c.kind == RuleListKind::Password) {
        // Stars of one length in the list, a hidden field in the entry dialog.
        for (int i = 0; i < d.List()->topLevelItemCount(); ++i)
          EXPECT_EQ(d.List()->topLevelItem(i)->text(2), QStringLiteral("********"));
        RuleEntryDialog e(&d, c.kind, c.edited);
        EXPECT_EQ(e.Field(2)->echoMode(), QLineEdit::Password);
      }
      d.accept();
    });
    // From its entry in the ツール menu.
    QAction* entry = w.mainWindow()->action(c.command);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->text().remove(QRegularExpression("\\(&.\\)\\.\\.\\.$")), ui::U(c.caption));
    entry->trigger();
    ASSERT_EQ(step.ran, 1);
    EXPECT_EQ(nothingSelected, ui::U("何も選択されていませんが・・・"));
    EXPECT_EQ(deleteQuestion, ui::U("ほんとにこのアイテムを削除してもいいですか？\r\n削除したらキャンセルを選んでも戻りません．"));
    EXPECT_FALSE(refusal.isEmpty());
    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(EntryLines(ConfigPath(c.kind)), c.written);
    // The file loads back as the dialog left the list.
    ClearCaptureRules();
    Load(c.kind);
    RuleListDialog reopened(nullptr, c.kind, ConfigPath(c.kind));
    EXPECT_EQ(reopened.List()->topLevelItemCount(), static_cast<int>(c.written.size()));
  }
  // Stored passwords are only scrambled: the file is the user's alone.
  const auto perms = std::filesystem::status(nativeHome + "/Config/password.dat").permissions();
  EXPECT_EQ(perms & (std::filesystem::perms::group_all | std::filesystem::perms::others_all),
            std::filesystem::perms::none);
}

TEST_F(RuleDialogTest, CancelTakesNothingButADeletionStaysDone) {
  ui::AppWindows& w = Open();
  const std::string file = "/one/\r\n/two/\r\n";
  ASSERT_TRUE(os::WriteFileAtomic(ConfigPath(RuleListKind::Reject), file));
  Load(RuleListKind::Reject);
  ModalStep<RuleListDialog> step([&](RuleListDialog& d) {
    ModalStep<RuleEntryDialog> add([&](RuleEntryDialog& e) {
      Type(e, {"/three/"});
      e.accept();
    });
    EXPECT_TRUE(d.AddEntry());
    // The same rule twice is refused: only the first would ever be used. The
    // entry dialog comes back with it, and is cancelled.
    BoxAnswerer duplicate(os::IDOK);
    int rounds = 0;
    QTimer steps;
    steps.setInterval(5);
    QObject::connect(&steps, &QTimer::timeout, [&] {
      auto* e = dynamic_cast<RuleEntryDialog*>(QApplication::activeModalWidget());
      if (!e || !e->isVisible()) return;
      if (rounds++ == 0) {
        Type(*e, {"/one/"});
        e->accept();
      } else {
        EXPECT_EQ(e->Fields(), RuleFields{"/one/"});  // what was typed is still there
        e->reject();
      }
    });
    steps.start();
    EXPECT_FALSE(d.AddEntry());
    steps.stop();
    EXPECT_EQ(rounds, 2);
    EXPECT_TRUE(duplicate.text.startsWith(ui::U("同じものが")));
    ASSERT_TRUE(SelectRow(d, "/one/"));
    BoxAnswerer ok(os::IDOK);
    EXPECT_TRUE(d.DeleteSelected());
    d.reject();
  });
  ASSERT_TRUE(w.Dispatch(ui::kCmdRejectSettings));
  ASSERT_EQ(step.ran, 1);
  EXPECT_EQ(GetRejectRules(), RuleList{"/two/"});
  std::string now;
  ASSERT_TRUE(os::ReadWholeFile(ConfigPath(RuleListKind::Reject), now));
  EXPECT_EQ(now, file);  // written only by OK (or at shutdown)
}

// Pictures of the four dialogs with a few entries (README): set
// ZENTU_SCREENSHOT_DIR to keep them.
TEST_F(RuleDialogTest, PicturesOfTheDialogs) {
  SetRejectRules({"/\\.gif$/", "/\\.jpg$/", "/ad\\.example\\.net/", "/cmd=rss/"});
  SetConvertRules({"s/&amp;/&/g", "s/ (TARGET|target)=\"_blank\"//", "s/%7E/~/"});
  SetReferrerList({{"http://img.example.jp/", "http://www.example.jp/"},
                   {"http://members.example.com/", "http://members.example.com/login"}});
  SetPasswordList({{"http://members.example.com/", "alice", "s3cret"}, {"http://intra.example.org/wiki/", "bob", "pw"}});
  const char* dir = std::getenv("ZENTU_SCREENSHOT_DIR");
  const std::pair<RuleListKind, const char*> pictures[] = {
      {RuleListKind::Reject, "reject-list-dialog.png"},
      {RuleListKind::Convert, "convert-list-dialog.png"},
      {RuleListKind::Referrer, "referrer-list-dialog.png"},
      {RuleListKind::Password, "password-list-dialog.png"},
  };
  for (const auto& [kind, name] : pictures) {
    RuleListDialog d(nullptr, kind, ConfigPath(kind));
    d.show();
    d.List()->setCurrentItem(d.List()->topLevelItem(0));
    QApplication::processEvents();
    EXPECT_GE(d.List()->topLevelItemCount(), 2);
    if (dir && *dir) {
      EXPECT_TRUE(d.grab().save(QString::fromUtf8(dir) + "/" + name));
    }
  }
  RuleEntryDialog entry(nullptr, RuleListKind::Password, {"http://members.example.com/", "alice", "s3cret"});
  entry.show();
  QApplication::processEvents();
  if (dir && *dir) {
    EXPECT_TRUE(entry.grab().save(QString::fromUtf8(dir) + "/password-entry-dialog.png"));
  }
}

// Entries the files could not hold, or that would be read back otherwise.
TEST(RuleEntryRefusal, RefusesWhatTheFileWouldDropOrSplit) {
  struct Row {
    RuleListKind kind;
    RuleFields fields;
    bool refused;
  };
  const std::string longRule = "/" + std::string(2046, 'a') + "/";
  const Row rows[] = {
      {RuleListKind::Reject, {"/\\.gif$/"}, false},
      {RuleListKind::Reject, {"/a\\/b/"}, false},
      {RuleListKind::Reject, {"/a/b/"}, true},        // three slashes
      {RuleListKind::Reject, {"\\.gif$"}, true},      // no slashes
      {RuleListKind::Reject, {""}, true},
      {RuleListKind::Reject, {"/(open/"}, true},      // the service refuses it
      {RuleListKind::Reject, {"/x\r\n/"}, true},
      {RuleListKind::Reject, {longRule}, true},       // over the line limit
      {RuleListKind::Reject, {longRule.substr(2)}, true},
      {RuleListKind::Reject, {"/" + std::string(2044, 'a') + "/"}, false},
      {RuleListKind::Convert, {"s/a/b/"}, false},
      {RuleListKind::Convert, {"s/a/b/gi"}, false},
      {RuleListKind::Convert, {"s/a/b"}, true},
      {RuleListKind::Convert, {"/a/b/"}, true},
      {RuleListKind::Convert, {"s/(a/b/"}, true},
      {RuleListKind::Referrer, {"http://a/", "http://r/"}, false},
      {RuleListKind::Referrer, {"", "http://r/"}, true},
      {RuleListKind::Referrer, {"#http://a/", "http://r/"}, true},
      {RuleListKind::Referrer, {"http://a/\t", "http://r/"}, true},
      {RuleListKind::Referrer, {"http://a/", ""}, true},
      {RuleListKind::Referrer, {"http://a/", "http://r/\r\nEvil: 1"}, true},
      {RuleListKind::Referrer, {"http://a/"}, true},
      {RuleListKind::Password, {"http://a/", "u", "p"}, false},
      {RuleListKind::Password, {"http://a/", "u", ""}, false},
      {RuleListKind::Password, {"http://a/", "u", "p\tq"}, false},  // the stored form has no tab
      {RuleListKind::Password, {"", "u", "p"}, true},
      {RuleListKind::Password, {"http://a/", "", "p"}, true},
      {RuleListKind::Password, {"http://a/", "u\tv", "p"}, true},
      {RuleListKind::Password, {"#a", "u", "p"}, true},
      {RuleListKind::Password, {"http://a/", "u", std::string(1100, 'p')}, true},  // twice as long once stored
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fields.empty() ? std::string() : row.fields[0].substr(0, 30));
    EXPECT_EQ(!ui::RefuseRuleEntry(row.kind, row.fields).empty(), row.refused);
  }
}

}  // namespace
}  // namespace zentu::testing
