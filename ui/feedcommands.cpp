// The feed and update commands of the main window: a new RSS folder, the
// import of an OPML list, the folder's update schedule, and the updates the
// user asks for. Dialogs run without the tree lock; what they change is
// written back under it once the node is known to be still in the collection.
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>
#include <mutex>
#include <string>

#include "capture/feeds.h"
#include "capture/schedule.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "store/tree.h"
#include "ui/appwindows.h"
#include "ui/feedcommands.h"
#include "ui/mainwindow.h"
#include "ui/qttext.h"

namespace zentu::ui {
namespace {

constexpr int kUrlChars = 2048;

QWidget* Parent(AppWindows& app) {
  MainWindow* main = app.mainWindow();
  return main && main->isVisible() ? main : nullptr;
}

bool ConfirmReload() {
  return os::MessageBox(os::SJ("再読み込みしますか？"), os::SJ("確認です"), os::Buttons::OkCancel, os::IDOK) == os::IDOK;
}

// Check box texts, in mode order.
const char* const kModeTexts[kScheduleModeCount] = {
    "起動時に更新",    "指定時に一括更新", "10分ごとに更新",  "30分ごとに更新",  "1時間ごとに更新",
    "2時間ごとに更新", "3時間ごとに更新",  "6時間ごとに更新", "12時間ごとに更新", "24時間ごとに更新",
};

}  // namespace

TreeNode* AddFeedFolder(AppWindows& app, TreeNode* parent) {
  QDialog dialog(Parent(app));
  dialog.setWindowTitle(U("RSSフォルダの作成"));
  auto* form = new QFormLayout(&dialog);
  auto* title = new QLineEdit(&dialog);
  auto* url = new QLineEdit(&dialog);
  url->setMaxLength(kUrlChars);
  url->setPlaceholderText(QStringLiteral("http://"));
  form->addRow(U("フォルダ名:"), title);
  form->addRow(U("RSS / Atom のURL:"), url);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  form->addRow(buttons);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  dialog.resize(520, dialog.sizeHint().height());
  if (dialog.exec() != QDialog::Accepted) return nullptr;
  const std::string feed = os::CutSjis(S(url->text().trimmed()), kUrlChars - 1);
  std::string name = os::CutSjis(S(title->text().simplified()), 511);
  if (!IsFeedLink(feed)) {
    os::MessageBox(os::SJ("http:// か https:// で始まるURLを入力してください．"), os::SJ("エラー"));
    return nullptr;
  }
  if (name.empty()) name = feed;
  TreeNode* folder = nullptr;
  {
    std::lock_guard lock(TreeMutex());
    if (!parent || !IsInCollection(parent) || IsItem(parent) || IsRssFolder(parent) || IsSyncFolder(parent) ||
        IsSearchFolder(parent))
      parent = GetTreeState().root;
    folder = CreateRssFolder(parent, name, feed);
    if (folder) (void)QueueFeed(folder, true, true);
  }
  app.Refresh({folder, parent});
  return folder;
}

bool ImportOpmlCommand(AppWindows& app) {
  bool ok = false;
  const QString entered = QInputDialog::getText(Parent(app), U("OPMLのインポート"), U("OPMLファイルのURL:"),
                                                QLineEdit::Normal, QStringLiteral("http://"), &ok);
  if (!ok) return false;
  const std::string url = os::CutSjis(S(entered.trimmed().left(kUrlChars)), kUrlChars - 1);
  if (!ImportOPML(url)) {
    os::MessageBox(os::SJ("http:// か https:// で始まるURLを入力してください．"), os::SJ("エラー"));
    return false;
  }
  TreeNode* folder = nullptr;
  {
    std::lock_guard lock(TreeMutex());
    folder = FindOrCreateOpmlFolder();
  }
  app.Refresh({folder});
  if (folder) app.SelectFolder(folder);
  return true;
}

bool EditSchedule(AppWindows& app, TreeNode* folder) {
  std::string path, title;
  {
    std::lock_guard lock(TreeMutex());
    if (!folder || IsItem(folder) || !IsInCollection(folder)) return false;
    path = TreePath(folder);
    title = folder->title;
  }
  if (path.empty()) return false;
  QDialog dialog(Parent(app));
  dialog.setWindowTitle(U("更新設定"));
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(new QLabel(U("フォルダ: ") + Q(title), &dialog));
  auto* grid = new QGridLayout;
  QCheckBox* boxes[kScheduleModeCount];
  for (int m = 1; m <= kScheduleModeCount; ++m) {
    boxes[m - 1] = new QCheckBox(U(kModeTexts[m - 1]), &dialog);
    boxes[m - 1]->setChecked(HasScheduleEntry(m, path));
    grid->addWidget(boxes[m - 1], (m - 1) % 5, (m - 1) / 5);
  }
  layout->addLayout(grid);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  layout->addWidget(buttons);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  if (dialog.exec() != QDialog::Accepted) return false;
  for (int m = 1; m <= kScheduleModeCount; ++m) {
    if (boxes[m - 1]->isChecked()) (void)AddScheduleEntry(m, path);
    else (void)RemoveScheduleEntry(m, path);
  }
  return true;
}

void UpdateNodeCommand(AppWindows& app, TreeNode* node) {
  if (!node || !ConfirmReload()) return;
  {
    std::lock_guard lock(TreeMutex());
    if (!IsInCollection(node)) return;
    UpdateSelectedNode(node);
  }
  app.Refresh({node});
}

void UpdateFolderTreeCommand(AppWindows& app, TreeNode* node) {
  if (!node) return;
  {
    std::lock_guard lock(TreeMutex());
    if (!IsInCollection(node)) return;
    UpdateFolderCommand(node);
  }
  app.Refresh({node});
}

void UpdateListCommand(AppWindows& app) {
  MainWindow* main = app.mainWindow();
  if (!main) return;
  const std::vector<TreeNode*> nodes = main->SelectedNodes();
  if (nodes.empty()) {
    app.Refresh();
    return;
  }
  if (!ConfirmReload()) return;
  (void)UpdateListSelection(nodes);
  app.Refresh();
}

}  // namespace zentu::ui
