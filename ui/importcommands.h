// The import commands of the main window (ui/importcommands.cpp): bookmark
// files, favorites, 巡集, another tree file and the four list formats.
#pragma once
#include <QString>
#include <functional>
#include <vector>

namespace zentu::ui {

class AppWindows;
class CommandDispatcher;

struct ImportCommandInfo {
  int id;
  const char* menuTextUtf8;
};
// The commands in menu order.
const std::vector<ImportCommandInfo>& ImportCommands();
// Registers every import command with the windows' dispatcher.
void RegisterImportCommands(AppWindows& app, CommandDispatcher& commands);

// How a command asks for its file or folder: the open-file dialog (or the
// folder dialog), starting in the program directory. Returns the native path,
// empty when the user cancelled. Tests put their own in place; an empty
// function restores the dialogs.
struct ImportRequest {
  QString title;   // dialog title
  QString filter;  // file filter; empty for a folder
  QString start;   // native directory the dialog opens in
  bool folder = false;
};
using ImportFileChooser = std::function<QString(const ImportRequest&)>;
void SetImportFileChooser(ImportFileChooser chooser);

}  // namespace zentu::ui
