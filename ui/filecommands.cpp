#include "ui/filecommands.h"

#include <QFileDialog>
#include <QTreeView>
#include <algorithm>
#include <climits>
#include <mutex>
#include <utility>

#include "browser/navigation.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/home.h"
#include "os/log.h"
#include "os/path.h"
#include "os/process.h"
#include "store/profile.h"
#include "store/treefile.h"
#include "ui/appwindows.h"
#include "ui/commands.h"
#include "ui/itemmodel.h"
#include "ui/mainwindow.h"
#include "ui/qttext.h"
#include "ui/ruledialogs.h"

namespace zentu::ui {
namespace {

std::mutex& HookMutex() {
  static std::mutex m;
  return m;
}
DocumentOpener& Opener() {
  static DocumentOpener opener;
  return opener;
}
SaveFileChooser& SaveChooser() {
  static SaveFileChooser chooser;
  return chooser;
}

QWidget* Parent(AppWindows& app) {
  MainWindow* main = app.mainWindow();
  return main && main->isVisible() ? main : nullptr;
}

const std::string& Error() {
  static const std::string text = os::Utf8ToSjis("エラー");
  return text;
}

void Status(AppWindows& app, const std::string& sjis) {
  if (MainWindow* main = app.mainWindow()) main->SetStatus(0, Q(sjis));
}

// The desktop's equivalent of the classic internet options: the first
// settings program of the desktop that is installed.
void OpenInternetOptions() {
  struct Candidate {
    const char* program;
    std::vector<std::string> arguments;
  };
  static const Candidate kCandidates[] = {
      {"gnome-control-center", {"network"}},
      {"systemsettings", {"kcm_proxy"}},
      {"systemsettings5", {"proxy"}},
      {"nm-connection-editor", {}},
  };
  for (const Candidate& c : kCandidates) {
    const std::string program = os::FindProgramOnPath(c.program);
    if (!program.empty() && os::StartProgram(program, c.arguments)) {
      WriteLog("# internet options: %s", c.program);
      return;
    }
  }
  os::MessageBox(os::Utf8ToSjis("インターネットの設定を開くプログラムが見つかりません．\r\n"
                                "プロキシは取り込み設定か，環境変数 http_proxy / https_proxy で設定してください．"),
                 Error());
}

void SaveOlderFormatCommand(AppWindows& app) {
  const Profile& profile = CurrentProfile();
  std::string start = os::JoinPath(profile.dirs.exportDir.empty() ? os::ZentuHome() : profile.dirs.exportDir,
                                   "default_old.html");
  const auto native = os::ToNativePath(start);
  SaveFileChooser chooser;
  {
    std::lock_guard lock(HookMutex());
    chooser = SaveChooser();
  }
  const QString title = U("旧形式で保存");
  const QString startText = native ? QString::fromUtf8(native->c_str()) : QString();
  const QString chosen = chooser ? chooser(title, startText)
                                 : QFileDialog::getSaveFileName(Parent(app), title, startText,
                                                                U("html(*.html);;すべてのファイル(*)"));
  if (chosen.isEmpty()) return;
  const QByteArray utf8 = chosen.toUtf8();
  (void)SaveOlderFormat(app, os::FromNativePath(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size()))));
}

}  // namespace

std::string HelpFilePath() { return os::JoinPath(os::ZentuHome(), "zentu.hlp"); }

std::string DocumentPath(const char* name) { return os::JoinPath(os::JoinPath(os::ZentuHome(), "Document"), name); }

void SetDocumentOpener(DocumentOpener opener) {
  std::lock_guard lock(HookMutex());
  Opener() = std::move(opener);
}

void SetSaveFileChooser(SaveFileChooser chooser) {
  std::lock_guard lock(HookMutex());
  SaveChooser() = std::move(chooser);
}

bool OpenHelpFile(const std::string& path) {
  static const std::string kMissing = os::Utf8ToSjis("ヘルプが存在しません．確認してください．");
  if (!os::FileExists(path)) {
    os::MessageBox(kMissing, "Zentu");
    return false;
  }
  DocumentOpener opener;
  {
    std::lock_guard lock(HookMutex());
    opener = Opener();
  }
  const bool opened = opener ? opener(path) : os::OpenWithDesktop(path);
  if (!opened) {
    WriteLog("> Can't open %s", path.c_str());
    os::MessageBox(os::Utf8ToSjis("ファイルを開くプログラムを起動できませんでした．\r\nファイル名 = ") + path, Error());
  }
  return opened;
}

int SaveOlderFormat(AppWindows& app, const std::string& path) {
  TreeFileSettings settings = CurrentTreeFileSettings();
  if (!settings.flagSave) {
    os::MessageBox(os::Utf8ToSjis("保存しない設定 (FlagSave=0) になっているため保存できません．"), Error());
    return 0;
  }
  // The live tree file keeps every folder's sort mode, which the older format
  // cannot hold; its ".bak" is what a damaged load falls back on.
  if (path == settings.treeFile || path == settings.treeFile + ".bak") {
    os::MessageBox(os::Utf8ToSjis("使用中のツリーファイルには旧形式で保存できません．\r\n"
                                  "別のファイル名を指定してください．\r\nファイル名 = ") +
                       path,
                   Error());
    return 0;
  }
  if (os::DirectoryExists(path)) {
    os::MessageBox(os::Utf8ToSjis("フォルダには保存できません．\r\nファイル名 = ") + path, Error());
    return 0;
  }
  WriteLog("# Save Zentu File (older format) : %s", path.c_str());
  TreeNode* root;
  {
    std::lock_guard tree(TreeMutex());
    root = GetTreeState().root;
  }
  // The export is no save of the collection: the local index is not written.
  settings.saveForLocalMode = false;
  settings.beforeTreeFileWrite = nullptr;
  const int ok = SaveTree(path, root, settings, TreeFormat::Older);  // a failure is shown by the save
  if (ok) Status(app, os::Utf8ToSjis("旧形式で保存しました: ") + path);
  return ok;
}

int BackupNow(AppWindows& app) {
  const TreeFileSettings& settings = CurrentTreeFileSettings();
  if (!settings.flagSave) {
    os::MessageBox(os::Utf8ToSjis("保存しない設定 (FlagSave=0) になっているためバックアップできません．"), Error());
    return 0;
  }
  const int ok = BackupTree(settings);  // its own messages on failure
  if (ok) Status(app, os::Utf8ToSjis("バックアップしました: ") + BackupFileName(settings));
  return ok;
}

// --- Auto navigation ---------------------------------------------------------------------

void StartAutoNavigation(AppWindows& app) {
  const int seconds = std::clamp(CurrentProfile().AutoNavigateTiming, 1, INT_MAX / 1000);
  app.autoNavigating = true;
  AppWindows* a = &app;
  app.SetTimer(kAutoNavigateTimer, std::chrono::seconds(seconds), [a] { (void)AutoNavigateStep(*a); });
  Status(app, os::Utf8ToSjis("オートナビゲート開始"));
}

void StopAutoNavigation(AppWindows& app) {
  app.KillTimer(kAutoNavigateTimer);
  if (!app.autoNavigating) return;
  app.autoNavigating = false;
  Status(app, os::Utf8ToSjis("オートナビゲート終了"));
}

bool AutoNavigateStep(AppWindows& app) {
  WriteLog("auto navigate");
  MainWindow* main = app.mainWindow();
  if (!main || app.closing()) {
    StopAutoNavigation(app);
    return false;
  }
  QTreeView* list = main->listView();
  ItemListModel* model = main->listModel();
  const int rows = model->rowCount();
  int row = list->currentIndex().isValid() ? list->currentIndex().row() + 1 : 0;
  TreeNode* next = nullptr;
  for (; row < rows; ++row) {
    TreeNode* n = model->NodeAt(row);
    bool item;
    {
      std::lock_guard tree(TreeMutex());
      item = n && IsInCollection(n) && IsItem(n);
    }
    if (item) {
      next = n;
      break;
    }
  }
  if (!next) {
    StopAutoNavigation(app);
    return false;
  }
  list->setCurrentIndex(model->index(row, 0));
  app.ActivateItem(next);
  // The page that opens takes the focus; the list keeps it for the next step.
  app.FocusBackLater();
  return true;
}

// --- Registration -----------------------------------------------------------------------------

void RegisterFileCommands(AppWindows& app, CommandDispatcher& c) {
  AppWindows* a = &app;
  auto rules = [a](RuleListKind kind) {
    EditRuleList(Parent(*a), kind);
    a->FocusBackLater();
  };
  c.Register(kCmdRejectSettings, [rules] { rules(RuleListKind::Reject); });
  c.Register(kCmdConvertSettings, [rules] { rules(RuleListKind::Convert); });
  c.Register(kCmdReferrerSettings, [rules] { rules(RuleListKind::Referrer); });
  c.Register(kCmdPasswordSettings, [rules] { rules(RuleListKind::Password); });
  c.Register(kCmdBackupNow, [a] { (void)BackupNow(*a); });
  c.Register(kCmdSaveOlderFormat, [a] { SaveOlderFormatCommand(*a); });
  c.Register(kCmdHelp, [] { (void)OpenHelpFile(HelpFilePath()); });
  c.Register(kCmdShowAbout, [] { (void)OpenHelpFile(DocumentPath("readme.txt")); });
  c.Register(kCmdShowHistory, [] { (void)OpenHelpFile(DocumentPath("history.txt")); });
  c.Register(kCmdShowTodo, [] { (void)OpenHelpFile(DocumentPath("todo.txt")); });
  c.Register(kCmdInternetOptions, [] { OpenInternetOptions(); });
  c.Register(kCmdAutoNavigateStart, [a] { StartAutoNavigation(*a); });
  c.Register(kCmdAutoNavigateStop, [a] { StopAutoNavigation(*a); });
}

}  // namespace zentu::ui
