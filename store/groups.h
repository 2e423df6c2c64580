// Groups: named subsets of the collection's top-level folders. Choosing a
// group shows only its folders in the tree. The groups live in a small tree of
// their own under a root titled "Group List": each child of that root is a
// group (its title is the group's name), each child of a group a member (its
// title is the title of a top-level folder). Kept in "group.dat".
//
// Used on the user-interface thread only: the group tree has no lock. The
// functions that touch the collection (ApplyGroup, AddFolderToCurrentGroup)
// take TreeMutex() themselves.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "store/profile.h"
#include "store/tree.h"

namespace zentu {

inline constexpr std::string_view kGroupRootTitle = "Group List";

// The root of the group tree; created empty on first use.
TreeNode* GroupRoot();
// Frees every group (shutdown, tests).
void ResetGroups();

// The first group with that name, or nullptr.
TreeNode* FindGroup(std::string_view name);
// Appends a new group. Refused (nullptr) for an empty name or one holding a
// line break, which "group.dat" could not keep.
TreeNode* AddGroup(std::string_view name);
// Appends a member to a group. Refused (nullptr) when `group` is no group of
// the group tree or the title holds a line break.
TreeNode* AddGroupMember(TreeNode* group, std::string_view title);
bool IsGroupMember(const TreeNode* group, std::string_view title);

// A group detached from the group tree, for the editing dialog.
struct GroupCopy {
  std::string name;
  std::vector<std::string> members;
};
std::vector<GroupCopy> CopyGroups();
// Puts `groups` in place of the group tree; a name or member the tree refuses
// (empty, holding a line break) is left out.
void ReplaceGroups(const std::vector<GroupCopy>& groups);

// Replaces the groups with the content of the file: "[name]" starts a group,
// "+title" adds a member to the group started last, anything else is ignored.
// Returns 1 when read, 0 when the file cannot be opened (logged).
int LoadGroups(const std::string& path);
// The text SaveGroups writes, with LF line ends.
std::string FormatGroups();
// Rewrites the file: 1 written, 0 when saving is switched off (`flagSave`
// false), -1 when the file cannot be written (logged).
int SaveGroups(const std::string& path, bool flagSave);

// Shows the group's folders: a top-level folder of the collection is listed
// when its title names a member of the group, except that the receive and
// search-result folders are always listed. When no group has that name every
// top-level folder is listed. Items directly under the root keep their flag.
// Returns 1 when the group exists, 0 otherwise. The views rebuild afterwards.
// `root` nullptr means the collection's root.
int ApplyGroup(std::string_view name, TreeNode* root = nullptr);
// The user's choice: makes the group current in the profile and applies it.
int SelectGroup(Profile& profile, std::string_view name);

// A folder just created directly under the collection's root joins the
// profile's current group, when that group exists and has at least one member
// (and not already by that title). Returns 1 when a member was added.
int AddFolderToCurrentGroup(const TreeNode* folder, const Profile& profile);

}  // namespace zentu
