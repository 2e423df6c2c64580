// The search and sync-folder commands. Dialogs run without the tree lock; the
// searches take it themselves, and the contents search runs on its worker
// while the window goes on (its hits reach the views through the tree's
// change notices).
#include "ui/searchcommands.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <chrono>
#include <mutex>
#include <thread>

#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "search/sync.h"
#include "store/profile.h"
#include "ui/appwindows.h"
#include "ui/mainwindow.h"
#include "ui/qttext.h"

namespace zentu::ui {
namespace {

constexpr int kFieldBytes = 511;

QWidget* Parent(AppWindows& app) {
  MainWindow* main = app.mainWindow();
  return main && main->isVisible() ? main : nullptr;
}

bool StillInTree(const TreeNode* node) {
  const TreeNode* root = GetTreeState().root;
  for (const TreeNode* n = root; n; n = NextInPreorder(n, root))
    if (n == node) return true;
  return false;
}

// The tree's selection: the folder the tree shows.
TreeNode* Selected(AppWindows& app) { return app.mainWindow() ? app.mainWindow()->CurrentFolder() : nullptr; }

SyncSettings CurrentSyncSettings() {
  SyncSettings s;
  s.importUrlAsHtmlItem = CurrentProfile().ImportUrlAsHtmlItem;
  return s;
}

void ShowResults(AppWindows& app) {
  TreeNode* result = GetTreeState().searchFolder;
  app.Refresh();
  if (result) app.SelectFolder(result);
}

// The settings with the profile's share filled in.
SearchSettings Stored() {
  SearchSettings s = CurrentSearchSettings();
  const Profile& p = CurrentProfile();
  s.searchLink = p.SearchLink;
  s.ignoreAtag = p.IgnoreAtag;
  s.namazuIndex = p.PathOfNamazuIndex;
  return s;
}

void Store(const SearchSettings& s) {
  CurrentSearchSettings() = s;
  Profile& p = CurrentProfile();
  p.SearchLink = s.searchLink;
  p.IgnoreAtag = s.ignoreAtag;
}

}  // namespace

// --- Search dialog ---

SearchDialog::SearchDialog(QWidget* parent, const SearchSettings& settings) : QDialog(parent), base_(settings) {
  setWindowTitle(U("検索ダイアログ"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(U("検索キーワードを入力してください"), this));
  keyword = new QLineEdit(Q(settings.keyword), this);
  keyword->setMaxLength(kFieldBytes / 2);
  layout->addWidget(keyword);
  all = new QRadioButton(U("すべてのフォルダ(&A)"), this);
  below = new QRadioButton(U("指定フォルダ以下(&S)"), this);
  (settings.allFolders ? all : below)->setChecked(true);
  matchCase = new QCheckBox(U("大文字と小文字を区別する(&B)"), this);
  multiple = new QCheckBox(U("空白で区切ると複数キーワード検索(&M)"), this);
  link = new QCheckBox(U("リンク先もチェックする(&L)"), this);
  ignoreA = new QCheckBox(U("Aタグのリンクは無視する(&Ｉ)"), this);
  matchCase->setChecked(settings.matchCase);
  multiple->setChecked(settings.multipleKeywords);
  link->setChecked(settings.searchLink);
  ignoreA->setChecked(settings.ignoreAtag);
  ignoreA->setEnabled(settings.searchLink);
  connect(link, &QCheckBox::toggled, ignoreA, &QCheckBox::setEnabled);
  for (QWidget* w : {static_cast<QWidget*>(all), static_cast<QWidget*>(below), static_cast<QWidget*>(matchCase),
                     static_cast<QWidget*>(multiple), static_cast<QWidget*>(link), static_cast<QWidget*>(ignoreA)})
    layout->addWidget(w);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

SearchSettings SearchDialog::Settings() const {
  SearchSettings s = base_;
  s.keyword = os::CutSjis(S(keyword->text()), kMaxKeywordBytes);
  s.allFolders = all->isChecked();
  s.matchCase = matchCase->isChecked();
  s.multipleKeywords = multiple->isChecked();
  s.searchLink = link->isChecked();
  s.ignoreAtag = ignoreA->isChecked();
  return s;
}

bool StartContentsSearch(AppWindows& app, const SearchSettings& s) {
  ContentsSearch& search = TheContentsSearch();
  if (search.Running()) {
    if (os::MessageBox(os::SJ("検索中です．検索を中止しますか？"), os::SJ("確認"), os::Buttons::YesNo, os::IDNO) !=
        os::IDYES)
      return false;
    search.Stop(std::chrono::seconds(1));
    if (search.Running()) return false;
  }
  ContentsQuery q;
  q.keyword = s.keyword;
  q.matchCase = s.matchCase;
  q.searchLink = s.searchLink;
  q.ignoreAtag = s.ignoreAtag;
  q.dataDirectory = CurrentProfile().dirs.data;
  q.textDirectory = CurrentProfile().dirs.text;
  if (!s.allFolders) {
    q.scope = Selected(app);
    if (!q.scope) {
      WriteLog("Can't detect of search folder");
      return false;
    }
  }
  if (!search.Start(q)) return false;
  ShowResults(app);
  return true;
}

void SearchCommand(AppWindows& app, SearchKind kind) {
  SearchDialog dialog(Parent(app), Stored());
  if (dialog.exec() != QDialog::Accepted) return;
  const SearchSettings s = dialog.Settings();
  Store(s);
  if (kind == SearchKind::Contents) {
    (void)StartContentsSearch(app, s);
    return;
  }
  TreeNode* scope = nullptr;
  if (!s.allFolders) {
    scope = Selected(app);
    if (!scope) {
      WriteLog("Can't detect of search folder");
      return;
    }
  }
  TreeNode* result = GetTreeState().searchFolder;
  int hits = kind == SearchKind::Titles ? SearchTitles(scope, s.keyword, result, s.matchCase)
                                        : SearchUrls(scope, s.keyword, result, s.matchCase);
  if (hits >= 0) ShowResults(app);
}

void SearchMarkedCommand(AppWindows& app, int mark) {
  if (SearchMarked(mark, GetTreeState().searchFolder) >= 0) ShowResults(app);
}

void SearchUnreadCommand(AppWindows& app) {
  if (SearchUnread(GetTreeState().searchFolder) >= 0) ShowResults(app);
}

void SearchByIndexCommand(AppWindows& app) {
  SearchSettings s = Stored();
  bool ok = false;
  QString query = QInputDialog::getText(Parent(app), U("Namazu"), U("検索キーワードを入力してください"),
                                        QLineEdit::Normal, Q(s.keyword), &ok);
  if (!ok || query.isEmpty()) return;
  s.keyword = os::CutSjis(S(query), kMaxKeywordBytes);
  CurrentSearchSettings().keyword = s.keyword;
  if (SearchByIndex(s.keyword, s.namazuIndex, GetTreeState().searchFolder, CurrentProfile().ProgramDirectory) >= 0)
    ShowResults(app);
}

void ClearSearchCommand(AppWindows& app) {
  ClearSearchResults(GetTreeState().searchFolder);
  app.Refresh();
}

// --- Find folder ---

void FindFolderCommand(AppWindows& app) {
  struct Kept {
    QString name;
    bool exact = false, matchCase = false;
  };
  static Kept kept;
  auto* dialog = new QDialog(Parent(app));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(QStringLiteral("Search Folder"));
  auto* layout = new QVBoxLayout(dialog);
  layout->addWidget(new QLabel(U("検索するフォルダ名を入力してください"), dialog));
  auto* name = new QLineEdit(kept.name, dialog);
  auto* exact = new QCheckBox(U("完全一致のみ許可(&M)"), dialog);
  auto* matchCase = new QCheckBox(U("大文字と小文字を区別する(&B)"), dialog);
  exact->setChecked(kept.exact);
  matchCase->setChecked(kept.matchCase);
  auto* row = new QHBoxLayout;
  auto* find = new QPushButton(U("検索(&F)"), dialog);
  auto* close = new QPushButton(U("終了(&C)"), dialog);
  find->setDefault(true);
  row->addWidget(find);
  row->addWidget(close);
  for (QWidget* w : {static_cast<QWidget*>(name), static_cast<QWidget*>(exact), static_cast<QWidget*>(matchCase)})
    layout->addWidget(w);
  layout->addLayout(row);
  QObject::connect(close, &QPushButton::clicked, dialog, &QDialog::close);
  QObject::connect(find, &QPushButton::clicked, dialog, [&app, name, exact, matchCase] {
    kept = {name->text(), exact->isChecked(), matchCase->isChecked()};
    TreeNode* found = nullptr;
    {
      std::lock_guard lock(TreeMutex());
      found = FindFolderAfter(GetTreeState().root, Selected(app), S(kept.name), kept.exact, kept.matchCase);
    }
    if (found) app.SelectFolder(found);
  });
  dialog->show();
}

// --- Sync folders ---

SyncFolderDialog::SyncFolderDialog(QWidget* parent, const std::string& n, const std::string& d, const bool o[4])
    : QDialog(parent), name(n), directory(d) {
  for (int i = 0; i < 4; ++i) options[i] = o[i];
  setWindowTitle(U("同期フォルダ作成・編集"));
  auto* grid = new QGridLayout(this);
  grid->addWidget(new QLabel(U("他のディレクトリと同期を取るフォルダを作成します．\n毎回起動時にここで指定されたディレクトリ"
                               "の内容を読み込みツリー＆リスト部にロードします．"),
                             this),
                  0, 0, 1, 3);
  grid->addWidget(new QLabel(U("フォルダ名（ツリーでの名前）"), this), 1, 0);
  nameEdit = new QLineEdit(Q(n), this);
  grid->addWidget(nameEdit, 1, 1, 1, 2);
  grid->addWidget(new QLabel(U("読み込みディレクトリ（実際のパス）"), this), 2, 0);
  dirEdit = new QLineEdit(Q(d), this);
  grid->addWidget(dirEdit, 2, 1);
  auto* browse = new QPushButton(U("参照"), this);
  grid->addWidget(browse, 2, 2);
  const char* texts[4] = {"同期フォルダを開くと新規テキストを表示", "同期フォルダのテキストは1行目をファイル名に指定",
                          "同期フォルダ以下のサブディレクトリもロードする",
                          "サブディレクトリをロードする際 .files フォルダを無視する"};
  for (int i = 0; i < 4; ++i) {
    boxes[i] = new QCheckBox(U(texts[i]), this);
    boxes[i]->setChecked(o[i]);
    grid->addWidget(boxes[i], 3 + i, 0, 1, 3);
  }
  auto* unused = new QCheckBox(U("同期フォルダ内では拡張子も指定する（いらんか）"), this);
  grid->addWidget(unused, 7, 0, 1, 3);
  boxes[3]->setEnabled(o[2]);
  connect(boxes[2], &QCheckBox::toggled, boxes[3], &QCheckBox::setEnabled);
  connect(browse, &QPushButton::clicked, this, [this] {
    auto native = os::ToNativePath(S(dirEdit->text()));
    QString chosen = QFileDialog::getExistingDirectory(this, U("同期するフォルダを指定してください"),
                                                       native ? QString::fromStdString(*native) : QString());
    if (!chosen.isEmpty()) dirEdit->setText(Q(os::FromNativePath(chosen.toStdString())));
  });
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, [this] { done(Validate() ? Accepted : Rejected); });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  grid->addWidget(buttons, 8, 0, 1, 3);
}

bool SyncFolderDialog::Validate() {
  name = os::CutSjis(S(nameEdit->text()), kFieldBytes);
  directory = os::CutSjis(os::NormalizeSettingPath(S(dirEdit->text())), kFieldBytes);
  while (directory.size() > 3 && directory.back() == '\\') directory.pop_back();
  options[1] = boxes[1]->isChecked();
  options[0] = options[1] && boxes[0]->isChecked();
  options[2] = boxes[2]->isChecked();
  options[3] = boxes[3]->isChecked();
  const bool drive = directory.size() >= 2 && directory[1] == ':';
  if (!drive && !directory.starts_with("\\\\")) {
    os::MessageBox(os::SJ("設定に不備があるため，追加・編集できませんでした．"), os::SJ("エラー"));
    return false;
  }
  if (!os::DirectoryExists(directory)) {
    if (os::MessageBox(os::SJ("指定されたフォルダが存在しません．\r\nフォルダを作成しますか？"), directory,
                       os::Buttons::YesNo, os::IDNO) != os::IDYES) {
      os::MessageBox(os::SJ("同期用のフォルダが存在しないため設定できませんでした．"), "Zentu");
      return false;
    }
    if (!os::CreateDirectories(directory)) {
      os::MessageBox(os::SJ("フォルダが作成できませんでした"), "Zentu");
      return false;
    }
  }
  return true;
}

void NewSyncFolderCommand(AppWindows& app) {
  TreeNode* parent = Selected(app);
  if (!parent) {
    os::MessageBox(os::SJ("ツリー部でアイテムが選択されてません"), "Zentu");
    return;
  }
  const bool none[4] = {false, false, false, false};
  SyncFolderDialog dialog(Parent(app), "", "", none);
  if (dialog.exec() != QDialog::Accepted) return;
  TreeNode* folder = nullptr;
  {
    std::lock_guard lock(TreeMutex());
    if (!StillInTree(parent) || IsItem(parent)) return;
    folder = NewSyncFolderNode(dialog.name, dialog.directory, dialog.options);
    folder->expanded = true;
    if (!Link(folder, parent, kLinkLastChild)) {
      DestroyNode(folder);
      return;
    }
    (void)ReloadSyncFolder(folder, CurrentSyncSettings());
  }
  app.Refresh();
  app.SelectFolder(folder);
}

int DropPathsOnTree(AppWindows& app, TreeNode* target, const std::vector<std::string>& paths) {
  if (!target) {
    WriteLog("Drop: Target not found.");
    return 0;
  }
  {
    std::lock_guard lock(TreeMutex());
    if (!StillInTree(target)) {
      WriteLog("Drop: Target not found.");
      return 0;
    }
    if (IsItem(target)) {
      WriteLog("# Drop Error : %s", os::SJ("ファイルにはドロップできません").c_str());
      os::Notice(os::SJ("ファイルにはドロップできません"));
      return 0;
    }
    // The search-result folder is emptied by the next search, and a sync
    // folder's children are rebuilt from its directory: a folder made there
    // would vanish.
    for (const TreeNode* n = target; n; n = n->parent) {
      if (n == GetTreeState().searchFolder || IsSyncFolder(n)) {
        WriteLog("Can't make sync folder here");
        return 0;
      }
    }
  }
  int made = 0;
  TreeNode* last = nullptr;
  for (const std::string& path : paths) {
    if (!os::DirectoryExists(path)) continue;  // files are not sync folders
    if (os::MessageBox(os::SJ("通常のフォルダを同期フォルダとして指定しますか？"), path, os::Buttons::YesNo, os::IDNO) != os::IDYES)
      continue;
    const bool none[4] = {false, false, false, false};
    std::lock_guard lock(TreeMutex());
    if (!StillInTree(target)) break;
    TreeNode* folder = NewSyncFolderNode(os::FileNameOf(path), path, none);
    if (!Link(folder, target, kLinkLastChild)) {
      DestroyNode(folder);
      continue;
    }
    (void)ReloadSyncFolder(folder, CurrentSyncSettings());
    last = folder;
    ++made;
  }
  if (made) {
    app.Refresh();
    app.SelectFolder(last);
  }
  return made;
}

void EditSyncFolderCommand(AppWindows& app) {
  TreeNode* folder = Selected(app);
  if (!folder) {
    os::MessageBox(os::SJ("何も選択されてません"), "Zentu");
    return;
  }
  std::string name, dir;
  bool options[4];
  {
    std::lock_guard lock(TreeMutex());
    if (!IsSyncFolder(folder)) return;
    name = folder->title;
    dir = folder->localFile;
    for (int i = 0; i < 4; ++i) options[i] = folder->syncOptions[i];
  }
  SyncFolderDialog dialog(Parent(app), name, dir, options);
  if (dialog.exec() != QDialog::Accepted) return;
  {
    std::lock_guard lock(TreeMutex());
    if (!StillInTree(folder) || !IsSyncFolder(folder)) return;
    SetTitle(folder, dialog.name);
    SetUrl(folder, dialog.directory);
    SetLocalFile(folder, dialog.directory);
    for (int i = 0; i < 4; ++i) folder->syncOptions[i] = dialog.options[i];
    MarkTreeModified();
    (void)ReloadSyncFolder(folder, CurrentSyncSettings());
  }
  app.Refresh();
}

void ReloadSyncFolderCommand(AppWindows& app) {
  TreeNode* node = Selected(app);
  if (!node) {
    os::MessageBox(os::SJ("何も選択されてません"), "Zentu");
    return;
  }
  {
    std::lock_guard lock(TreeMutex());
    if (node->property == kPropertyTextItem && IsItem(node)) {
      os::MessageBox(os::SJ("ここには追加できゃんとです"), os::SJ("警告です"));
      return;
    }
    (void)ReloadSyncFolder(node, CurrentSyncSettings());
  }
  app.Refresh();
}

}  // namespace zentu::ui
