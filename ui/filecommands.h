// The main window's file and help commands (ui/filecommands.cpp): the backup
// copy on demand, the save in the older tree format, the settings dialogs of
// the capture rule lists, the help file and the documents of the program
// directory, the system's internet options, and the browser's auto navigation
// (timer 1010) with the focus return (timer 2200).
#pragma once
#include <QString>
#include <functional>
#include <string>

namespace zentu::ui {

class AppWindows;
class CommandDispatcher;

// Registers the commands with the windows' dispatcher.
void RegisterFileCommands(AppWindows& app, CommandDispatcher& commands);

// The help file and the documents, program paths in the Zentu home.
std::string HelpFilePath();
std::string DocumentPath(const char* name);  // "readme.txt", "history.txt", "todo.txt"

// Opens an existing file with the desktop's program for it; false when it
// could not be handed over. Tests put their own in place; an empty function
// restores the desktop's.
using DocumentOpener = std::function<bool(const std::string& path)>;
void SetDocumentOpener(DocumentOpener opener);
// Opens the file, or says "ヘルプが存在しません．確認してください．" when it is missing.
bool OpenHelpFile(const std::string& path);

// The older-format save asks where through the save dialog; tests put their
// own chooser in place (an empty function restores the dialog). Returns the
// native path, empty when cancelled.
using SaveFileChooser = std::function<QString(const QString& title, const QString& start)>;
void SetSaveFileChooser(SaveFileChooser chooser);
// Writes the collection to `path` in the older format. Refuses the live tree
// file and its ".bak" (the older format drops the folders' sort modes). 1 on success.
int SaveOlderFormat(AppWindows& app, const std::string& path);

// Today's backup copy, with its messages; 1 on success.
int BackupNow(AppWindows& app);

// Auto navigation: every AutoNavigateTiming seconds the next item of the list
// opens; it ends by its command or at the end of the list.
void StartAutoNavigation(AppWindows& app);
void StopAutoNavigation(AppWindows& app);
// One step (timer 1010): false when the list had no further item and the
// navigation ended.
bool AutoNavigateStep(AppWindows& app);

}  // namespace zentu::ui
