// The search and sync-folder commands of the main window and their dialogs
// (ui/searchcommands.cpp).
#pragma once
#include <QDialog>

#include "search/search.h"
#include "store/tree.h"

class QCheckBox;
class QLineEdit;
class QRadioButton;

namespace zentu::ui {

class AppWindows;

// "検索ダイアログ": the keyword and the search settings. OK stores them.
class SearchDialog : public QDialog {
 public:
  SearchDialog(QWidget* parent, const SearchSettings& settings);
  SearchSettings Settings() const;
  QLineEdit* keyword = nullptr;
  QRadioButton* all = nullptr;
  QRadioButton* below = nullptr;
  QCheckBox* matchCase = nullptr;
  QCheckBox* multiple = nullptr;
  QCheckBox* link = nullptr;
  QCheckBox* ignoreA = nullptr;

 private:
  SearchSettings base_;
};

// "同期フォルダ作成・編集": name, directory and the four options.
class SyncFolderDialog : public QDialog {
 public:
  SyncFolderDialog(QWidget* parent, const std::string& name, const std::string& directory, const bool options[4]);
  // Checks the directory (and offers to create it) as OK does; false: cancelled.
  bool Validate();
  std::string name, directory;
  bool options[4] = {false, false, false, false};
  QLineEdit* nameEdit = nullptr;
  QLineEdit* dirEdit = nullptr;
  QCheckBox* boxes[4] = {nullptr, nullptr, nullptr, nullptr};
};

enum class SearchKind { Titles, Urls, Contents };
// The search dialog, then the search; the result folder is selected.
void SearchCommand(AppWindows& app, SearchKind kind);
void SearchMarkedCommand(AppWindows& app, int mark);
void SearchUnreadCommand(AppWindows& app);
// Asks for a query and searches the index of PathOfNamazuIndex.
void SearchByIndexCommand(AppWindows& app);
// "Search Folder": stays open between finds.
void FindFolderCommand(AppWindows& app);
void ClearSearchCommand(AppWindows& app);
void NewSyncFolderCommand(AppWindows& app);
void EditSyncFolderCommand(AppWindows& app);
void ReloadSyncFolderCommand(AppWindows& app);
// Paths dropped from outside onto the tree node `target`: each directory, when
// the user agrees, becomes a sync folder below it, named by its last component
// and filled. Returns the folders made.
int DropPathsOnTree(AppWindows& app, TreeNode* target, const std::vector<std::string>& paths);
// Starts a contents search with the stored settings (asks first when one runs).
bool StartContentsSearch(AppWindows& app, const SearchSettings& settings);

}  // namespace zentu::ui
