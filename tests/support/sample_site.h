// The sample site the capture tests save from a TestServer, and a fixture with
// the capture pipeline ready in a temporary home.
//
// The part of the site every capture test shares: style sheets chained by
// @import with url() images ("/css/main.css" -> "imported.css" -> "deep.css"),
// the two frames of a frameset ("/frame/left.html", "/frame/right.html"), the
// images the pages, style sheets and scripts name, a redirect
// ("/redirect.gif" -> "/img/moved.gif") and one image the server lacks
// ("/img/missing.png", 404). Each test serves its own top page, inner frame
// and frameset on top: what they must show differs from test to test.
//
// The fixture is written here whole, so that only test programs that link the
// capture library compile it.
#pragma once
#include <chrono>
#include <mutex>
#include <string>

#include "capture/http.h"
#include "capture/pipeline.h"
#include "capture/rules.h"
#include "store/profile.h"
#include "store/tree.h"
#include "store/treefile.h"
#include "tests/support/testhome.h"
#include "tests/support/testserver.h"

namespace zentu::testing {

// UTF-8 text converted to another encoding, named as iconv names it ("EUC-JP").
std::string FromUtf8(const std::string& utf8, const char* encoding);

// How the images of the sample site answer.
enum class SampleImages {
  Labelled,  // "image/png" bodies that name their own path: a copy tells where it came from
  Gif,       // "image/gif", a real 1x1 GIF that a browser decodes
};

// A real 1x1 GIF that a browser decodes: an image that loaded shows a width.
const std::string& SampleGif();

// Serves the shared part of the sample site.
void ServeSampleResources(TestServer& server, SampleImages images);

// A temporary home with default settings, an empty default tree and the
// capture pipeline installed. Iframes are captured; idle workers end after 300 ms.
class CaptureHome : public TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    ResetTreeState();
    Profile& p = CurrentProfile();
    p = Profile{};
    SetProfileDefaults(p);
    p.ProgramDirectory = home;
    ResolveDirectories(p);
    p.TimeOut = 3000;
    p.CommentOutIFrameTag = false;
    p.ShowByDownload = false;
    ClearCaptureRules();
    GetDownloadManager().Clear();
    InstallPipeline();
    SetWorkerIdleLimit(std::chrono::milliseconds(300));
    BuildDefaultTree(TreeFileSettings{});
    StartWinsock();
  }
  void TearDown() override {
    (void)StopCaptureAndWait(std::chrono::seconds(30));
    GetDownloadManager().Clear();
    GetDownloadManager().ClearHooks();
    ResetTreeState();
    CurrentProfile() = Profile{};
    TempHome::TearDown();
  }

  // A new URL item in the receive folder, marked for download.
  TreeNode* AddUrlItem(const std::string& url) {
    std::lock_guard tree(TreeMutex());
    TreeNode* item = CreateNode("*", url, {}, kNodeItem);
    SetDownloadFlag(item, kDownloadChanged);
    EXPECT_EQ(Link(item, GetTreeState().receiveFolder, kLinkLastChild), item);
    return item;
  }
};

}  // namespace zentu::testing
