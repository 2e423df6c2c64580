// The import commands: each asks for its file (or, for the favorites, a
// folder), runs the import of import/ on the folder selected in the tree and
// brings the views up to date. The imports show their own messages.
#include "ui/importcommands.h"

#include <QFileDialog>
#include <mutex>
#include <optional>

#include "import/import.h"
#include "os/home.h"
#include "os/file.h"
#include "os/path.h"
#include "store/profile.h"
#include "store/tree.h"
#include "ui/appwindows.h"
#include "ui/commands.h"
#include "ui/mainwindow.h"
#include "ui/qttext.h"

namespace zentu::ui {
namespace {

std::mutex& ChooserMutex() {
  static std::mutex m;
  return m;
}
ImportFileChooser& Chooser() {
  static ImportFileChooser chooser;
  return chooser;
}

QWidget* Parent(AppWindows& app) {
  MainWindow* main = app.mainWindow();
  return main && main->isVisible() ? main : nullptr;
}

// The program path the user chose, or nothing.
std::optional<std::string> Choose(AppWindows& app, const ImportRequest& request) {
  ImportFileChooser chooser;
  {
    std::lock_guard lock(ChooserMutex());
    chooser = Chooser();
  }
  QString native;
  if (chooser) native = chooser(request);
  else if (request.folder) native = QFileDialog::getExistingDirectory(Parent(app), request.title, request.start);
  else native = QFileDialog::getOpenFileName(Parent(app), request.title, request.start, request.filter);
  if (native.isEmpty()) return std::nullopt;
  const QByteArray utf8 = native.toUtf8();
  return os::FromNativePath(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
}

QString ProgramDirectory() {
  const auto native = os::ToNativePath(os::ZentuHome());
  return native ? QString::fromUtf8(native->c_str()) : QString();
}

// Today's browsers name their exports "bookmarks.html": the classic filter
// comes first, the others let such a file be chosen.
const char* const kMoreFilters = ";;html(*.html);;htm(*.htm);;すべてのファイル(*)";

void AfterImport(AppWindows& app, const ImportReport& report, TreeNode* target) {
  app.Refresh({report.folder, target});
  if (MainWindow* main = app.mainWindow()) main->UpdateTitle();
}

// The folder selected in the tree and the file the user chose for it; false
// when there is no such folder or the user cancelled.
bool AskForFile(AppWindows& app, const ImportRequest& request, TreeNode*& target, std::string& path) {
  MainWindow* main = app.mainWindow();
  target = main ? main->CurrentFolder() : nullptr;
  if (!target) return false;
  const auto chosen = Choose(app, request);
  if (!chosen) return false;
  path = *chosen;
  return true;
}

void Bookmarks(AppWindows& app, BookmarkFormat format, const char* filter) {
  TreeNode* target;
  std::string path;
  if (!AskForFile(app, {U("ブックマークの読み込み"), U(filter) + U(kMoreFilters), ProgramDirectory(), false}, target, path))
    return;
  AfterImport(app, ImportBookmarkFile(format, path, target), target);
}

void Junshu(AppWindows& app) {
  TreeNode* target;
  std::string path;
  if (!AskForFile(app, {U("巡集データの読み込み"), U("html(*.html)") + U(kMoreFilters), ProgramDirectory(), false}, target,
                  path))
    return;
  AfterImport(app, ImportJunshuIndex(path, target), target);
}

void Favorites(AppWindows& app) {
  const auto path = Choose(app, {U("お気に入りフォルダの選択"), QString(), ProgramDirectory(), true});
  if (!path) return;
  TreeNode* root;
  {
    std::lock_guard tree(TreeMutex());
    root = GetTreeState().root;
  }
  AfterImport(app, ImportFavorites(*path), root);
}

// Another tree file, or (from the backup directory) one of the dated backup copies.
void Tree(AppWindows& app, bool backup) {
  TreeNode* target;
  std::string path;
  QString start = ProgramDirectory();
  if (backup) {
    const auto native = os::ToNativePath(CurrentProfile().dirs.backup);
    if (native && os::DirectoryExists(CurrentProfile().dirs.backup)) start = QString::fromUtf8(native->c_str());
  }
  if (!AskForFile(app, {backup ? U("バックアップの取り込み") : U("ツリーファイルの読み込み"),
                        U("html(*.html)") + U(kMoreFilters), start, false},
                  target, path))
    return;
  const ImportReport report = ImportZentuTree(path, target);
  if (MainWindow* m = app.mainWindow()) m->Rebuild();
  AfterImport(app, report, target);
}

void List(AppWindows& app, ListFormat format, const char* filter) {
  TreeNode* target;
  std::string path;
  if (!AskForFile(app, {U("リスト読み込み"), U(filter), ProgramDirectory(), false}, target, path)) return;
  AfterImport(app, ImportUrlList(format, path, target), target);
}

}  // namespace

const std::vector<ImportCommandInfo>& ImportCommands() {
  static const std::vector<ImportCommandInfo> kCommands = {
      {kCmdImportNetscape, "Netscape のブックマークを読み込む(&N)..."},
      {kCmdImportMoonBrowser, "Moon Browser のブックマークを読み込む(&M)..."},
      {kCmdImportFavorites, "IEのお気に入りを読み込む(&I)..."},
      {kCmdImportJunshu, "巡集のデータを読み込む(&J)..."},
      {kCmdImportTreeFile, "Zentu のツリーファイルを読み込む(&Z)..."},
      {kCmdImportBackup, "バックアップの取り込み(&B)..."},
      {kCmdImportIria, "リスト読み込み: Iria 形式(&A)..."},
      {kCmdImportReGet, "リスト読み込み: ReGet 形式(&R)..."},
      {kCmdImportTextList, "リスト読み込み: テキスト形式(&T)..."},
      {kCmdImportListFormat, "リスト読み込み: リスト形式(&L)..."},
  };
  return kCommands;
}

void RegisterImportCommands(AppWindows& app, CommandDispatcher& c) {
  AppWindows* a = &app;
  c.Register(kCmdImportNetscape, [a] { Bookmarks(*a, BookmarkFormat::Netscape, "htm(*.htm)"); });
  c.Register(kCmdImportMoonBrowser, [a] { Bookmarks(*a, BookmarkFormat::MoonBrowser, "html(*.html)"); });
  c.Register(kCmdImportFavorites, [a] { Favorites(*a); });
  c.Register(kCmdImportJunshu, [a] { Junshu(*a); });
  c.Register(kCmdImportTreeFile, [a] { Tree(*a, false); });
  c.Register(kCmdImportBackup, [a] { Tree(*a, true); });
  c.Register(kCmdImportIria, [a] { List(*a, ListFormat::Iria, "Iria 形式(*.iri)"); });
  c.Register(kCmdImportReGet, [a] { List(*a, ListFormat::ReGet, "ReGet 形式(*.wrg)"); });
  c.Register(kCmdImportTextList, [a] { List(*a, ListFormat::Text, "テキスト形式 (*.txt)"); });
  c.Register(kCmdImportListFormat, [a] { List(*a, ListFormat::List, "リスト形式 (*.mbl)"); });
}

void SetImportFileChooser(ImportFileChooser chooser) {
  std::lock_guard lock(ChooserMutex());
  Chooser() = std::move(chooser);
}

}  // namespace zentu::ui
