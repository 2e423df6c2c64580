// Random link, unlink, move, sort, read-mark and delete operations; after every
// step all links and every folder's unread count are checked against a
// recomputation, and every node must be reachable exactly once.
#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/store/tree_fixture.h"

namespace zentu::testing {
namespace {

class TreeStress : public TreeTest {
 protected:
  std::mt19937 rng;
  TreeNode* root = nullptr;
  std::vector<TreeNode*> live;      // every node that exists
  std::vector<TreeNode*> detached;  // tops of subtrees outside the tree, owned here

  int Rand(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
  TreeNode* AnyNode() { return live[static_cast<size_t>(Rand(static_cast<int>(live.size())))]; }
  TreeNode* AnyFolder() {
    for (int tries = 0; tries < 20; ++tries) {
      // Mostly folders of the collection itself, sometimes of a detached subtree.
      TreeNode* n = AnyNode();
      if (!IsItem(n) && (IsInSubtree(n, root) || Rand(4) == 0)) return n;
    }
    return root;
  }
  void Forget(TreeNode* top) { detached.erase(std::remove(detached.begin(), detached.end(), top), detached.end()); }

  TreeNode* NewNode() {
    bool folder = Rand(10) < 3;
    TreeNode* n = CreateNode(std::string(1, static_cast<char>('a' + Rand(5))), "http://x/" + std::to_string(Rand(7)),
                             {}, folder ? kNodeFolder : kNodeItem);
    n->unread = !folder && Rand(2);
    n->size = static_cast<uint32_t>(Rand(4));
    n->lastCheck = std::to_string(Rand(3));
    live.push_back(n);
    detached.push_back(n);
    return n;
  }

  // Links a detached top and checks that the link happens exactly when it may.
  void TryLink(TreeNode* node) {
    TreeNode* ref = Rand(2) ? AnyFolder() : AnyNode();
    const int positions[] = {kLinkFirstChild, kLinkLastChild, kLinkBefore, kLinkAfter, kLinkAfterLastSibling, 1};
    int pos = positions[Rand(6)];
    TreeNode* parent = pos == kLinkFirstChild || pos == kLinkLastChild ? ref
                       : pos == 1                                      ? nullptr
                                                                       : ref->parent;
    bool allowed = parent && node != ref && !IsItem(parent) && !IsInSubtree(parent, node);
    TreeNode* linked = Link(node, ref, pos);
    ASSERT_EQ(linked != nullptr, allowed) << "position " << pos;
    if (!linked) return;
    Forget(node);
    ASSERT_EQ(node->parent, parent);
    switch (pos) {
      case kLinkFirstChild: ASSERT_EQ(parent->firstChild, node); break;
      case kLinkBefore: ASSERT_EQ(node->next, ref); break;
      case kLinkAfter: ASSERT_EQ(node->prev, ref); break;
      default: ASSERT_EQ(parent->lastChild, node); break;
    }
  }

  void Step() {
    // Weights: grow, relink, unlink, move, sort, read marks, flags, delete.
    static const int kWeights[] = {30, 15, 5, 20, 10, 10, 5, 5};
    int pick = Rand(100), op = 0;
    while (pick >= kWeights[op]) pick -= kWeights[op++];
    switch (op) {
      case 0:
        TryLink(NewNode());
        break;
      case 1:
        if (!detached.empty()) TryLink(detached[static_cast<size_t>(Rand(static_cast<int>(detached.size())))]);
        break;
      case 2: {  // unlink
        TreeNode* n = AnyNode();
        if (!n->parent) break;
        TreeNode* got = Unlink(n);
        ASSERT_EQ(got == nullptr, IsRoot(n) || n->isProtected);
        if (got) detached.push_back(got);
        break;
      }
      case 3: {  // move
        TreeNode* n = AnyNode();
        TreeNode* to = AnyFolder();
        bool linked = n->parent != nullptr;
        bool allowed = !IsRoot(n) && !n->isProtected && !IsInSubtree(to, n);
        ASSERT_EQ(MoveNode(n, to) != nullptr, allowed);
        if (allowed && !linked) Forget(n);
        break;
      }
      case 4: {  // sort
        TreeNode* f = AnyFolder();
        std::multiset<TreeNode*> before;
        for (TreeNode* c = f->firstChild; c; c = c->next) before.insert(c);
        uint32_t mode = kSortNone + static_cast<uint32_t>(Rand(kSortLast - kSortNone + 2));
        ASSERT_EQ(SortChildren(f, mode), mode == kSortNone || mode > kSortLast ? 0 : 1);
        std::multiset<TreeNode*> after;
        for (TreeNode* c = f->firstChild; c; c = c->next) after.insert(c);
        ASSERT_EQ(before, after);
        break;
      }
      case 5: {  // read mark
        TreeNode* n = AnyNode();
        ASSERT_EQ(SetUnreadFlag(n, !n->unread), IsItem(n) ? 1 : 0);
        break;
      }
      case 6: {  // protection and the special property
        TreeNode* n = AnyNode();
        if (IsRoot(n)) break;
        if (IsFolder(n) && Rand(3) == 0) {
          SetProperty(n, IsSearchFolder(n) ? kPropertyFolder : kPropertySearchFolder);
        } else {
          n->isProtected = Rand(4) == 0;
        }
        break;
      }
      default: {  // delete a subtree
        TreeNode* n = AnyNode();
        if (IsRoot(n)) break;
        std::set<TreeNode*> gone;
        for (TreeNode* m = n; m; m = NextInPreorder(m, n)) gone.insert(m);
        if (gone.size() > 20 && live.size() < 400) break;  // keep the tree growing
        // Detached tops inside the subtree cannot exist: they have no parent.
        Forget(n);
        DestroyNode(n);
        live.erase(std::remove_if(live.begin(), live.end(), [&](TreeNode* m) { return gone.count(m) > 0; }),
                   live.end());
        break;
      }
    }
  }

  ::testing::AssertionResult CheckAll() {
    std::map<const TreeNode*, int> visited;
    if (auto r = CheckSubtree(root, &visited); !r) return r;
    for (TreeNode* top : detached) {
      if (top->parent) return ::testing::AssertionFailure() << "detached node has a parent";
      if (auto r = CheckSubtree(top, &visited); !r) return r;
    }
    if (visited.size() != live.size()) {
      return ::testing::AssertionFailure() << visited.size() << " nodes reachable, " << live.size() << " exist";
    }
    return ::testing::AssertionSuccess();
  }
};

TEST_F(TreeStress, RandomOperationsKeepLinksAndCounts) {
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    rng.seed(seed);
    ResetTreeState();
    live.clear();
    detached.clear();
    root = NewRoot();
    live.push_back(root);
    TreeNode* recv = AddFolder(root, "未整理フォルダ");
    SetProperty(recv, kPropertyReceiveFolder);
    recv->isProtected = true;
    TreeNode* search = AddFolder(root, "検索結果");
    SetProperty(search, kPropertySearchFolder);
    search->isProtected = true;
    live.push_back(recv);
    live.push_back(search);
    for (int step = 0; step < 4000; ++step) {
      ASSERT_NO_FATAL_FAILURE(Step()) << "step " << step;
      ASSERT_TRUE(CheckAll()) << "step " << step;
    }
    for (TreeNode* top : detached) DestroyNode(top);
    detached.clear();
  }
}

}  // namespace
}  // namespace zentu::testing
