#include "editor/textitem.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>

#include "editor/kedit.h"
#include "os/file.h"
#include "os/path.h"
#include "store/profile.h"
#include "store/tree.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::SJ;

class TextItemTest : public testing::TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    SetProfileDefaults(profile);
    profile.ProgramDirectory = home;
    ResolveDirectories(profile);
    profile.SetTitleWithFirstLine = true;
    ResetTreeState();
    TreeState& t = GetTreeState();
    t.root = CreateNode("Zentu", {}, {}, kNodeRoot);
    folder = CreateNode("notes", {}, {}, kNodeFolder);
    Link(folder, t.root, kLinkLastChild);
    SetTextItemHooks({});
    tab->SetProfile(&profile);
  }
  void TearDown() override {
    tab.reset();
    SetTextItemHooks({});
    ResetTreeState();
    TempHome::TearDown();
  }
  std::string Read(const std::string& path) {
    std::string s;
    EXPECT_TRUE(os::ReadWholeFile(path, s)) << path;
    return s;
  }
  void Type(const std::string& text) { edit.PushUndo(edit.InsertText(text)); }

  Profile profile;
  TreeNode* folder = nullptr;
  CKEdit edit;
  std::unique_ptr<TextTab> tab = std::make_unique<TextTab>(edit);
};

TEST(TextNames, TitlesBecomeFileNames) {
  struct Row {
    std::string title, file;
  };
  const Row rows[] = {
      {"plain", "plain.txt"},
      {"a/b:c", SJ("a／b：c.txt")},
      {"x\"*,;<>?\\|y", SJ("x”＊，；＜＞？￥｜y.txt")},
      {"tab\there", "tab  here.txt"},
      {"report.html", "report.html"},
      {"v1.5", "v1.5.txt"},
      {SJ("表示.md"), SJ("表示.md")},
      {"dir/x.txt", SJ("dir／x.txt")},
  };
  for (const Row& r : rows) EXPECT_EQ(TextFileNameFromTitle(r.title), r.file) << r.title;
  // A long title keeps its extension and is cut on a character boundary.
  std::string longTitle;
  for (int i = 0; i < 200; ++i) longTitle += SJ("あ");
  const std::string name = TextFileNameFromTitle(longTitle);
  EXPECT_LE(name.size(), kFileNameMax);
  EXPECT_EQ(name.substr(name.size() - 4), ".txt");
  EXPECT_EQ((name.size() - 4) % 2, 0u);
  os::LocalTime t;
  t.year = 2026, t.month = 1, t.day = 2, t.hour = 3, t.minute = 4, t.second = 5;
  EXPECT_EQ(DefaultTextTitle(t), "(Untitled_20260102_030405)");
}

TEST_F(TextItemTest, NewItemsInTheSameSecondGetACounter) {
  TreeNode* a = NewTextItem(folder, profile);
  TreeNode* b = NewTextItem(folder, profile);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->title, b->title);
  EXPECT_EQ(a->localFile, a->title + ".txt");
  EXPECT_EQ(b->localFile, a->title + " (1).txt");
  EXPECT_EQ(b->property, kPropertyTextItem);
  EXPECT_TRUE(os::FileExists(TextItemPath(b, profile)));
  // An item as the selection means its folder.
  TreeNode* c = NewTextItem(a, profile);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->parent, folder);
  EXPECT_EQ(c->localFile, a->title + " (2).txt");
}

TEST_F(TextItemTest, NewItemIsRefusedWhereItCannotGo) {
  TreeNode* search = CreateNode("search", {}, {}, kNodeFolder);
  search->property = kPropertySearchFolder;
  Link(search, GetTreeState().root, kLinkLastChild);
  EXPECT_EQ(NewTextItem(nullptr, profile), nullptr);
  EXPECT_EQ(NewTextItem(GetTreeState().root, profile), nullptr);
  EXPECT_EQ(NewTextItem(search, profile), nullptr);
  ASSERT_EQ(desktop.messages.size(), 3u);
  EXPECT_EQ(desktop.messages[0].text, SJ("登録場所が不明です"));
  EXPECT_EQ(desktop.messages[1].text, SJ("ルートディレクトリには作成できません"));
  EXPECT_EQ(desktop.messages[2].text, SJ("検索結果格納フォルダ内には作成できません"));
  // Without titles from first lines the name dialog decides; Cancel adds nothing.
  profile.SetTitleWithFirstLine = false;
  SetTextItemHooks({.askName = [](std::string&) { return false; }, .saveCollection = {}});
  EXPECT_EQ(NewTextItem(folder, profile), nullptr);
  SetTextItemHooks({.askName = [](std::string& n) { return n = "a:b", true; }, .saveCollection = {}});
  TreeNode* named = NewTextItem(folder, profile);
  ASSERT_TRUE(named);
  EXPECT_EQ(named->title, "a:b");
  EXPECT_EQ(named->localFile, SJ("a：b.txt"));
}

TEST_F(TextItemTest, CapturedTextTitles) {
  struct Row {
    const char* name;
    std::string text;
    bool untitled;
    std::string title;
  };
  const Row rows[] = {
      {"first line", "Hello\r\nworld", false, "Hello"},
      {"blank first line", "\r\nlater text", true, ""},
      {"full-width blanks only", SJ("　 \t") + "\nx", true, ""},
      {"leading tab becomes a space", "\t\tTitle\tend", false, "  Title\tend"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TreeNode* n = AddTextItem(r.text, "", folder, profile);
    ASSERT_TRUE(n);
    if (r.untitled)
      EXPECT_TRUE(IsUntitledTitle(n->title));
    else
      EXPECT_EQ(n->title, r.title);
    EXPECT_TRUE(n->unread);
    EXPECT_EQ(Read(TextItemPath(n, profile)), r.text);
  }
  profile.AddURL2ScrapText = true;
  profile.SetURL2TextItem = true;
  TreeNode* n = AddTextItem("body", "http://example.com/", folder, profile);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->url, "http://example.com/");
  EXPECT_EQ(Read(TextItemPath(n, profile)), "body\r\n\r\nSource URL: http://example.com/");
}

TEST_F(TextItemTest, FirstLineNamesTheNoteAndIsNotSaved) {
  TreeNode* n = NewTextItem(folder, profile);
  ASSERT_TRUE(n);
  const std::string oldPath = TextItemPath(n, profile);
  ASSERT_EQ(tab->OpenText(oldPath, n), 1);
  EXPECT_FALSE(edit.TitleLine());  // untitled notes get no title line
  Type("Plan: a/b\r\n" + SJ("日本語の本文") + "\r\nend");
  ASSERT_EQ(tab->SaveText(false), 1);
  EXPECT_EQ(n->title, "Plan: a/b");
  EXPECT_EQ(n->localFile, SJ("Plan： a／b.txt"));
  EXPECT_EQ(n->url, TextItemPath(n, profile));
  EXPECT_FALSE(os::PathExists(oldPath));
  EXPECT_EQ(Read(TextItemPath(n, profile)), SJ("日本語の本文") + "\r\nend");
  EXPECT_FALSE(edit.Modified());
  EXPECT_EQ(n->size, Read(TextItemPath(n, profile)).size());

  // Opened again, the title is the first line and the text follows.
  ASSERT_EQ(tab->CloseText(), 1);
  ASSERT_EQ(tab->OpenText(TextItemPath(n, profile), n), 1);
  EXPECT_TRUE(edit.TitleLine());
  EXPECT_EQ(edit.Text(), "Plan: a/b\r\n" + SJ("日本語の本文") + "\r\nend");
  // An emptied first line keeps the title.
  edit.MoveCaretTo(0, 0, false, false);
  edit.MoveCaret(kToEnd, 0, false, true);
  edit.PushUndo(edit.DeleteSelection());
  ASSERT_EQ(tab->SaveText(false), 1);
  EXPECT_EQ(n->title, "Plan: a/b");
}

TEST_F(TextItemTest, LeavingAnEmptyUntitledNoteRemovesItAndItsFile) {
  TreeNode* empty = NewTextItem(folder, profile);
  const std::string emptyPath = TextItemPath(empty, profile);
  ASSERT_EQ(tab->OpenText(emptyPath, empty), 1);
  TreeNode* kept = NewTextItem(folder, profile);
  ASSERT_EQ(tab->OpenText(TextItemPath(kept, profile), kept), 1);  // leaves the empty one
  EXPECT_FALSE(os::PathExists(emptyPath));
  EXPECT_EQ(folder->firstChild, kept);
  // An untitled note with text stays, saved under its default name.
  profile.SetTitleWithFirstLine = false;
  Type("x");
  ASSERT_EQ(tab->CloseText(), 1);
  EXPECT_EQ(folder->firstChild, kept);
  EXPECT_EQ(Read(TextItemPath(kept, profile)), "x");
  EXPECT_TRUE(IsUntitledTitle(kept->title));
}

TEST_F(TextItemTest, FilesKeepTheirEncodingAndMissingOnesShowNotFound) {
  const std::string path = os::JoinPath(home, "utf8.txt");
  ASSERT_TRUE(os::WriteFileAtomic(path, "\xEF\xBB\xBF\xE6\x97\xA5\nb\n"));
  profile.SetTitleWithFirstLine = false;
  ASSERT_EQ(tab->OpenText(path, nullptr), 1);
  EXPECT_TRUE(edit.Markup());
  EXPECT_EQ(edit.Line(0).Text(), SJ("日"));
  EXPECT_EQ(desktop.statuses.back(), "[UTF8]");
  Type("a");
  ASSERT_EQ(tab->SaveText(false), 1);
  EXPECT_EQ(Read(path), "\xEF\xBB\xBF" "a\xE6\x97\xA5\nb\n");
  EXPECT_EQ(tab->OpenText(os::JoinPath(home, "none.txt"), nullptr), 0);
  EXPECT_TRUE(tab->Disabled());
  EXPECT_EQ(edit.Line(0).Text(), "File not found");
  EXPECT_EQ(tab->SaveText(true), 1);  // nothing open, nothing written
}

TEST_F(TextItemTest, ADeletedItemIsLetGo) {
  TreeNode* n = AddTextItem("keep me", "", folder, profile);
  ASSERT_EQ(tab->OpenText(TextItemPath(n, profile), n), 1);
  {
    std::lock_guard lock(TreeMutex());
    DestroyNode(n);
  }
  EXPECT_EQ(tab->Node(), nullptr);
  Type("more ");
  EXPECT_EQ(tab->SaveText(true), 1);  // written to its file, no node touched
}

// Leaving a note that loses its file (an empty untitled note, a note renamed
// by its first line): the collection is saved while the old file is still
// there and without the old name, and the file goes only when that save
// worked.
TEST_F(TextItemTest, TheCollectionIsSavedBeforeANotesOldFileGoes) {
  struct Case {
    const char* name;
    bool rename;
    bool saveWorks;
  };
  for (const Case& c : {Case{"dropped, saved", false, true}, Case{"dropped, not saved", false, false},
                        Case{"renamed, saved", true, true}, Case{"renamed, not saved", true, false}}) {
    SCOPED_TRACE(c.name);
    TreeNode* n = c.rename ? AddTextItem("Old title\r\nbody", "", folder, profile) : NewTextItem(folder, profile);
    ASSERT_TRUE(n);
    const std::string oldPath = TextItemPath(n, profile);
    // As a note the captured first line is the title, not part of the text.
    if (c.rename) {
      ASSERT_TRUE(os::WriteFileAtomic(oldPath, "body"));
    }
    int saves = 0;
    SetTextItemHooks({.askName = {}, .saveCollection = [&] {
                        ++saves;
                        EXPECT_TRUE(os::PathExists(oldPath)) << "the old file went before the collection was saved";
                        bool named = false;
                        for (TreeNode* k = folder->firstChild; k; k = k->next) named = named || TextItemPath(k, profile) == oldPath;
                        EXPECT_FALSE(named) << "the saved collection still names the old file";
                        return c.saveWorks;
                      }});
    ASSERT_EQ(tab->OpenText(oldPath, n), 1);
    if (c.rename) {
      edit.MoveCaretTo(0, 0, false, false);
      edit.MoveCaret(kToEnd, 0, false, true);
      Type("New title");
    }
    ASSERT_EQ(tab->CloseText(), 1);
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(os::PathExists(oldPath), !c.saveWorks);
    if (c.rename) {
      EXPECT_EQ(n->title, "New title");
      EXPECT_EQ(Read(TextItemPath(n, profile)), "body");
      ASSERT_TRUE(os::DeleteFile(TextItemPath(n, profile)));
      std::lock_guard lock(TreeMutex());
      DestroyNode(n);
    } else {
      EXPECT_EQ(folder->firstChild, nullptr);
    }
    if (os::PathExists(oldPath)) {
      ASSERT_TRUE(os::DeleteFile(oldPath));
    }
    SetTextItemHooks({});
  }
}

// A save stopped at any file operation leaves, in the file the collection on
// disk names, the old note or the new one, never part of one; the item stays.
TEST_F(TextItemTest, InterruptedSavesNeverLeaveHalfANote) {
  std::string oldBody;
  for (int i = 0; i < 20000; ++i) oldBody += "old line\r\n";
  oldBody += "end";
  for (int fault = 1;; ++fault) {
    SCOPED_TRACE(fault);
    ResetTreeState();
    TreeState& t = GetTreeState();
    t.root = CreateNode("Zentu", {}, {}, kNodeRoot);
    folder = CreateNode("notes", {}, {}, kNodeFolder);
    Link(folder, t.root, kLinkLastChild);
    TreeNode* n = AddTextItem("Old title\r\n" + oldBody, "", folder, profile);
    ASSERT_TRUE(n);
    // AddTextItem keeps the captured text whole; as a note the first line is its title.
    ASSERT_TRUE(os::WriteFileAtomic(TextItemPath(n, profile), oldBody));
    std::string onDisk = TextItemPath(n, profile);  // what the saved collection names
    SetTextItemHooks({.askName = {}, .saveCollection = [&] {
                        const std::string path = TextItemPath(n, profile);
                        if (!os::WriteFileAtomic(os::JoinPath(home, "tree.html"), path)) return false;
                        onDisk = path;
                        return true;
                      }});
    tab = std::make_unique<TextTab>(edit);
    tab->SetProfile(&profile);
    ASSERT_EQ(tab->OpenText(TextItemPath(n, profile), n), 1);
    edit.MoveCaretTo(0, 0, false, false);
    edit.MoveCaret(kToEnd, 0, false, true);
    Type("New title");
    edit.MoveCaretTo(0, 1, false, false);
    Type("new ");
    const std::string newBody = "new " + oldBody;

    os::SetFileFaultAt(fault);
    const int ok = tab->SaveText(false);
    const int used = os::FileMutationCount();
    os::SetFileFaultAt(0);

    ASSERT_EQ(folder->firstChild, n);
    const std::string body = Read(onDisk);
    EXPECT_TRUE(body == oldBody || body == newBody) << body.size();
    if (!ok) {
      EXPECT_TRUE(edit.Modified());
    }
    // Retried without a fault, the save completes.
    ASSERT_EQ(tab->SaveText(false), 1);
    EXPECT_EQ(Read(TextItemPath(n, profile)), newBody);
    EXPECT_EQ(n->title, "New title");
    tab.reset();
    // The hook holds this round's node: the next round's AddTextItem must not call it.
    SetTextItemHooks({});
    if (used < fault) break;  // the fault came after the last operation: every step was tried
  }
}

}  // namespace
}  // namespace zentu
