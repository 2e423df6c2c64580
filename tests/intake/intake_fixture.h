// Shared set-up of the command-channel tests: a temporary home with a small
// collection, the program's download queue without workers, and hooks that
// record what the commands asked of the rest of the program.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "capture/job.h"
#include "intake/channel.h"
#include "os/path.h"
#include "store/profile.h"
#include "store/tree.h"
#include "store/tree_observer.h"
#include "store/treefile.h"
#include "tests/support/testhome.h"

namespace zentu::testing {

// Tree notices arrive from the reservation threads too.
class ThreadSafeDesktop : public RecordingDesktop, public TreeObserver {
 public:
  void NodeAdded(const TreeNode* node) override { Count(node); }
  void NodeChanged(const TreeNode* node) override { Count(node); }
  void NodeMoved(const TreeNode* node, const TreeNode*) override { Count(node); }
  void Count(const void* node) {
    std::lock_guard lock(mutex);
    ++refreshed[node];
  }
  int Refreshed(const void* node) {
    std::lock_guard lock(mutex);
    auto it = refreshed.find(node);
    return it == refreshed.end() ? 0 : it->second;
  }
  std::mutex mutex;
  std::map<const void*, int> refreshed;
};

struct HookCalls {
  std::vector<std::string> dialogs, downloaders, editor, browser, scraps;
};

class IntakeTest : public TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    os::SetDesktop(&views);
    ResetTreeState();
    AddTreeObserver(&views);
    CurrentProfile() = Profile{};
    CurrentProfile().dirs.data = Path("Data");
    TreeFileSettings& settings = CurrentTreeFileSettings();
    settings = TreeFileSettings{};
    settings.treeFile = Path("default.html");
    settings.dataDirectory = Path("Data");

    root = CreateNode("Zentu", {}, {}, kNodeRoot);
    GetTreeState().root = root;
    receive = AddFolder(root, "未整理フォルダ");
    SetProperty(receive, kPropertyReceiveFolder);
    receive->isProtected = true;
    GetTreeState().receiveFolder = receive;
    other = AddFolder(root, "Other");

    DownloadManager& dm = GetDownloadManager();
    dm.Clear();
    dm.SetHook(&JobHooks::startWorkers, [this] { ++workerStarts; });
    dm.SetHook(&JobHooks::initJob, [this](DownloadJob& job) {
      job.DirName = Path("Data");
      job.LocalFile = os::JoinPath(job.DirName, "page" + std::to_string(++pages) + ".html");
      return true;
    });
    ResetCommandChannel();
    InstallHooks();
    SetTreeLoaded(true);
  }

  void TearDown() override {
    ResetCommandChannel();
    GetDownloadManager().Clear();
    GetDownloadManager().ClearHooks();
    RemoveTreeObserver(&views);
    ResetTreeState();
    CurrentProfile() = Profile{};
    CurrentTreeFileSettings() = TreeFileSettings{};
    TempHome::TearDown();
  }

  void InstallHooks() {
    SetChannelHook(&ChannelHooks::siteDownloadDialog,
                   [this](std::string_view url, std::string_view title, ChannelHooks::SiteDownload& s) {
                     calls.dialogs.push_back(std::string(url) + "|" + std::string(title) + "|" + s.filter + "|" +
                                             std::to_string(s.linkHop) + "|" + std::to_string(s.sizeLimitKBytes));
                     if (!dialogAnswer) return false;
                     s = dialogResult;
                     return true;
                   });
    SetChannelHook(&ChannelHooks::startExternalDownloader, [this](std::string_view program, std::string_view url) {
      calls.downloaders.push_back(std::string(program) + " " + std::string(url));
    });
    SetChannelHook(&ChannelHooks::openUrlInEditor, [this](std::string_view url) { calls.editor.emplace_back(url); });
    SetChannelHook(&ChannelHooks::openUrlInBrowser, [this](std::string_view url) { calls.browser.emplace_back(url); });
    SetChannelHook(&ChannelHooks::scrapHtml, [this](std::string_view url) { calls.scraps.emplace_back(url); });
  }

  static TreeNode* AddFolder(TreeNode* parent, const char* utf8Title) {
    TreeNode* n = CreateNode(SJ(utf8Title), {}, {}, kNodeFolder);
    EXPECT_EQ(Link(n, parent, kLinkLastChild), n);
    return n;
  }

  static std::vector<TreeNode*> Children(const TreeNode* folder) {
    std::vector<TreeNode*> out;
    for (TreeNode* c = folder->firstChild; c; c = c->next) out.push_back(c);
    return out;
  }
  static int CountFolders(const TreeNode* folder, const std::string& title) {
    int n = 0;
    for (TreeNode* c = folder->firstChild; c; c = c->next) n += IsFolder(c) && c->title == title;
    return n;
  }

  // Sends a text the way the frame does (code and all) and waits for a
  // reservation thread it may have started.
  int Receive(const std::string& text, uint32_t code = kCommandOther) {
    int r = ReceiveCommand(code, text);
    JoinDownloadReservations();
    return r;
  }
  int ReceiveCommandLine(const std::string& line) {
    ChannelCommand c = SendCommandLine(line);
    return c.code ? Receive(c.text, c.code) : 0;
  }

  static bool FindJob(const std::string& url, DownloadJob* job) { return GetDownloadManager().FindJob(url, job); }
  static size_t Jobs() { return GetDownloadManager().Size(); }

  TreeNode* root = nullptr;
  TreeNode* receive = nullptr;
  TreeNode* other = nullptr;
  ThreadSafeDesktop views;
  HookCalls calls;
  bool dialogAnswer = true;
  ChannelHooks::SiteDownload dialogResult{"http://example.com/site/", 3, 100};
  std::atomic<int> workerStarts{0};
  std::atomic<int> pages{0};
};

}  // namespace zentu::testing
