// Text items: notes in the collection whose local file is a text file, edited
// in a tab's editor. The names (default titles, file names from titles with
// full-width stand-ins, collisions), creating items empty or from captured
// text, and the open text of one editor with its loading, saving and renaming
// from the first line. Every save writes a temporary file and renames it over
// the note, so a crash leaves the old note or the new one.
//
// Everything here runs on the UI thread; nodes are read and changed with
// TreeMutex() held.
#pragma once
#include <functional>
#include <string>
#include <string_view>

#include "editor/kfile.h"
#include "os/clock.h"
#include "store/tree_observer.h"

namespace zentu {

class CKEdit;
struct Profile;
struct TreeNode;

inline constexpr int kTitleTabMax = 100;       // tab titles and titles from first lines
inline constexpr size_t kFileNameMax = 259;

// "(Untitled_%04d%02d%02d_%02d%02d%02d)".
std::string DefaultTextTitle(const os::LocalTime& t);
bool IsUntitledTitle(std::string_view title);
// A title as a file name: ".txt" added unless it ends in an extension, then
// every character a file name cannot hold replaced by its full-width stand-in
// (tab by two spaces). At most 259 bytes, never half a character.
std::string TextFileNameFromTitle(std::string_view title);
// While `name` exists in `directory`: "%s (%d).%s" with a counter from 1.
std::string ResolveTextFileName(std::string_view directory, std::string_view name);

// The folder's own directory for sync folders, else the Text directory.
std::string TextDirectoryFor(const TreeNode* folder, const Profile& profile);

// The file of a text item: its local file, below the Text directory unless
// it is a whole path (sync folders).
std::string TextItemPath(const TreeNode* item, const Profile& profile);

// What text items ask of the windows.
struct TextItemHooks {
  // The name dialog (one field, up to 512 bytes); false when cancelled.
  std::function<bool(std::string& name)> askName;
  // Writes the collection after a note was added or renamed, so a crash
  // cannot separate the tree from the note's file. False when it failed.
  std::function<bool()> saveCollection;
};
void SetTextItemHooks(TextItemHooks hooks);
const TextItemHooks& GetTextItemHooks();

// The new item in the folder `selected` decides (its parent for an item),
// with an empty file; nullptr when refused or cancelled (the user was told).
TreeNode* NewTextItem(TreeNode* selected, const Profile& profile);
// Captured text as an unread item in `folder` (the receive folder when null);
// `sourceUrl` may be empty. nullptr when nothing was added.
TreeNode* AddTextItem(std::string_view text, std::string_view sourceUrl, TreeNode* folder, const Profile& profile);

// The open text of one editor: the item (or none: a file opened by path),
// its path, the encoding and line end it was read with. It follows the
// collection: an item deleted while open is let go, never touched again.
class TextTab : private TreeObserver {
 public:
  explicit TextTab(CKEdit& edit);
  ~TextTab() override;
  TextTab(const TextTab&) = delete;
  TextTab& operator=(const TextTab&) = delete;

  // Shows a file in the editor; saves the text open before. Returns 1 when a
  // file was read, 0 when the editor shows "File not found".
  int OpenText(std::string_view path, TreeNode* node);
  // Writes the text back when modified; `closing` when the text is being
  // left (an untitled note left empty goes with its file). 1 on success or
  // when nothing was due, 0 when the save failed (the text stays modified).
  int SaveText(bool closing);
  // Saves and forgets the open text (the tab closes or shows a page again).
  int CloseText();

  bool IsOpen() const { return open_; }
  // The editor shows "File not found" and takes no input.
  bool Disabled() const { return disabled_; }
  TreeNode* Node() const { return node_; }
  const std::string& Path() const { return path_; }
  const std::string& FileName() const { return fileName_; }
  const std::string& TabTitle() const { return tabTitle_; }
  const TextFileInfo& Info() const { return info_; }
  const Profile* ProfileInUse() const { return profile_; }
  void SetProfile(const Profile* profile) { profile_ = profile; }

 private:
  int RenameFromFirstLine();
  int WriteLines(int firstLine);
  void ShowNotFound(std::string_view text);
  void NodeRemoved(const TreeNode* node, const TreeNode* formerParent, bool freed) override;
  const Profile& Settings() const;

  CKEdit& edit_;
  const Profile* profile_ = nullptr;  // null: the current profile
  TreeNode* node_ = nullptr;
  bool open_ = false;
  bool disabled_ = false;
  std::string path_, fileName_, tabTitle_;
  TextFileInfo info_;
};

}  // namespace zentu
