// Shared helpers of the collection tree tests.
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "os/desktop.h"
#include "store/tree.h"
#include "store/tree_observer.h"
#include "tests/support/testhome.h"

namespace zentu::testing {

// The desktop, and what a view would redraw: the nodes the tree announced as
// added, changed or moved.
class CountingDesktop : public RecordingDesktop, public TreeObserver {
 public:
  std::map<const void*, int> refreshed;
  void NodeAdded(const TreeNode* node) override { ++refreshed[node]; }
  void NodeChanged(const TreeNode* node) override { ++refreshed[node]; }
  void NodeMoved(const TreeNode* node, const TreeNode*) override { ++refreshed[node]; }
};

class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTreeState();
    os::SetDesktop(&desktop);
    AddTreeObserver(&desktop);
  }
  void TearDown() override {
    RemoveTreeObserver(&desktop);
    ResetTreeState();
    os::SetDesktop(nullptr);
  }

  // A root registered in the tree state, so that it is freed after the test.
  TreeNode* NewRoot() {
    TreeNode* root = CreateNode("Zentu", {}, {}, kNodeRoot);
    GetTreeState().root = root;
    return root;
  }
  // Nodes carry a short label in their (never saved) contents text.
  static TreeNode* AddFolder(TreeNode* parent, const char* utf8Title, const char* label = "") {
    TreeNode* n = CreateNode(SJ(utf8Title), {}, {}, kNodeFolder);
    n->contents = label;
    EXPECT_EQ(Link(n, parent, kLinkLastChild), n);
    return n;
  }
  static TreeNode* AddItem(TreeNode* parent, const char* utf8Title, const char* url = "",
                           bool unread = false, const char* label = "") {
    TreeNode* n = CreateNode(SJ(utf8Title), url, {}, kNodeItem);
    n->unread = unread;
    n->contents = label;
    EXPECT_EQ(Link(n, parent, kLinkLastChild), n);
    return n;
  }
  // Labels of the children, space-separated.
  static std::string Children(const TreeNode* folder) {
    std::string out;
    for (const TreeNode* c = folder->firstChild; c; c = c->next) {
      if (!out.empty()) out += ' ';
      out += c->contents;
    }
    return out;
  }

  CountingDesktop desktop;
};

// The count a folder should have, recomputed from scratch: the root counts its
// unread items; another folder sums its children, where the search-result
// folder adds nothing.
inline int ExpectedUnread(const TreeNode* node) {
  int sum = 0;
  for (const TreeNode* c = node->firstChild; c; c = c->next) {
    if (IsItem(c)) {
      sum += c->unread ? 1 : 0;
    } else if (!IsRoot(node) && !IsSearchFolder(c)) {
      sum += ExpectedUnread(c);
    }
  }
  return sum;
}

// Every link of the subtree agrees with its neighbours, and every folder's
// count matches the recomputation. `visited` (optional) receives each node.
inline ::testing::AssertionResult CheckSubtree(const TreeNode* top, std::map<const TreeNode*, int>* visited = nullptr) {
  for (const TreeNode* n = top; n; n = NextInPreorder(n, top)) {
    if (visited && ++(*visited)[n] > 1) return ::testing::AssertionFailure() << "node visited twice";
    const TreeNode* last = nullptr;
    for (const TreeNode* c = n->firstChild; c; c = c->next) {
      if (c->parent != n) return ::testing::AssertionFailure() << "wrong parent";
      if (c->prev != last) return ::testing::AssertionFailure() << "wrong previous sibling";
      if (IsItem(n)) return ::testing::AssertionFailure() << "item with children";
      last = c;
    }
    if (n->lastChild != last) return ::testing::AssertionFailure() << "wrong last child";
    if (!IsItem(n) && n->unreadCount != ExpectedUnread(n)) {
      return ::testing::AssertionFailure() << "unread count " << n->unreadCount << " of \""
                                           << U8(n->title) << "\", expected " << ExpectedUnread(n);
    }
    if (IsItem(n) && n->unreadCount != 0) return ::testing::AssertionFailure() << "item with a count";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace zentu::testing
