// A small collection in a temporary home for the import tests, and a dump of
// a subtree as text so whole results compare in one assertion.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "capture/job.h"
#include "import/import.h"
#include "store/profile.h"
#include "store/tree.h"
#include "tests/support/testhome.h"

namespace zentu::testing {

class ImportTest : public TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    ResetTreeState();
    CurrentProfile() = Profile{};
    CurrentProfile().dirs.data = Path("Data");
    CurrentProfile().SaveAtAddition = false;
    root = CreateNode("Zentu", {}, {}, kNodeRoot);
    GetTreeState().root = root;
    TreeNode* receive = AddFolder(root, "未整理フォルダ");
    SetProperty(receive, kPropertyReceiveFolder);
    target = AddFolder(root, "Target");
    manager.SetHook(&JobHooks::startWorkers, [] {});
  }
  void TearDown() override {
    ResetTreeState();
    CurrentProfile() = Profile{};
    TempHome::TearDown();
  }

  static TreeNode* AddFolder(TreeNode* parent, const char* utf8) {
    TreeNode* n = CreateNode(SJ(utf8), {}, {}, kNodeFolder);
    EXPECT_EQ(Link(n, parent, kLinkLastChild), n);
    return n;
  }
  static TreeNode* AddItem(TreeNode* parent, const char* utf8, const char* url) {
    TreeNode* n = CreateNode(SJ(utf8), url, {}, kNodeItem);
    EXPECT_EQ(Link(n, parent, kLinkLastChild), n);
    return n;
  }

  // Writes a file into the home and gives its program path.
  std::string File(const std::string& name, const std::string& bytes) {
    WriteNative(name, bytes);
    return Path(name);
  }

  // "[folder(property)]{...}" and "title<url>" for the subtree below `node`,
  // in UTF-8.
  static std::string Dump(const TreeNode* node) {
    std::string out;
    for (const TreeNode* c = node->firstChild; c; c = c->next) {
      if (!out.empty()) out += ' ';
      if (IsFolder(c)) {
        out += "[" + U8(c->title) + (c->property == kPropertyFolder ? "" : "(" + std::to_string(c->property) + ")") +
               "]{" + Dump(c) + "}";
      } else {
        out += U8(c->title) + "<" + U8(c->url) + ">";
      }
    }
    return out;
  }

  std::string Messages() {
    std::string out;
    for (const auto& m : desktop.messages) out += U8(m.caption) + ": " + U8(m.text) + "\n";
    return out;
  }

  TreeNode* root = nullptr;
  TreeNode* target = nullptr;
  DownloadManager manager;
};

}  // namespace zentu::testing
