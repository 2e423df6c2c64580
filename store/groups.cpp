#include "store/groups.h"

#include <mutex>
#include <unordered_set>

#include "os/cp932.h"
#include "os/file.h"
#include "os/log.h"
#include "store/listfile_io.h"

namespace zentu {
namespace {

// Never destroyed at exit: freeing nodes touches the collection's state,
// which may already be gone then. ResetGroups frees it in order.
TreeNode* g_groupRoot = nullptr;

bool IsGroup(const TreeNode* node) { return node && node->parent == g_groupRoot && g_groupRoot; }

// The text without a closing bracket at its end. A two-byte character whose
// second byte is 0x5D is not a bracket.
std::string_view WithoutClosingBracket(std::string_view text) {
  size_t last = std::string_view::npos;
  for (size_t i = 0; i < text.size();) {
    last = i;
    i += (os::IsSjisLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ? 2 : 1;
  }
  if (last != std::string_view::npos && last == text.size() - 1 && text[last] == ']') text.remove_suffix(1);
  return text;
}

}  // namespace

TreeNode* GroupRoot() {
  if (!g_groupRoot) g_groupRoot = CreateNode(kGroupRootTitle, {}, {}, kNodeRoot);
  return g_groupRoot;
}

void ResetGroups() {
  TreeNode* root = g_groupRoot;
  g_groupRoot = nullptr;
  DestroyNode(root);
}

TreeNode* FindGroup(std::string_view name) {
  for (TreeNode* g = GroupRoot()->firstChild; g; g = g->next) {
    if (g->title == name) return g;
  }
  return nullptr;
}

TreeNode* AddGroup(std::string_view name) {
  if (name.empty() || listfile::BreaksLine(name)) return nullptr;
  TreeNode* group = CreateNode(name, {}, {}, kNodeFolder);
  if (!Link(group, GroupRoot(), kLinkLastChild)) {
    DestroyNode(group);
    return nullptr;
  }
  return group;
}

TreeNode* AddGroupMember(TreeNode* group, std::string_view title) {
  if (!IsGroup(group) || listfile::BreaksLine(title)) return nullptr;
  TreeNode* member = CreateNode(title, {}, {}, kNodeItem);
  if (!Link(member, group, kLinkLastChild)) {
    DestroyNode(member);
    return nullptr;
  }
  return member;
}

bool IsGroupMember(const TreeNode* group, std::string_view title) {
  if (!group) return false;
  for (const TreeNode* m = group->firstChild; m; m = m->next) {
    if (m->title == title) return true;
  }
  return false;
}

std::vector<GroupCopy> CopyGroups() {
  std::vector<GroupCopy> out;
  for (const TreeNode* g = GroupRoot()->firstChild; g; g = g->next) {
    GroupCopy& copy = out.emplace_back();
    copy.name = g->title;
    for (const TreeNode* m = g->firstChild; m; m = m->next) copy.members.push_back(m->title);
  }
  return out;
}

void ReplaceGroups(const std::vector<GroupCopy>& groups) {
  ResetGroups();
  for (const GroupCopy& copy : groups)
    if (TreeNode* g = AddGroup(copy.name))
      for (const std::string& m : copy.members) (void)AddGroupMember(g, m);
}

int LoadGroups(const std::string& path) {
  ResetGroups();
  GroupRoot();
  TreeNode* group = nullptr;
  bool opened = listfile::ForEachLine(path, [&](std::string_view line) {
    if (line.starts_with('[')) {
      // A refused name leaves its members without a group rather than
      // handing them to the group before it.
      group = AddGroup(WithoutClosingBracket(line.substr(1)));
    } else if (line.starts_with('+')) {
      if (group) AddGroupMember(group, line.substr(1));
    }
  });
  if (!opened) {
    WriteLog("# Group File Open Error : %s", path.c_str());
    return 0;
  }
  return 1;
}

std::string FormatGroups() {
  std::string out;
  for (const TreeNode* g = GroupRoot()->firstChild; g; g = g->next) {
    out += '[';
    out += g->title;
    out += "]\n";
    for (const TreeNode* m = g->firstChild; m; m = m->next) {
      out += '+';
      out += m->title;
      out += '\n';
    }
    out += '\n';
  }
  return out;
}

int SaveGroups(const std::string& path, bool flagSave) {
  if (!flagSave) return 0;
  if (!os::WriteCrLfTextFile(path, FormatGroups())) {
    WriteLog("# Can't open / create group file");
    return -1;
  }
  return 1;
}

int ApplyGroup(std::string_view name, TreeNode* root) {
  std::lock_guard lock(TreeMutex());
  if (!root) root = GetTreeState().root;
  const TreeNode* group = FindGroup(name);
  std::unordered_set<std::string_view> members;
  if (group) {
    for (const TreeNode* m = group->firstChild; m; m = m->next) members.insert(m->title);
  }
  if (!root) return group ? 1 : 0;
  for (TreeNode* f = root->firstChild; f; f = f->next) {
    if (!IsFolder(f)) continue;
    f->listed = !group || IsReceiveFolder(f) || IsSearchFolder(f) || members.contains(f->title);
  }
  return group ? 1 : 0;
}

int SelectGroup(Profile& profile, std::string_view name) {
  profile.Group.assign(name);
  return ApplyGroup(name);
}

int AddFolderToCurrentGroup(const TreeNode* folder, const Profile& profile) {
  std::string title;
  {
    std::lock_guard lock(TreeMutex());
    if (!IsFolder(folder) || !folder->parent || folder->parent != GetTreeState().root) return 0;
    title = folder->title;
  }
  TreeNode* group = FindGroup(profile.Group);
  if (!group || !group->firstChild || IsGroupMember(group, title)) return 0;
  return AddGroupMember(group, title) ? 1 : 0;
}

}  // namespace zentu
