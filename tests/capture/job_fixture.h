// Shared helpers of the download job tests: a temporary home with the timer
// and error directories, a small collection, and a listener that records rows.
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "capture/job.h"
#include "store/profile.h"
#include "store/tree.h"
#include "tests/support/testhome.h"

namespace zentu::testing {

// Records what the download manager window would be told.
class JobRowRecorder : public JobListener {
 public:
  int JobAdded(const DownloadJob& job) override {
    std::lock_guard lock(mutex);
    rows[job.URL] = job.Status;
    ++added;
    return nextRow++;
  }
  void JobChanged(const DownloadJob& job) override {
    std::lock_guard lock(mutex);
    rows[job.URL] = job.Status;
    ++changed;
  }
  void JobRemoved(const std::string& url) override {
    std::lock_guard lock(mutex);
    rows.erase(url);
    ++removed;
  }
  void QueueCleared() override {
    std::lock_guard lock(mutex);
    rows.clear();
  }
  std::mutex mutex;
  std::map<std::string, int> rows;  // URL -> last status shown
  int added = 0, changed = 0, removed = 0, nextRow = 0;
};

class DownloadJobTest : public TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    ResetTreeState();
    CurrentProfile() = Profile{};
    CurrentProfile().dirs.timer = Path("Timer");
    CurrentProfile().dirs.error = Path("Error");
    CurrentProfile().dirs.data = Path("Data");
    root = CreateNode("Zentu", {}, {}, kNodeRoot);
    GetTreeState().root = root;
    receive = AddFolder(root, "未整理フォルダ");
    SetProperty(receive, kPropertyReceiveFolder);
    star = AddItem(receive, "*", "http://example.com/a.html");
    news = AddFolder(root, "ニュース表示");  // "表" ends in 0x5C
    SetProperty(news, kPropertyRssFolder);
    news->url = "http://example.com/feed.xml";
    TreeNode* sites = AddFolder(root, "Sites");
    sub = AddFolder(sites, "Sub");
    page = AddItem(sub, "Page", "http://example.com/old.html");
    manager.SetListener(&listener);
    manager.SetHook(&JobHooks::startWorkers, [this] { ++starts; });
  }
  void TearDown() override {
    manager.SetListener(nullptr);
    ResetTreeState();
    CurrentProfile() = Profile{};
    TempHome::TearDown();
  }

  static TreeNode* AddFolder(TreeNode* parent, const char* utf8Title) {
    TreeNode* n = CreateNode(SJ(utf8Title), {}, {}, kNodeFolder);
    EXPECT_EQ(Link(n, parent, kLinkLastChild), n);
    return n;
  }
  static TreeNode* AddItem(TreeNode* parent, const char* utf8Title, const char* url) {
    TreeNode* n = CreateNode(SJ(utf8Title), url, {}, kNodeItem);
    EXPECT_EQ(Link(n, parent, kLinkLastChild), n);
    return n;
  }

  std::string TimerText() { return ReadNative("Timer/timer.dat"); }

  TreeNode* root = nullptr;
  TreeNode* receive = nullptr;
  TreeNode* star = nullptr;
  TreeNode* news = nullptr;
  TreeNode* sub = nullptr;
  TreeNode* page = nullptr;
  JobRowRecorder listener;
  DownloadManager manager;
  std::atomic<int> starts{0};
};

}  // namespace zentu::testing
