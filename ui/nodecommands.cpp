// The node commands of the main window: rename, new folder, properties.
//
// Dialogs never run with the tree lock held (the capture threads need it);
// what a dialog shows is copied first, and what it changes is written back
// under the lock after checking that the node is still in the collection.
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <mutex>
#include <optional>
#include <string>

#include "os/cp932.h"
#include "os/desktop.h"
#include "os/path.h"
#include "store/groups.h"
#include "store/profile.h"
#include "store/tree.h"
#include "ui/appwindows.h"
#include "ui/mainwindow.h"
#include "ui/qttext.h"

namespace zentu::ui {
namespace {

constexpr size_t kTitleBytes = 511;
constexpr size_t kUrlBytes = 2047;

// One line of at most `limit` bytes, cut on a character boundary: line breaks
// and tabs become spaces, the ends are trimmed.
std::string OneLine(const QString& text, size_t limit) {
  QString line = text;
  line.replace(QLatin1Char('\r'), QLatin1Char(' '));
  line.replace(QLatin1Char('\n'), QLatin1Char(' '));
  line.replace(QLatin1Char('\t'), QLatin1Char(' '));
  line.remove(QChar(0));
  return os::CutSjis(S(line.trimmed()), limit);
}

void Tell(const char* utf8) { os::MessageBox(os::Utf8ToSjis(utf8), "Zentu", os::Buttons::Ok, os::IDOK); }

// Writes a new title; the folder's order follows when it sorts by title.
void ApplyTitle(TreeNode* node, const std::string& title) {
  SetTitle(node, title);
  if (node->parent) (void)ReapplySort(node->parent);
}

}  // namespace

TreeNode* AppWindows::TargetNode() const {
  if (main_->ListPaneActive())
    if (TreeNode* n = main_->CurrentListNode()) return n;
  return main_->CurrentFolder();
}

bool AppWindows::RenameNode(TreeNode* node) {
  if (!node) return false;
  std::string title;
  bool root;
  {
    std::lock_guard lock(TreeMutex());
    root = IsRoot(node);
    title = node->title;
  }
  if (root) {
    Tell("ルートフォルダの名前は変更できません．");
    return false;
  }
  bool ok = false;
  const QString entered = QInputDialog::getText(main_->isVisible() ? main_ : nullptr, U("名前の変更"),
                                                U("新しい名前:"), QLineEdit::Normal, Q(title), &ok);
  if (!ok) return false;
  const std::string next = OneLine(entered, kTitleBytes);
  if (next.empty()) {
    Tell("名前が空です．名前は変更されませんでした．");
    return false;
  }
  {
    std::lock_guard lock(TreeMutex());
    if (!IsInCollection(node)) return false;
    ApplyTitle(node, next);
  }
  Refresh({node});
  main_->UpdateTitle();
  return true;
}

TreeNode* AppWindows::NewFolder(TreeNode* parent) {
  TreeNode* folder = nullptr;
  bool refused = false;
  {
    std::lock_guard lock(TreeMutex());
    if (!parent) parent = GetTreeState().root;
    if (!parent || IsItem(parent)) return nullptr;
    // Their children are made by the program: search results, files, feed entries.
    refused = IsSearchFolder(parent) || IsSyncFolder(parent) || IsRssFolder(parent);
    if (!refused) {
      folder = CreateNode(os::Utf8ToSjis("新しいフォルダ"), {}, {}, kNodeFolder);
      if (!AddItemToFolder(parent, folder)) {
        DestroyNode(folder);
        return nullptr;
      }
    }
  }
  if (refused) {
    Tell("このフォルダの中にはフォルダを作成できません．");
    return nullptr;
  }
  Refresh({folder, parent});
  main_->SelectFolder(folder);
  (void)RenameNode(folder);  // cancelled: the folder keeps its first name
  // A new top-level folder joins the group being shown, by its final name.
  (void)AddFolderToCurrentGroup(folder, CurrentProfile());
  return folder;
}

void AppWindows::ShowProperties(TreeNode* node) {
  if (!node) return;
  struct Copy {
    std::string title, url, localFile, lastCheck, originalDate;
    uint32_t size = 0;
    bool item = false, urlItem = false, unread = false, root = false;
    int mark = 0;
  } c;
  {
    std::lock_guard lock(TreeMutex());
    c = {node->title,  node->url,        node->localFile,
         node->lastCheck, node->originalDate, node->size,
         IsItem(node), IsItem(node) && node->property == kPropertyUrlItem,
         IsItem(node) && node->unread, IsRoot(node), node->mark};
  }

  QDialog dialog(main_->isVisible() ? main_ : nullptr);
  dialog.setWindowTitle(U("プロパティ"));
  auto* form = new QFormLayout(&dialog);
  auto* title = new QLineEdit(Q(c.title));
  title->setObjectName(QStringLiteral("title"));
  title->setReadOnly(c.root);
  form->addRow(U("タイトル"), title);
  QLineEdit* url = nullptr;
  if (c.urlItem) {
    url = new QLineEdit(Q(c.url));
    url->setObjectName(QStringLiteral("url"));
    form->addRow(U("URL"), url);
  }
  auto readOnly = [&](const char* label, const QString& value) {
    auto* text = new QLabel(value);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(U(label), text);
  };
  if (c.item) {
    // The saved copy where the user's file manager finds it.
    const std::optional<std::string> native = os::ToNativePath(c.localFile);
    readOnly("保存ファイル", native ? QString::fromUtf8(native->c_str()) : Q(c.localFile));
    readOnly("最終確認日時", Q(c.lastCheck));
    readOnly("更新日時", Q(c.originalDate));
    readOnly("サイズ", c.size ? QString::number(c.size) + U(" バイト") : QString());
    readOnly("マーク", c.mark ? QString::number(c.mark) : U("なし"));
    readOnly("状態", c.unread ? U("未読") : U("既読"));
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  buttons->button(QDialogButtonBox::Cancel)->setText(U("キャンセル"));
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  form->addRow(buttons);
  dialog.resize(520, dialog.sizeHint().height());
  if (dialog.exec() != QDialog::Accepted) return;

  const std::string newTitle = OneLine(title->text(), kTitleBytes);
  // A URL item keeps a URL: an empty one would drop the item from the file.
  const std::string newUrl = url ? OneLine(url->text(), kUrlBytes) : c.url;
  const bool urlTaken = url && !newUrl.empty() && newUrl.find(' ') == std::string::npos;
  if (url && !urlTaken && newUrl != c.url) Tell("URL が空か空白を含むため，URL は変更されませんでした．");
  {
    std::lock_guard lock(TreeMutex());
    if (!IsInCollection(node)) return;
    if (!c.root && !newTitle.empty() && newTitle != node->title) ApplyTitle(node, newTitle);
    if (urlTaken && newUrl != node->url) {
      SetUrl(node, newUrl);
      if (node->parent) (void)ReapplySort(node->parent);
    }
  }
  Refresh({node});
  main_->UpdateTitle();
}

}  // namespace zentu::ui
