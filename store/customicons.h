// Custom icons: particular folders get their own open and closed icons. A
// folder is named by its key, its tree path ("Zentu" TAB title TAB title ...),
// so an entry stops applying once the folder or an ancestor is renamed. Kept in
// "icon.dat".
//
// The window program draws the icons: this module keeps the icon files and
// numbers each readable file from 0 in load order (CustomIconImageFiles()
// lists them in that order for the window program to load, after its own
// pictures). A folder that an entry names holds those numbers
// (TreeNode::customOpenIcon, customCloseIcon). A file that cannot be read
// gets no number and the folder keeps its ordinary icon for it.
//
// Used on the user-interface thread only (the tree-file reader runs there
// too): the table has no lock.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "store/tree.h"

namespace zentu {

struct CustomIcon {
  std::string openIcon;    // icon files as "icon.dat" names them
  std::string closeIcon;
  int32_t openIndex = -1;  // indices into CustomIconImageFiles(); -1 when the file could not be read
  int32_t closeIndex = -1;
};

using CustomIconTable = std::map<std::string, CustomIcon, std::less<>>;

// Replaces the table with the entries of the file. Relative icon files are
// taken from `programDirectory`. Returns 1 when read, 0 when the file cannot
// be opened (a missing file is no error: the table stays empty).
int LoadCustomIcons(const std::string& path, const std::string& programDirectory);
// The text SaveCustomIcons writes, with LF line ends: header, then the entries
// in key order.
std::string FormatCustomIcons();
// Rewrites the file; 1 written, 0 when it cannot be written (logged). The
// table is kept, so saving twice never writes an empty list.
int SaveCustomIcons(const std::string& path);
// Empties the table and the image files (shutdown, tests).
void ResetCustomIcons();

// Adds or replaces an entry and gives its files their indices. Refused (0)
// when a text is empty or holds a line break.
int SetCustomIcon(std::string_view key, std::string_view openIcon, std::string_view closeIcon);
int RemoveCustomIcon(std::string_view key);
const CustomIcon* FindCustomIcon(std::string_view key);
const CustomIconTable& CustomIcons();
// The readable icon files; a folder's custom icon i is element i.
const std::vector<std::string>& CustomIconImageFiles();

// The indices for a folder key; 1 when an entry exists (an index may still be
// -1 when its file could not be read).
int GetCustomIconIndices(std::string_view key, int32_t* openIndex, int32_t* closeIndex);
// Gives a folder (or the root) the icons of its entry, when it has one; fits
// TreeFileSettings::applyCustomIcon. The caller holds TreeMutex().
void ApplyCustomIcon(TreeNode* folder);
// After a rename or a move: every folder of the subtree gets its ordinary
// icons back and then those of its entry. Changed nodes are redrawn.
void UpdateFolderIcons(TreeNode* top);

}  // namespace zentu
