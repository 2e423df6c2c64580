// The change notices of the collection: what each model function tells its
// observers, and in which order.
#include <functional>
#include <string>
#include <vector>

#include "store/tree_observer.h"
#include "tests/store/tree_fixture.h"

namespace zentu::testing {
namespace {

// Notices as text: "added u", "changed A", "moved u A>B", "removed u B kept".
class Recorder : public TreeObserver {
 public:
  std::vector<std::string> notices;
  void NodeAdded(const TreeNode* n) override { notices.push_back("added " + n->contents); }
  void NodeChanged(const TreeNode* n) override { notices.push_back("changed " + n->contents); }
  void NodeRemoved(const TreeNode* n, const TreeNode* from, bool freed) override {
    notices.push_back("removed " + n->contents + " " + Label(from) + (freed ? " freed" : " kept"));
  }
  void NodeMoved(const TreeNode* n, const TreeNode* from) override {
    notices.push_back("moved " + n->contents + " " + Label(from) + ">" + Label(n->parent));
  }
  static std::string Label(const TreeNode* n) { return n ? n->contents : "-"; }
  std::vector<std::string> Take() { return std::exchange(notices, {}); }
};

class TreeObserverTest : public TreeTest {
 protected:
  void SetUp() override {
    TreeTest::SetUp();
    root = NewRoot();
    root->contents = "root";
    a = AddFolder(root, "A", "A");
    b = AddFolder(a, "B", "B");
    c = AddFolder(root, "C", "C");
    AddTreeObserver(&recorder);
    AddTreeObserver(&recorder);  // once only
  }
  void TearDown() override {
    RemoveTreeObserver(&recorder);
    TreeTest::TearDown();
  }
  TreeNode *root = nullptr, *a = nullptr, *b = nullptr, *c = nullptr;
  Recorder recorder;
};

TEST_F(TreeObserverTest, ModelFunctionsNotifyInTheOrderOfTheirChanges) {
  std::unique_ptr<TreeNode, NodeDeleter> spare;
  TreeNode* u = nullptr;
  struct Step {
    const char* what;
    std::function<void()> run;
    std::vector<std::string> expected;
  };
  const Step steps[] = {
      {"a detached node tells nothing",
       [&] {
         u = CreateNode("u", "http://u/", {}, kNodeItem);
         u->contents = "u";
         SetTitle(u, "u2");
         SetDownloadFlag(u, kDownloadDone);
         SetUnreadFlag(u, true);
       },
       {}},
      // The link first, then the counts it changed, bottom up; the root counts
      // only its own items.
      {"link", [&] { ASSERT_EQ(Link(u, b, kLinkLastChild), u); }, {"added u", "changed B", "changed A"}},
      {"title", [&] { SetTitle(u, "u3"); }, {"changed u"}},
      {"same title again", [&] { SetTitle(u, "u3"); }, {}},
      {"setters",
       [&] {
         SetUrl(u, "http://v/");
         SetLocalFile(u, "Z:\\v.html");
         SetSize(u, 5);
         SetMark(u, 3);
         SetMark(u, 10);  // refused
         SetLastCheck(u, "2026/01/01 00:00:00");
         SetOriginalDate(u, "x");
       },
       {"changed u", "changed u", "changed u", "changed u", "changed u", "changed u"}},
      {"download flag and icon", [&] { SetDownloadFlag(u, kDownloadError); }, {"changed u"}},
      {"read", [&] { SetUnreadFlag(u, false); }, {"changed u", "changed B", "changed A"}},
      {"unread", [&] { SetUnreadFlag(u, true); }, {"changed u", "changed B", "changed A"}},
      // One notice for the move, then the old chain's counts and the new one's.
      {"move", [&] { ASSERT_EQ(MoveNode(u, c), u); }, {"moved u B>C", "changed B", "changed A", "changed C"}},
      {"move within its folder", [&] { ASSERT_EQ(MoveNode(u, c), u); }, {"moved u C>C"}},
      {"move a folder with its unread item", [&] { ASSERT_EQ(MoveNode(c, a), c); },
       {"moved C root>A", "changed A"}},
      {"refused move into its own subtree", [&] { EXPECT_EQ(MoveNode(a, c), nullptr); }, {}},
      {"sort mode and sort",
       [&] {
         ASSERT_EQ(SetSortMode(a, kSortTitleAscMixed), 1);
         ASSERT_EQ(SortChildren(a, kSortTitleAscMixed), 1);
       },
       {"changed A", "changed A"}},
      {"property", [&] { SetProperty(c, kPropertyBookmarkFolder); }, {"changed C"}},
      {"unlink keeps the node", [&] { spare.reset(Unlink(u)); }, {"removed u C kept", "changed C", "changed A"}},
      {"a detached node's changes stay quiet", [&] { SetTitle(spare.get(), "quiet"); }, {}},
      {"destroy frees the subtree", [&] { DestroyNode(c); }, {"removed C A freed"}},
      {"the lock list and icons tell through NotifyNodeChanged", [&] { NotifyNodeChanged(b); }, {"changed B"}},
      {"the whole collection goes", [&] { ResetTreeState(); }, {"removed root - freed"}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    {
      std::lock_guard lock(TreeMutex());
      step.run();
    }
    EXPECT_EQ(recorder.Take(), step.expected);
  }

  // Once removed, an observer hears nothing more.
  RemoveTreeObserver(&recorder);
  TreeNode* again = NewRoot();
  again->contents = "again";
  AddFolder(again, "D", "D");
  EXPECT_TRUE(recorder.notices.empty());
}

}  // namespace
}  // namespace zentu::testing
