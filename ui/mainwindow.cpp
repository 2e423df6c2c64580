#include "ui/mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QActionGroup>
#include <QCloseEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QToolBar>
#include <QTreeView>
#include <QTimer>
#include <QUrl>
#include <QWindowStateChangeEvent>
#include <algorithm>
#include <utility>
#include <mutex>

#include "os/log.h"
#include "os/path.h"
#include "store/groups.h"
#include "os/version.h"
#include "ui/appwindows.h"
#include "ui/commands.h"
#include "ui/foldermodel.h"
#include "ui/importcommands.h"
#include "ui/itemmodel.h"
#include "ui/keybindings.h"
#include "ui/nodeview.h"
#include "ui/qttext.h"
#include "ui/searchcommands.h"
#include "ui/treeicons.h"

namespace zentu::ui {
namespace {


// Sorts a folder again by its mode when the user opens it (titles and dates
// change after items were added). An order that was right already does not
// count as a change of the collection.
bool ResortQuietly(TreeNode* folder) {
  std::vector<const TreeNode*> before;
  for (const TreeNode* c = folder->firstChild; c; c = c->next) before.push_back(c);
  TreeState& state = GetTreeState();
  const bool wasModified = state.modified.load();
  if (!SortChildren(folder, folder->sortMode)) return false;
  size_t i = 0;
  bool same = true;
  for (const TreeNode* c = folder->firstChild; c; c = c->next, ++i) {
    if (i >= before.size() || before[i] != c) {
      same = false;
      break;
    }
  }
  if (same && !wasModified) state.modified.store(false);
  return !same;
}

}  // namespace

QString WindowTitleText(const Profile& profile, const QString& text) {
  return QString::fromStdString(os::WindowTitle(profile.ShowVersionOnTitleBar, text.toStdString()));
}

MainWindow::MainWindow(AppWindows& app) : QMainWindow(nullptr), app_(app) {
  setObjectName(QString::fromLatin1(os::kWindowClassName));
  setWindowIcon(TreeImageList::Get().AppIcon());

  treeModel_ = new FolderTreeModel(this);
  listModel_ = new ItemListModel(this);

  treeView_ = new NodeView(DragSource::Tree);
  treeView_->setObjectName(QStringLiteral("tree view"));
  treeView_->setModel(treeModel_);
  treeView_->setHeaderHidden(true);
  treeView_->setUniformRowHeights(true);
  treeView_->setSelectionMode(QAbstractItemView::SingleSelection);
  treeView_->setIconSize(QSize(16, 16));
  treeView_->setTextElideMode(Qt::ElideRight);
  // Directories dropped from the desktop's file manager may become sync folders.
  treeView_->setAcceptDrops(true);
  treeView_->viewport()->setAcceptDrops(true);
  treeView_->viewport()->installEventFilter(this);

  listView_ = new NodeView(DragSource::List);
  listView_->setObjectName(QStringLiteral("list view"));
  listView_->setModel(listModel_);
  listView_->setRootIsDecorated(false);
  listView_->setItemsExpandable(false);
  listView_->setUniformRowHeights(true);
  listView_->setAllColumnsShowFocus(true);
  listView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  listView_->setSelectionBehavior(QAbstractItemView::SelectRows);
  listView_->setIconSize(QSize(16, 16));
  listView_->setTextElideMode(Qt::ElideRight);
  listView_->header()->setSectionsMovable(true);
  listView_->header()->setStretchLastSection(false);

  webPane_ = new QLabel;
  webPane_->setObjectName(QStringLiteral("web view"));
  webPane_->setTextFormat(Qt::PlainText);
  webPane_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  webPane_->setWordWrap(true);
  webPane_->setMargin(8);
  webPane_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  webPane_->setAutoFillBackground(true);
  webPane_->setBackgroundRole(QPalette::Base);
  webPane_->setMinimumHeight(40);

  rightSide_ = new QSplitter(Qt::Vertical);
  rightSide_->addWidget(listView_);
  rightSide_->addWidget(webPane_);
  if (const BrowserPaneFactory& factory = GetBrowserPaneFactory(); factory) {
    browser_ = factory(this);
    if (browser_) {
      webPane_->hide();
      rightSide_->addWidget(browser_->Widget());
    }
  }
  rightSide_->setChildrenCollapsible(false);
  panes_ = new QSplitter(Qt::Horizontal);
  panes_->addWidget(treeView_);
  panes_->addWidget(rightSide_);
  panes_->setStretchFactor(1, 1);
  rightSide_->setStretchFactor(1, 1);
  setCentralWidget(panes_);

  for (QLabel*& part : parts_) {
    part = new QLabel(this);
    part->setTextFormat(Qt::PlainText);
  }
  parts_[1]->setMinimumWidth(150);
  parts_[2]->setFixedWidth(150);
  statusBar()->addWidget(parts_[0], 1);
  statusBar()->addPermanentWidget(parts_[1], 1);
  statusBar()->addPermanentWidget(parts_[2]);

  BuildMenus();
  BuildToolBar();
  ApplyKeyBindings();

  connect(treeView_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) {
            if (syncing_) return;  // settled once the models have followed the collection
            if (TreeNode* folder = treeModel_->NodeAt(current)) OnFolderChosen(folder);
          });
  auto setExpanded = [this](const QModelIndex& index, bool expanded) {
    if (TreeNode* n = treeModel_->NodeAt(index)) {
      std::lock_guard lock(TreeMutex());
      n->expanded = expanded;
    }
  };
  connect(treeView_, &QTreeView::expanded, this, [setExpanded](const QModelIndex& i) { setExpanded(i, true); });
  connect(treeView_, &QTreeView::collapsed, this, [setExpanded](const QModelIndex& i) { setExpanded(i, false); });
  connect(treeModel_, &QAbstractItemModel::rowsInserted, this, [this] { expansionPending_ = true; });
  connect(treeModel_, &QAbstractItemModel::modelReset, this, [this] { expansionPending_ = true; });

  connect(listView_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this] { OnListCurrentChanged(); });
  connect(listView_, &QAbstractItemView::activated, this, [this](const QModelIndex& index) {
    TreeNode* n = listModel_->NodeAt(index.row());
    if (!n) return;
    if (app_.openItem) app_.openItem(n);
    else if (IsFolder(n)) SelectFolder(n);
  });

  for (NodeView* v : {treeView_, listView_}) {
    v->dragBegins = [this](NodeView& from) { BeginDrag(from); };
    v->dropped = [this](NodeView& onto, const QModelIndex& at) { OnDropped(onto, at); };
  }

  // Right clicks choose the row under the pointer first, then offer its commands.
  treeView_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(treeView_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    if (TreeNode* n = treeModel_->NodeAt(treeView_->indexAt(pos))) SelectFolder(n);
    focusPane_ = treeView_;
    QMenu menu(this);
    for (int id : {kCmdNewFolder, kCmdRename, kCmdProperties, 0, kCmdDeleteTreeFolder, 0, kCmdOpenFolder,
                   kCmdCloseFolder, 0, kCmdMirrorFolder})
      id ? (void)menu.addAction(action(id)) : (void)menu.addSeparator();
    menu.exec(treeView_->viewport()->mapToGlobal(pos));
  });
  listView_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(listView_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    const QModelIndex at = listView_->indexAt(pos);
    if (!at.isValid()) return;
    if (!listView_->selectionModel()->isSelected(at)) listView_->setCurrentIndex(at);
    focusPane_ = listView_;
    QMenu menu(this);
    for (int id : {kCmdRename, kCmdProperties, 0, kCmdSetRead, kCmdSetUnread, 0, kCmdLockUrl, kCmdUnlockUrl, 0,
                   kCmdDeleteItem, 0, kCmdMirrorSelected})
      id ? (void)menu.addAction(action(id)) : (void)menu.addSeparator();
    menu.exec(listView_->viewport()->mapToGlobal(pos));
  });

  // The pane that had the focus gets it back when the window is active again.
  focusWatch_ = connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
    if (now == treeView_ || now == listView_) focusPane_ = now;
  });

  connect(panes_, &QSplitter::splitterMoved, this, [this] { StoreLayout(); });
  connect(rightSide_, &QSplitter::splitterMoved, this, [this] { StoreLayout(); });
  connect(listView_->header(), &QHeaderView::sectionResized, this, [this] { StoreLayout(); });
  connect(listView_->header(), &QHeaderView::sectionMoved, this, [this] { StoreLayout(); });

  ApplyProfile(CurrentProfile());
  treeModel_->Reset();
  ApplyExpansion();
  UpdateTitle();
}

namespace {

// The local paths a drag from outside carries, as program paths.
std::vector<std::string> DroppedPaths(const QMimeData* mime) {
  std::vector<std::string> paths;
  if (!mime || !mime->hasUrls()) return paths;
  for (const QUrl& url : mime->urls()) {
    if (!url.isLocalFile()) continue;
    const std::string native = url.toLocalFile().toStdString();
    if (!native.empty()) paths.push_back(os::FromNativePath(native));
  }
  return paths;
}

}  // namespace

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched != treeView_->viewport()) return QMainWindow::eventFilter(watched, event);
  switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      auto* drag = static_cast<QDropEvent*>(event);
      if (drag->source() || DroppedPaths(drag->mimeData()).empty()) return false;
      drag->acceptProposedAction();
      return true;
    }
    case QEvent::Drop: {
      auto* drop = static_cast<QDropEvent*>(event);
      if (drop->source()) return false;
      std::vector<std::string> paths = DroppedPaths(drop->mimeData());
      if (paths.empty()) return false;
      drop->acceptProposedAction();
      TreeNode* target = treeModel_->NodeAt(treeView_->indexAt(drop->position().toPoint()));
      // The drop ends once the questions have been answered, not inside Qt's drag loop.
      QTimer::singleShot(0, this, [this, target, paths] { DropPathsOnTree(app_, target, paths); });
      return true;
    }
    default:
      return false;
  }
}

MainWindow::~MainWindow() {
  // Focus moves while the child widgets go: not ours to follow any more.
  disconnect(focusWatch_);
}

QAction* MainWindow::Command(int id, const QString& text) {
  // No key here: ApplyKeyBindings sets every shortcut from the key list.
  auto* a = new QAction(text, this);
  connect(a, &QAction::triggered, this, [this, id] { app_.Dispatch(id); });
  actions_[id] = a;
  return a;
}

QAction* MainWindow::action(int command) const {
  auto it = actions_.find(command);
  return it == actions_.end() ? nullptr : it->second;
}

void MainWindow::BuildMenus() {
  const Profile& profile = CurrentProfile();
  QMenu* file = menuBar()->addMenu(U("ファイル(&F)"));
  file->addAction(Command(kCmdSave, U("セーブ(&S)")));
  file->addAction(Command(kCmdNewFolder, U("フォルダを作成(&N)")));
  file->addSeparator();
  // Imports from other programs.
  QMenu* imports = file->addMenu(U("インポート(&I)"));
  for (const ImportCommandInfo& c : ImportCommands()) {
    if (c.id == kCmdImportIria) imports->addSeparator();
    imports->addAction(Command(c.id, U(c.menuTextUtf8)));
  }
  // The orphan-file cleaner.
  file->addAction(Command(kCmdMirrorFolder, U("フォルダに出力(&E)...")));
  file->addAction(Command(kCmdMirrorSelected, U("選択アイテムをフォルダに出力(&L)...")));
  file->addAction(Command(kCmdSaveOlderFormat, U("旧形式で保存(&O)...")));
  file->addAction(Command(kCmdBackupNow, U("バックアップを作成(&B)")));
  file->addSeparator();
  file->addAction(Command(kCmdStartCleaner, U("孤立ファイルのクリーナーを起動(&C)...")));
  file->addSeparator();
  file->addAction(Command(kCmdExit, U("終了(&X)")));

  QMenu* view = menuBar()->addMenu(U("表示(&V)"));
  view->addAction(Command(kCmdToggleTree, U("ツリーウインドウの表示切替")));
  view->addAction(Command(kCmdToggleList, U("リストウインドウの表示切替")));
  view->addAction(Command(kCmdToggleStatusBar, U("ステータスバーの表示切替")));
  view->addSeparator();
  view->addAction(Command(kCmdShowLog, U("ログ表示")));
  view->addAction(Command(kCmdShowDownloadManager, U("ダウンロードマネージャ表示")));
  view->addSeparator();
  view->addAction(Command(kCmdHideWindow, U("ウインドウを隠す")));
  view->addAction(Command(kCmdMinimizeWindow, U("ウインドウを最小化")));
  view->addAction(Command(kCmdToggleTopMost, U("最前面表示モード切替")));
  view->addSeparator();
  // The groups of group.dat, read afresh whenever the menu opens.
  QMenu* groups = view->addMenu(U("グループ(&G)"));
  groups->setObjectName(QStringLiteral("group menu"));
  connect(groups, &QMenu::aboutToShow, this, [this, groups] { FillGroupMenu(groups); });
  view->addAction(Command(kCmdGroupSettings, U("グループの表示設定...")));

  QMenu* item = menuBar()->addMenu(U("アイテム(&I)"));
  item->addAction(Command(kCmdSetRead, U("既読に設定")));
  item->addAction(Command(kCmdSetUnread, U("未読に設定")));
  item->addSeparator();
  item->addAction(Command(kCmdRename, U("名前の変更")));
  item->addAction(Command(kCmdProperties, U("プロパティ")));
  // No Delete key here: it would reach past the editor of a tab; the key configuration binds it.
  item->addAction(Command(kCmdDeleteItem, U("アイテムの削除")));
  item->addSeparator();
  item->addAction(Command(kCmdLockUrl, U("このURLを上書き不可とする(&L)")));
  item->addAction(Command(kCmdUnlockUrl, U("このURLを上書き可能とする(&U)")));
  item->addSeparator();
  item->addAction(Command(kCmdNextItem, U("次のアイテムを選択")));
  item->addAction(Command(kCmdPreviousItem, U("前のアイテムを選択")));
  item->addSeparator();
  // Marks as "%sに設定"; their keys come from the key configuration.
  QMenu* marks = item->addMenu(U("マーク(&M)"));
  for (int m = 1; m <= 10; ++m) {
    const int number = m % 10;  // marks 1..9, then 0 clears
    const int id = number == 0 ? kCmdClearMark : kCmdSetMarkFirst + number - 1;
    marks->addAction(Command(id, U("%1に設定").arg(Q(profile.NameOfMark[static_cast<size_t>(number)]))));
  }

  // Text items and the editor of the current tab.
  QMenu* text = menuBar()->addMenu(U("テキスト(&E)"));
  text->addAction(Command(kCmdNewText, U("テキストを作成")));
  text->addAction(Command(kCmdNewTextInNewTab, U("新規タブで新規テキストを開く")));
  text->addAction(Command(kCmdToggleEditor, U("ブラウザエディタ表示切替")));
  text->addAction(Command(kCmdSaveText, U("テキストを保存")));
  text->addSeparator();
  text->addAction(Command(kCmdFind, U("検索")));
  text->addAction(Command(kCmdFindNext, U("次を検索")));
  text->addAction(Command(kCmdReplace, U("置換")));
  text->addAction(Command(kCmdGoToLine, U("指定行へ移動")));
  text->addSeparator();
  text->addAction(Command(kCmdUndoText, U("元に戻す")));
  text->addAction(Command(kCmdRedoText, U("やり直し")));

  QMenu* folder = menuBar()->addMenu(U("フォルダ(&O)"));
  folder->addAction(Command(kCmdDeleteTreeFolder, U("フォルダの削除")));
  Command(kCmdDeleteTreeItem, U("削除"));  // the tree's item menu, when the tree shows items
  folder->addSeparator();
  folder->addAction(Command(kCmdOpenFolder, U("フォルダを開く")));
  folder->addAction(Command(kCmdCloseFolder, U("フォルダを閉じる")));
  folder->addSeparator();
  QMenu* sort = folder->addMenu(U("ソート(&S)"));
  sortGroup_ = new QActionGroup(this);
  sortGroup_->setExclusive(true);
  for (const SortModeInfo& mode : kSortModes) {
    QAction* a = Command(SortCommand(mode.mode), Q(SortMenuText(mode.mode)));
    a->setCheckable(true);
    sortGroup_->addAction(a);
    sort->addAction(a);
    if (mode.mode == kSortNone) sort->addSeparator();
  }

  QMenu* capture = menuBar()->addMenu(U("取り込み(&D)"));
  capture->addAction(Command(kCmdStartCapture, U("ダウンロード開始")));
  capture->addAction(Command(kCmdStopCapture, U("ダウンロード停止")));
  capture->addSeparator();
  capture->addAction(Command(kCmdUpdateNode, U("再読み込み(&R)")));
  capture->addAction(Command(kCmdUpdateFolder, U("フォルダ以下全更新")));
  capture->addAction(Command(kCmdUpdateSelected, U("指定のアイテムを一括更新")));
  capture->addAction(Command(kCmdUpdateByAction, U("指定時更新を実行")));
  capture->addSeparator();
  capture->addAction(Command(kCmdAddFeedFolder, U("RSSフォルダを作成(&N)...")));
  capture->addAction(Command(kCmdImportOpml, U("OPMLをインポート(&O)...")));
  capture->addAction(Command(kCmdEditSchedule, U("フォルダの更新設定(&U)...")));
  capture->addSeparator();
  capture->addAction(Command(kCmdCopySelectionAsText, U("選択範囲をテキスト形式で取り込む")));
  capture->addAction(Command(kCmdCopySelectionAsHtml, U("選択範囲をHTML形式で取り込む")));
  capture->addAction(Command(kCmdCopySelectionWithLinks, U("選択範囲のHTMLとリンク先を取り込む")));
  capture->addAction(Command(kCmdTakeClipboardText, U("クリップボードからテキスト形式で取り込む")));
  capture->addAction(Command(kCmdTakeClipboardHtml, U("クリップボードからHTML形式で取り込む")));
  capture->addAction(Command(kCmdShowScrapAgent, U("スクラップエージェントを表示(&A)")));
  capture->addSeparator();
  capture->addAction(Command(kCmdRegisterBrowser, U("ブラウザの右クリックに登録(&W)...")));
  capture->addAction(Command(kCmdUnregisterBrowser, U("ブラウザの右クリックから削除")));
  capture->addSeparator();
  capture->addAction(action(kCmdShowDownloadManager));

  // Search folders and sync folders.
  QMenu* search = menuBar()->addMenu(U("検索(&S)"));
  search->addAction(Command(kCmdSearchTitle, U("タイトルを検索(&T)...")));
  search->addAction(Command(kCmdSearchUrl, U("URLを検索(&U)...")));
  search->addAction(Command(kCmdSearchContents, U("内容を検索(&C)...")));
  search->addAction(Command(kCmdSearchByIndex, U("Namazuで検索(&N)...")));
  search->addSeparator();
  search->addAction(Command(kCmdSearchUnread, U("未読アイテムを検索(&R)")));
  // The items of each mark, as "%sの一覧\tAlt + %d"; Alt+1..9 come from the key list.
  QMenu* markSearch = search->addMenu(U("マークを検索(&M)"));
  for (int m = 1; m <= 9; ++m) {
    const int id = kCmdSearchMarkFirst + m - 1;
    markSearch->addAction(
        Command(id, U("%1の一覧\tAlt + %2").arg(Q(profile.NameOfMark[static_cast<size_t>(m)])).arg(m)));
  }
  search->addAction(Command(kCmdClearSearch, U("検索結果をクリア(&L)")));
  search->addSeparator();
  search->addAction(Command(kCmdFindFolder, U("フォルダを検索(&F)...")));
  search->addSeparator();
  search->addAction(Command(kCmdNewSyncFolder, U("同期フォルダを作成(&S)...")));
  search->addAction(Command(kCmdEditSyncFolder, U("同期フォルダを編集(&E)...")));
  search->addAction(Command(kCmdReloadSyncFolder, U("同期フォルダを再読み込み(&Y)")));
  // The browser: tabs, page markers and the block list.
  QMenu* web = menuBar()->addMenu(U("ブラウザ(&B)"));
  web->addAction(Command(kCmdNewTab, U("新しいタブを開く")));
  web->addAction(Command(kCmdCloseCurrentTab, U("アクティブなタブを閉じる")));
  web->addAction(Command(kCmdCloseOtherTabs, U("このタブ以外全て閉じる")));
  web->addAction(Command(kCmdLeftTab, U("左のタブに移動")));
  web->addAction(Command(kCmdRightTab, U("右のタブに移動")));
  web->addSeparator();
  web->addAction(Command(kCmdCopyTabTitle, U("タブのタイトルをコピー")));
  web->addAction(Command(kCmdCopyTabUrl, U("タブのURLをコピー")));
  web->addAction(Command(kCmdCopyTabTitleUrl, U("タブのタイトル＋URLをコピー")));
  web->addSeparator();
  web->addAction(Command(kCmdOpenKeyword, U("キーワードからWEBページを開く")));
  web->addAction(Command(kCmdMarker1, U("ウェブページの選択範囲にマーカーを設定")));
  web->addAction(Command(kCmdMarker2, U("ウェブページの選択範囲にマーカー2を設定")));
  web->addSeparator();
  web->addAction(Command(kCmdCaptureSite, U("表示中のサイトを取り込む...")));
  web->addAction(Command(kCmdAutoNavigateStart, U("オートナビゲート開始")));
  web->addAction(Command(kCmdAutoNavigateStop, U("オートナビゲート終了")));
  web->addSeparator();
  web->addAction(Command(kCmdBlockListSettings, U("自動的に閉じるURLに関する設定（自動クローズ）...")));

  QMenu* tools = menuBar()->addMenu(U("ツール(&T)"));
  tools->addAction(Command(kCmdSettings, U("環境設定(&O)...")));
  tools->addAction(Command(kCmdCaptureSettings, U("取り込み設定(&D)...")));
  tools->addSeparator();
  tools->addAction(Command(kCmdRejectSettings, U("取り込み時を無視するURLの設定(&R)...")));
  tools->addAction(Command(kCmdConvertSettings, U("取り込み時のタグ変換に関する設定(&C)...")));
  tools->addAction(Command(kCmdReferrerSettings, U("サイトアクセスに関するリファラの設定(&F)...")));
  tools->addAction(Command(kCmdPasswordSettings, U("サイトアクセスに関するユーザ・パスワード設定(&P)...")));
  tools->addSeparator();
  tools->addAction(Command(kCmdInternetOptions, U("インターネットオプション(&I)...")));
  tools->addAction(Command(kCmdKeySettings, U("キー設定(&K)...")));
  tools->addSeparator();
  tools->addAction(Command(kCmdDiagnostics, U("Zentuの診断(&G)...")));

  QMenu* help = menuBar()->addMenu(U("ヘルプ(&H)"));
  help->addAction(Command(kCmdHelp, U("ヘルプの表示(&H)")));
  help->addSeparator();
  help->addAction(Command(kCmdShowAbout, U("Zentu について (readme)(&R)")));
  help->addAction(Command(kCmdShowHistory, U("更新履歴を表示(&U)")));
  help->addAction(Command(kCmdShowTodo, U("ToDo を表示(&T)")));
  help->addSeparator();
  help->addAction(Command(kCmdShowVersion, U("バージョン情報(&A)")));
}

void MainWindow::ApplyKeyBindings() {
  // Every key comes from the general list: menu entries show their key, and
  // bound commands without an entry get a hidden action of the window.
  for (auto& [id, a] : actions_) a->setShortcuts({});
  for (QAction* a : keyActions_) {
    removeAction(a);
    delete a;
  }
  keyActions_.clear();
  std::map<int, QList<QKeySequence>> keys;
  for (const auto& [combination, command] : GeneralKeys().commandMap) {
    const QKeySequence sequence = SequenceOf(combination);
    if (!sequence.isEmpty()) keys[command].push_back(sequence);
  }
  for (auto& [command, sequences] : keys) {
    QAction* a = action(command);
    if (!a) {
      a = new QAction(this);
      a->setObjectName(QStringLiteral("key %1").arg(command));
      const int id = command;
      connect(a, &QAction::triggered, this, [this, id] {
        if (!app_.Dispatch(id)) WriteLog("> key: no operation for command %d", id);
      });
      addAction(a);
      keyActions_.push_back(a);
    }
    a->setShortcuts(sequences);
    a->setShortcutContext(Qt::WindowShortcut);
  }
}

void MainWindow::BuildToolBar() {
  TreeImageList& icons = TreeImageList::Get();
  toolBar_ = addToolBar(U("ツールバー"));
  toolBar_->setObjectName(QStringLiteral("tool bar"));
  toolBar_->setMovable(false);
  toolBar_->setIconSize(QSize(16, 16));
  toolBar_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  action(kCmdSave)->setIcon(icons.Icon(kIconBoxClose));
  action(kCmdSetRead)->setIcon(icons.Icon(kIconDlUrl));
  action(kCmdSetUnread)->setIcon(icons.Icon(kIconChangeUrl));
  action(kCmdShowLog)->setIcon(icons.Icon(kIconTextFile));
  action(kCmdShowDownloadManager)->setIcon(icons.Icon(kIconReceiveFolderClose));
  action(kCmdStopCapture)->setIcon(icons.Icon(kIconErrorUrl));
  toolBar_->addAction(action(kCmdSave));
  toolBar_->addSeparator();
  toolBar_->addAction(action(kCmdSetRead));
  toolBar_->addAction(action(kCmdSetUnread));
  toolBar_->addSeparator();
  toolBar_->addAction(action(kCmdShowDownloadManager));
  toolBar_->addAction(action(kCmdStopCapture));
  toolBar_->addAction(action(kCmdShowLog));
}

// --- Folders and items -----------------------------------------------------------------

void MainWindow::SelectFolder(TreeNode* folder) {
  QModelIndex index = treeModel_->IndexOf(folder);
  if (!index.isValid()) index = treeModel_->IndexOf(treeModel_->root());
  if (!index.isValid()) {
    OnFolderChosen(nullptr);
    return;
  }
  if (treeView_->currentIndex() == index) {
    OnFolderChosen(treeModel_->NodeAt(index));
  } else {
    treeView_->setCurrentIndex(index);  // OnFolderChosen through currentChanged
  }
  treeView_->scrollTo(index);
}

TreeNode* MainWindow::CurrentFolder() const { return listModel_->folder(); }

void MainWindow::OnFolderChosen(TreeNode* folder) {
  bool resorted = false;
  int lastSelected = -1;
  {
    std::lock_guard lock(TreeMutex());
    GetTreeState().currentFolder = folder;
    if (folder && folder->sortMode != kSortNone) resorted = ResortQuietly(folder);
    if (folder) lastSelected = folder->selectedChild;
  }
  treeModel_->SetCurrent(folder);
  if (resorted) {
    syncing_ = true;
    treeModel_->Sync({});  // a title sort moves sub-folders too
    syncing_ = false;
  }
  listModel_->SetFolder(folder);
  if (lastSelected >= 0 && lastSelected < listModel_->rowCount()) {
    QModelIndex row = listModel_->index(lastSelected, 0);
    listView_->setCurrentIndex(row);
    listView_->scrollTo(row);
  } else {
    listView_->scrollToTop();
    ShowDetails(folder);
  }
  SetStatus(0, U("%1 件").arg(listModel_->rowCount()));
  UpdateTitle();
  CheckSortMode();
}

void MainWindow::OnListCurrentChanged() {
  TreeNode* node = CurrentListNode();
  if (!node) return;
  if (TreeNode* folder = listModel_->folder()) {
    std::lock_guard lock(TreeMutex());
    folder->selectedChild = node->listId;
  }
  ShowDetails(node);
}

void MainWindow::RestoreFocus() {
  QWidget* pane = focusPane_ && focusPane_->isVisible() ? focusPane_.data() : listView_;
  if (isVisible() && !isMinimized()) activateWindow();
  pane->setFocus();
}

bool MainWindow::ListPaneActive() const { return focusPane_ && focusPane_ == listView_; }

TreeNode* MainWindow::CurrentListNode() const { return listModel_->NodeAt(listView_->currentIndex().row()); }

std::vector<TreeNode*> MainWindow::SelectedNodes() const {
  std::vector<int> rows;
  for (const QModelIndex& i : listView_->selectionModel()->selectedRows()) rows.push_back(i.row());
  std::sort(rows.begin(), rows.end());
  std::vector<TreeNode*> out;
  for (int r : rows) {
    if (TreeNode* n = listModel_->NodeAt(r)) out.push_back(n);
  }
  if (out.empty()) {
    if (TreeNode* n = CurrentListNode()) out.push_back(n);
  }
  return out;
}

void MainWindow::ShowDetails(const TreeNode* node) {
  detailsNode_ = node;
  if (!node) {
    webPane_->clear();
    return;
  }
  QString text;
  {
    std::lock_guard lock(TreeMutex());
    text = QTitle(node->title) + QStringLiteral("\n\n");
    if (IsItem(node)) {
      text += QStringLiteral("URL: ") + Q(node->url) + QStringLiteral("\n");
      if (!node->localFile.empty()) {
        auto native = os::ToNativePath(node->localFile);
        text += U("保存先: ") + (native ? QString::fromUtf8(native->c_str()) : Q(node->localFile)) +
                QStringLiteral("\n");
      }
      if (!node->lastCheck.empty()) text += U("ダウンロード日: ") + Q(node->lastCheck) + QStringLiteral("\n");
      if (!node->originalDate.empty()) text += U("最終更新日: ") + Q(node->originalDate) + QStringLiteral("\n");
      if (node->size > 0) text += U("サイズ: %1 bytes\n").arg(node->size);
    } else {
      int folders = 0, items = 0;
      for (const TreeNode* c = node->firstChild; c; c = c->next) (IsFolder(c) ? folders : items)++;
      text += U("フォルダ %1 / アイテム %2 / 未読 %3\n").arg(folders).arg(items).arg(node->unreadCount);
    }
  }
  webPane_->setText(text);
}

void MainWindow::CheckSortMode() {
  uint32_t mode = kSortNone;
  if (TreeNode* folder = listModel_->folder()) {
    std::lock_guard lock(TreeMutex());
    mode = folder->sortMode;
  }
  if (QAction* a = action(SortCommand(mode))) a->setChecked(true);
}

void MainWindow::ApplyExpansion() {
  expansionPending_ = false;
  std::vector<std::pair<QModelIndex, bool>> wanted;
  {
    std::lock_guard lock(TreeMutex());
    for (TreeNode* f : treeModel_->Folders()) wanted.emplace_back(treeModel_->IndexOf(f), f->expanded || IsRoot(f));
  }
  for (auto& [index, expanded] : wanted) {
    if (treeView_->isExpanded(index) != expanded) treeView_->setExpanded(index, expanded);
  }
}

void MainWindow::Rebuild() {
  treeModel_->Reset();
  ApplyExpansion();
  TreeNode* current;
  {
    std::lock_guard lock(TreeMutex());
    current = GetTreeState().currentFolder;
  }
  SelectFolder(current);
}

void MainWindow::SyncViews(const std::unordered_set<const void*>& changed, bool full) {
  syncing_ = true;
  if (full) {
    treeModel_->Sync(changed);
  } else {
    bool unseen = false;
    for (const void* p : changed) {
      if (!treeModel_->Contains(p) && listModel_->RowOf(static_cast<const TreeNode*>(p)) < 0) unseen = true;
    }
    if (!treeModel_->SyncSome(changed)) {
      treeModel_->Sync(changed);
    } else if (unseen && !fullSyncScheduled_) {
      // Something the views do not show changed, a new folder perhaps: a whole
      // walk settles it soon, without one per refresh during a busy capture.
      fullSyncScheduled_ = true;
      QTimer::singleShot(1000, this, [this] {
        fullSyncScheduled_ = false;
        SyncViews({}, true);
      });
    }
  }
  if (expansionPending_) ApplyExpansion();
  listModel_->Sync(changed);
  syncing_ = false;

  TreeNode* current;
  {
    std::lock_guard lock(TreeMutex());
    current = GetTreeState().currentFolder;
  }
  // The shown folder went away (freed, or hidden by a group): show what the
  // collection names as current, else the root.
  if (!treeModel_->Contains(current)) current = treeModel_->root();
  if (current != treeModel_->current() || current != listModel_->folder() ||
      treeModel_->NodeAt(treeView_->currentIndex()) != current) {
    SelectFolder(current);
    return;
  }
  if (changed.count(current)) UpdateTitle();
  SetStatus(0, U("%1 件").arg(listModel_->rowCount()));
  if (detailsNode_ && changed.count(detailsNode_) &&
      (listModel_->RowOf(detailsNode_) >= 0 || treeModel_->Contains(detailsNode_)))
    ShowDetails(detailsNode_);
  else if (detailsNode_ && listModel_->RowOf(detailsNode_) < 0 && !treeModel_->Contains(detailsNode_))
    ShowDetails(nullptr);
}

// --- Drag and drop -------------------------------------------------------------------

void MainWindow::BeginDrag(NodeView& from) {
  drag_ = {};
  drag_.source = from.kind();
  if (&from == treeView_) {
    drag_.dragged = treeModel_->NodeAt(treeView_->currentIndex());
  } else {
    drag_.selected = SelectedNodes();
  }
}

void MainWindow::OnDropped(NodeView& onto, const QModelIndex& at) {
  TreeNode* target = &onto == treeView_ ? treeModel_->NodeAt(at) : listModel_->NodeAt(at.row());
  const bool ontoTree = &onto == treeView_;
  // After the drag's own event loop has ended: the views change under it otherwise.
  QTimer::singleShot(0, this, [this, ontoTree, target] { (void)Drop(ontoTree, target); });
}

DropOutcome MainWindow::Drop(bool ontoTree, TreeNode* target) {
  const DragState state = std::exchange(drag_, {});
  TreeNode* folder = CurrentFolder();
  DropOutcome out = ontoTree ? DropOntoTree(state.source, state.dragged, state.selected, target, folder)
                             : DropOntoList(state.source, state.selected, target, folder);
  for (TreeNode* n : out.deselect) {
    const int row = listModel_->RowOf(n);
    if (row >= 0)
      listView_->selectionModel()->select(listModel_->index(row, 0),
                                          QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
  }
  if (out.rebuild) {
    Rebuild();
  } else if (out.moved) {
    app_.Refresh({folder, target});
  }
  if (out.moved) SaveAfterChange();
  CloseOtherFolders();
  return out;
}

void MainWindow::CloseOtherFolders() {
  if (!CurrentProfile().CloseOtherFolders) return;
  std::vector<QModelIndex> close;
  {
    std::lock_guard lock(TreeMutex());
    const TreeNode* current = CurrentFolder();
    for (TreeNode* f : treeModel_->Folders()) {
      if (IsRoot(f) || (current && IsInSubtree(current, f))) continue;
      close.push_back(treeModel_->IndexOf(f));
    }
  }
  for (const QModelIndex& i : close)
    if (treeView_->isExpanded(i)) treeView_->collapse(i);
}

void MainWindow::FillGroupMenu(QMenu* menu) {
  menu->clear();
  const std::string current = CurrentProfile().Group;
  std::vector<std::string> names;
  for (const TreeNode* g = GroupRoot()->firstChild; g; g = g->next) names.push_back(g->title);
  if (names.empty()) {
    menu->addAction(U("（グループがありません）"))->setEnabled(false);
    return;
  }
  for (const std::string& name : names) {
    QAction* a = menu->addAction(Q(name));
    a->setCheckable(true);
    a->setChecked(name == current);
    connect(a, &QAction::triggered, this, [this, name] { app_.ChooseGroup(name); });
  }
}

// --- Bars, title, layout -------------------------------------------------------------------

void MainWindow::SetStatus(int part, const QString& text) {
  if (part >= 0 && part < 3) parts_[static_cast<size_t>(part)]->setText(text);
}

QString MainWindow::StatusPart(int part) const {
  if (part < 0 || part > 2) return {};
  return parts_[static_cast<size_t>(part)]->text();
}

void MainWindow::UpdateTitle() {
  QString text;
  if (const TreeNode* folder = listModel_->folder()) {
    std::lock_guard lock(TreeMutex());
    text = QTitle(folder->title);
  }
  setWindowTitle(WindowTitleText(CurrentProfile(), text));
}

void MainWindow::ApplyProfile(const Profile& p) {
  applying_ = true;
  if (p.Width > 0 && p.Height > 0) setGeometry(p.Xpos, p.Ypos, p.Width, p.Height);
  panes_->setSizes({std::max(p.TreeWidth, 20), std::max(p.Width - p.TreeWidth, 100)});
  rightSide_->setSizes({std::max(p.ListHeight, 20), std::max(p.Height - p.ListHeight, 100)});
  treeView_->setVisible(p.TreeViewFlag);
  listView_->setVisible(p.ListViewFlag);
  statusBar()->setVisible(p.StatusBar);
  if (toolBar_) toolBar_->setVisible(p.MainToolBar);

  QHeaderView* header = listView_->header();
  for (int c = 0; c < kListColumnCount; ++c) {
    const int width = p.ColumnWidth[0][static_cast<size_t>(c)];
    header->resizeSection(c, width > 0 ? width : kDefaultColumnWidth[0][static_cast<size_t>(c)]);
  }
  // ColumnArray[position] is the column shown there; only a full permutation is used.
  std::array<bool, kListColumnCount> seen{};
  bool permutation = true;
  for (int c : p.ColumnArray) {
    if (c < 0 || c >= kListColumnCount || seen[static_cast<size_t>(c)]) {
      permutation = false;
      break;
    }
    seen[static_cast<size_t>(c)] = true;
  }
  if (permutation) {
    for (int v = 0; v < kListColumnCount; ++v) {
      const int from = header->visualIndex(p.ColumnArray[static_cast<size_t>(v)]);
      if (from != v) header->moveSection(from, v);
    }
  }
  listModel_->LoadColumnNames(p);
  applying_ = false;
}

void MainWindow::StoreInto(Profile& p) const {
  if (isVisible() && !isMinimized()) {
    const QRect g = isMaximized() ? normalGeometry() : geometry();
    if (g.width() > 0 && g.height() > 0) {
      p.Xpos = g.x();
      p.Ypos = g.y();
      p.Width = g.width();
      p.Height = g.height();
    }
    p.ShowWindow = isMaximized() ? 3 : 1;
    if (!treeView_->isHidden()) p.TreeWidth = panes_->sizes().value(0, p.TreeWidth);
    if (!listView_->isHidden()) p.ListHeight = rightSide_->sizes().value(0, p.ListHeight);
  }
  const QHeaderView* header = listView_->header();
  for (int c = 0; c < kListColumnCount; ++c) {
    const int width = header->sectionSize(c);
    if (width > 0) p.ColumnWidth[0][static_cast<size_t>(c)] = width;
    p.ColumnArray[static_cast<size_t>(c)] = header->logicalIndex(c);
  }
}

void MainWindow::StoreLayout() {
  if (applying_ || !isVisible()) return;
  StoreInto(CurrentProfile());
}

void MainWindow::ToggleTree() {
  treeView_->setVisible(treeView_->isHidden());
  CurrentProfile().TreeViewFlag = !treeView_->isHidden();
}

void MainWindow::ToggleList() {
  listView_->setVisible(listView_->isHidden());
  CurrentProfile().ListViewFlag = !listView_->isHidden();
}

void MainWindow::ToggleStatusBar() {
  statusBar()->setVisible(statusBar()->isHidden());
  CurrentProfile().StatusBar = !statusBar()->isHidden();
}

void MainWindow::closeEvent(QCloseEvent* event) { app_.OnCloseEvent(event); }

void MainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow() && focusPane_ && focusPane_->isVisible())
    focusPane_->setFocus();
  if (event->type() != QEvent::WindowStateChange) return;
  StoreLayout();
  if (isMinimized()) app_.OnMinimized();
  else if (isVisible()) app_.OnRestored();
}

void MainWindow::moveEvent(QMoveEvent* event) {
  QMainWindow::moveEvent(event);
  StoreLayout();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  StoreLayout();
}

}  // namespace zentu::ui
