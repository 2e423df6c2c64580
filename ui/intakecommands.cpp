// The intake's commands of the main window: the clipboard captures, the scrap
// agent, and the browser integration's registration.
#include <QApplication>
#include <QClipboard>

#include "intake/browserreg.h"
#include "intake/channel.h"
#include "os/process.h"
#include "store/profile.h"
#include "ui/appwindows.h"
#include "ui/browserregdialog.h"
#include "ui/clipboardcapture.h"
#include "ui/mainwindow.h"
#include "ui/scrapagent.h"

namespace zentu::ui {

void AppWindows::RegisterIntakeCommands() {
  clipboard_ = new ClipboardCapture(QGuiApplication::clipboard(), main_);
  CommandDispatcher& c = commands_;
  c.Register(kCmdCopySelectionAsText, [this] { clipboard_->CopyAndCapture(ScrapMode::Text); });
  c.Register(kCmdCopySelectionAsHtml, [this] { clipboard_->CopyAndCapture(ScrapMode::Html); });
  c.Register(kCmdCopySelectionWithLinks, [this] { clipboard_->CopyAndCapture(ScrapMode::HtmlWithLinks); });
  c.Register(kCmdTakeClipboardText, [this] { clipboard_->TakeTextNow(); });
  c.Register(kCmdTakeClipboardHtml, [this] { clipboard_->TakeHtmlNow(); });
  c.Register(kCmdShowScrapAgent, [this] { ShowScrapAgent(); });
  c.Register(kCmdRegisterBrowser, [this] {
    BrowserIntegrationHooks hooks;
    hooks.selectionDialog = CurrentBrowserIntegrationDialog(main_);
    BrowserIntegrationCommand(os::ExecutableDirectory(), hooks);
  });
  c.Register(kCmdUnregisterBrowser, [] { RemoveBrowserIntegration(); });
  // The channel's ScrapHTML: the page's URL goes with the selection copied next.
  SetChannelHook(&ChannelHooks::scrapHtml, [this](std::string_view url) {
    if (clipboard_) clipboard_->CopyAndCapture(ScrapMode::Html, std::string(url));
  });
  if (CurrentProfile().ScrapByDragAndDrop) ShowScrapAgent();
}

void AppWindows::RemoveIntakeHooks() { SetChannelHook(&ChannelHooks::scrapHtml, {}); }

void AppWindows::ShowScrapAgent() {
  if (!agent_) {
    agent_ = new CScrapAgent;
    agent_->setWindowIcon(main_->windowIcon());
  }
  agent_->ShowAgent();
}

}  // namespace zentu::ui
