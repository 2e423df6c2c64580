// A temporary home with a collection: root, receive folder, search-result
// folder, and the Data and Text directories below the home.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/cp932.h"
#include "os/file.h"
#include "os/path.h"
#include "store/tree.h"
#include "tests/support/testhome.h"

namespace zentu::testing {

class SearchTest : public TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    ResetTreeState();
    root = CreateNode("Zentu", {}, {}, kNodeRoot);
    GetTreeState().root = root;
    receive = Folder(root, "未整理フォルダ");
    receive->property = kPropertyReceiveFolder;
    result = Folder(root, "検索結果");
    result->property = kPropertySearchFolder;
    GetTreeState().searchFolder = result;
    data = Path("Data");
    text = Path("Text");
    ASSERT_TRUE(os::CreateDirectories(data));
    ASSERT_TRUE(os::CreateDirectories(text));
  }
  void TearDown() override {
    ResetTreeState();
    TempHome::TearDown();
  }
  static TreeNode* Folder(TreeNode* parent, const char* utf8) {
    TreeNode* f = CreateNode(SJ(utf8), {}, {}, kNodeFolder);
    EXPECT_EQ(Link(f, parent, kLinkLastChild), f);
    return f;
  }
  static TreeNode* Item(TreeNode* parent, const char* utf8Title, const std::string& url = "",
                        const std::string& file = "") {
    TreeNode* n = CreateNode(SJ(utf8Title), url, file, kNodeItem);
    EXPECT_EQ(Link(n, parent, kLinkLastChild), n);
    return n;
  }
  static std::vector<std::string> Titles(const TreeNode* folder) {
    std::vector<std::string> out;
    for (TreeNode* c = folder->firstChild; c; c = c->next) out.push_back(U8(c->title));
    return out;
  }
  void WriteFile(const std::string& programPath, const std::string& bytes) {
    ASSERT_TRUE(os::CreateDirectories(os::DirectoryOf(programPath)));
    ASSERT_TRUE(os::WriteFileAtomic(programPath, bytes));
  }

  TreeNode* root = nullptr;
  TreeNode* receive = nullptr;
  TreeNode* result = nullptr;
  std::string data, text;
};

}  // namespace zentu::testing
