// The main window's text-item commands: new notes, the tabs' editors, the
// find and replace commands for the editor that shows, and the auto-save.
#include <QInputDialog>
#include <QLineEdit>
#include <mutex>

#include "editor/textitem.h"
#include "intake/channel.h"
#include "os/log.h"
#include "store/profile.h"
#include "store/treefile.h"
#include "store/tree.h"
#include "ui/appwindows.h"
#include "ui/browserpane.h"
#include "ui/commands.h"
#include "ui/mainwindow.h"
#include "ui/qttext.h"
#include "ui/texteditor.h"

namespace zentu::ui {

void AppWindows::RegisterTextCommands() {
  CommandDispatcher& c = commands_;
  c.Register(kCmdNewText, [this] { (void)NewTextCommand(false); });
  c.Register(kCmdNewTextInNewTab, [this] { (void)NewTextCommand(true); });
  c.Register(kCmdToggleEditor, [this] {
    if (BrowserPane* browser = main_->browser()) browser->ToggleEditor();
  });
  // Editor commands reach the editor the current tab shows.
  for (int id : {kCmdSaveText, kCmdFindNext, kCmdFind, kCmdReplace, kCmdGoToLine, kCmdUndoText, kCmdRedoText}) {
    c.Register(id, [this, id] {
      if (BrowserPane* browser = main_->browser())
        if (TextEditor* editor = browser->CurrentEditor()) editor->RunCommand(id);
    });
  }
}

void AppWindows::InstallTextHooks() {
  TextItemHooks hooks;
  hooks.askName = [this](std::string& name) {
    QInputDialog dialog(main_);
    dialog.setWindowTitle(U("テキストを作成"));
    dialog.setLabelText(U("名前"));
    if (auto* field = dialog.findChild<QLineEdit*>()) field->setMaxLength(512);
    if (dialog.exec() != QDialog::Accepted) return false;
    name = S(dialog.textValue());
    return true;
  };
  // The collection is written at once when a note is added or renamed: after
  // a crash the tree and the note's file still agree.
  hooks.saveCollection = [] {
    const TreeFileSettings& settings = CurrentTreeFileSettings();
    if (!settings.flagSave) return false;
    WriteLog("# Save Zentu File : %s", settings.treeFile.c_str());
    return SaveTree(settings) == 1;
  };
  SetTextItemHooks(std::move(hooks));
  if (BrowserPane* browser = main_->browser()) {
    SetChannelHook(&ChannelHooks::openUrlInEditor,
                   [browser](std::string_view url) { browser->OpenTextInEditor(url, nullptr, false); });
  }
}

void AppWindows::RemoveTextHooks() {
  SetTextItemHooks({});
  SetChannelHook(&ChannelHooks::openUrlInEditor, {});
}

TreeNode* AppWindows::NewTextCommand(bool newTab) {
  const Profile& profile = CurrentProfile();
  TreeNode* node = NewTextItem(TargetNode(), profile);
  if (!node) return nullptr;
  std::string path;
  TreeNode* folder;
  {
    std::lock_guard lock(TreeMutex());
    path = TextItemPath(node, profile);
    folder = node->parent;
  }
  Refresh({folder, node});
  if (BrowserPane* browser = main_->browser()) browser->OpenTextInEditor(path, node, newTab);
  return node;
}

void AppWindows::OpenTextItem(TreeNode* item, bool newTab) {
  BrowserPane* browser = main_->browser();
  if (!browser) return;
  std::string path;
  {
    std::lock_guard lock(TreeMutex());
    path = TextItemPath(item, CurrentProfile());
  }
  browser->OpenTextInEditor(path, item, newTab);
}

bool AppWindows::CloseOpenTexts() {
  BrowserPane* browser = main_ ? main_->browser() : nullptr;
  return !browser || browser->CloseOpenTexts();
}

void AppWindows::AutoSaveText() {
  if (!CurrentProfile().TextAutoSave) return;
  if (BrowserPane* browser = main_->browser()) (void)browser->SaveOpenTexts();
}

}  // namespace zentu::ui
