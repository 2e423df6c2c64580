#include "ui/nodemoves.h"

#include <mutex>
#include <string>
#include <vector>

#include "capture/job.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "pagelib/url.h"
#include "search/sync.h"
#include "store/groups.h"
#include "store/profile.h"
#include "store/treefile.h"

namespace zentu::ui {
namespace {

// Notices wait until the tree lock is released: showing one must never hold
// up a capture thread that needs the tree.
class Notices {
 public:
  void Add(const char* utf8) { texts_.push_back(os::SJ(utf8)); }
  ~Notices() {
    for (const std::string& t : texts_) os::Notice(t);
  }

 private:
  std::vector<std::string> texts_;
};

void LogUtf8(const char* utf8) { WriteLog("%s", os::SJ(utf8).c_str()); }

bool HoldsProtected(const TreeNode* node) {
  for (const TreeNode* n = node; n; n = NextInPreorder(n, node))
    if (n->isProtected) return true;
  return false;
}

// Where a move into `target` may not go. The search-result folder is emptied
// by every search: whatever the user put there would be lost with the next one.
bool RefusedTarget(const TreeNode* target, Notices& notices) {
  if (IsItem(target)) {
    LogUtf8("# Drop Error : ファイルにはドロップできません");
    notices.Add("ファイルにはドロップできません");
    return true;
  }
  if (IsSearchFolder(target)) {
    LogUtf8("# Drop Error : 検索結果フォルダにはドロップできません");
    notices.Add("検索結果フォルダにはドロップできません");
    return true;
  }
  return false;
}

// One node into `target` as its last child, its file carried along when a
// sync folder is left or entered. False when refused (the node stays).
bool MoveInto(TreeNode* node, TreeNode* target) {
  if (!CheckMoveIntoOrOutOfSync(node, target, CurrentProfile().dirs.text)) return false;
  if (!MoveNode(node, target)) {
    WriteLog("> Move refused: %s", node->title.c_str());
    return false;
  }
  // A folder that arrives at the top level joins the group being shown, or
  // the next change of groups would hide it.
  if (IsRoot(target) && IsFolder(node)) (void)AddFolderToCurrentGroup(node, CurrentProfile());
  return true;
}

// The node the view shows in place of a deleted one: the next sibling, the
// previous one, else the parent. Folders look at folders only (the tree).
TreeNode* Successor(const TreeNode* node) {
  const bool folder = !IsItem(node);
  for (TreeNode* n = node->next; n; n = n->next)
    if (!folder || IsFolder(n)) return n;
  for (TreeNode* n = node->prev; n; n = n->prev)
    if (!folder || IsFolder(n)) return n;
  return node->parent;
}

bool Ask(const char* utf8, const std::string& caption, int defaultResult) {
  return os::MessageBox(os::SJ(utf8), caption, os::Buttons::OkCancel, defaultResult) == os::IDOK;
}

// Removes the node (and, when asked, the file of a sync-folder item) under
// the tree lock. False when the node went away or its file would not go.
bool RemoveNode(TreeNode* node, bool withFile, TreeNode** successor, Notices& notices) {
  std::lock_guard lock(TreeMutex());
  if (!IsInCollection(node) || IsRoot(node) || HoldsProtected(node)) {
    WriteLog("> Delete: the node is gone or protected");
    return false;
  }
  if (withFile && IsItem(node) && IsSyncFolder(node->parent)) {
    const std::string& file = node->localFile;
    // Only a file of the folder's own directory: the item may name another place.
    if (!IsPathBelow(node->parent->localFile, file)) {
      WriteLog("> Delete: not in the sync folder's directory: %s", file.c_str());
    } else if (os::FileExists(file)) {
      WriteLog("# Delete file: %s", file.c_str());
      if (!os::DeleteFile(file)) {
        WriteLog("> Can't delete %s", file.c_str());
        notices.Add("ファイルを削除できませんでした．アイテムは残しました．");
        return false;
      }
    }
  }
  if (successor) *successor = Successor(node);
  (void)GetDownloadManager().DetachSubtree(node);
  DestroyNode(node);
  return true;
}

}  // namespace

int NumberListRows(TreeNode* folder, bool viewFolder) {
  int last = -1;
  if (!folder) return last;
  for (TreeNode* c = folder->firstChild; c; c = c->next) {
    if (!c->listed || (IsFolder(c) && !viewFolder)) {
      c->listId = -1;
    } else {
      c->listId = ++last;
    }
  }
  return last;
}

DropOutcome DropOntoTree(DragSource source, TreeNode* dragged, const std::vector<TreeNode*>& selected,
                         TreeNode* target, TreeNode* currentFolder) {
  DropOutcome out;
  Notices notices;
  if (!currentFolder) {
    WriteLog("Drag Error");
    return out;
  }
  std::lock_guard lock(TreeMutex());
  if (!target || !IsInCollection(target)) {
    WriteLog("Drop: Target not found.");
    return out;
  }
  if (RefusedTarget(target, notices)) return out;

  if (source == DragSource::Tree) {
    if (!dragged || !IsInCollection(dragged)) {
      LogUtf8("# Drop Error : ドロップターゲットが不明確です");
      notices.Add("ドロップ対象のファイルが見つかりません");
      return out;
    }
    if (IsItem(dragged) && IsRoot(target)) {
      LogUtf8("# Drop Error : Zentuディレクトリにはドロップできません");
      notices.Add("ルートにファイルはドロップできません");
      return out;
    }
    if (dragged->isProtected || IsRoot(dragged)) {
      notices.Add("プロテクトされているため移動できません");
      return out;
    }
    if (IsInSubtree(target, dragged)) {
      notices.Add("親フォルダを子フォルダにドロップできません");
      return out;
    }
    if (MoveInto(dragged, target)) {
      out.moved = true;
      out.folderMoved = IsFolder(dragged);
    }
    return out;
  }
  if (source != DragSource::List) return out;

  // First every row is checked: one refusal moves none of them.
  for (TreeNode* n : selected) {
    if (!IsInCollection(n)) {
      LogUtf8("# Drop Error : ドロップターゲットが不明確です");
      notices.Add("ドロップ対象のファイルが見つかりません");
      return out;
    }
    if (IsItem(n) && IsRoot(target)) {
      out.deselect.push_back(n);
      notices.Add("ルートにファイルはドロップできません");
      return out;
    }
    if (n->isProtected) {
      out.deselect.push_back(n);
      notices.Add("プロテクトされたフォルダは移動できません");
      return out;
    }
    if (n == target) {
      notices.Add("自分にドロップすることは出来ません");
      return out;
    }
    // A folder cannot go into its own subtree; the link would be refused
    // half-way through the rows.
    if (IsInSubtree(target, n)) {
      notices.Add("親フォルダを子フォルダにドロップできません");
      return out;
    }
  }
  bool refused = false;
  for (TreeNode* n : selected) {
    WriteLog("> Target %s", n->title.c_str());
    const bool folder = IsFolder(n);
    if (MoveInto(n, target)) {
      out.moved = true;
      out.folderMoved = out.folderMoved || folder;
    } else {
      refused = true;
    }
  }
  if (refused) out.rebuild = true;
  if (out.moved) NumberListRows(currentFolder, CurrentProfile().ViewFolder);
  return out;
}

DropOutcome DropOntoList(DragSource source, const std::vector<TreeNode*>& selected, TreeNode* target,
                         TreeNode* currentFolder) {
  DropOutcome out;
  Notices notices;
  if (!target) return out;
  if (source == DragSource::Tree) {
    notices.Add("ツリーからリストへはドロップできません");
    return out;
  }
  if (source != DragSource::List) {
    os::MessageBox(os::SJ("ドラッグ場所が不明です．ドロップできません．"), "Zentu");
    return out;
  }
  std::lock_guard lock(TreeMutex());
  if (!currentFolder || !IsInCollection(currentFolder)) {
    WriteLog("> Drag Error: ParentTree == NULL");
    return out;
  }
  if (!currentFolder->firstChild) {
    LogUtf8("> Drag Error: 対象となるファイルが存在しないように感じます");
    return out;
  }
  TreeNode* row = nullptr;
  for (TreeNode* c = currentFolder->firstChild; c; c = c->next) {
    if (c == target && c->listId >= 0) row = c;
  }
  if (!row) {
    WriteLog("> Drag Error: Drop Target is not found");
    return out;
  }
  for (TreeNode* n : selected) {
    if (n->parent != currentFolder) {  // the list changed under the drag
      WriteLog("> Drag Error: Drop Target is not found");
      return out;
    }
    if (n == row || n->prev == row || n->next == row) {
      notices.Add("ここにはドロップできません");
      return out;
    }
    if (n->isProtected) {
      notices.Add("移動できないふぉるだを移動しようとしてます");
      return out;
    }
  }
  // The rows keep their selection order in front of the target.
  std::vector<TreeNode*> moving;
  for (TreeNode* n : selected) {
    if (!Unlink(n)) {
      notices.Add("プロテクトされているため移動できません");
      continue;
    }
    moving.push_back(n);
  }
  for (TreeNode* n : moving) {
    if (!Link(n, row, kLinkBefore)) (void)Link(n, currentFolder, kLinkLastChild);
    out.folderMoved = out.folderMoved || IsFolder(n);
  }
  out.moved = !moving.empty();
  NumberListRows(currentFolder, CurrentProfile().ViewFolder);
  return out;
}

DeleteOutcome DeleteTreeNode(TreeNode* selection, TreeNode* node) {
  DeleteOutcome out;
  Notices notices;
  if (!selection) {
    notices.Add("アイテムが選択されていませんよぉ");
    return out;
  }
  bool folder = false, syncItem = false, refused = false;
  std::string title;
  {
    std::lock_guard lock(TreeMutex());
    if (!node || !IsInCollection(node)) {
      notices.Add("アイテムが選択されていません");
      return out;
    }
    // A folder holding the receive or search-result folder goes as little as they do.
    refused = IsRoot(node) || HoldsProtected(node);
    folder = !IsItem(node);
    syncItem = IsItem(node) && IsSyncFolder(node->parent);
    title = node->title;
  }
  if (refused) {
    notices.Add("プロテクトにより削除できません");
    return out;
  }
  const std::string caption = os::SJ("確認");
  bool withFile = false;
  if (folder) {
    if (!Ask("削除してよろしいですか？", caption, os::IDOK)) {
      notices.Add("削除しませんでした");
      return out;
    }
  } else {
    if (!Ask("削除してよろしいですか？消えますよ", caption, os::IDOK)) {
      notices.Add("削除しませんﾅした");
      return out;
    }
    // The file itself goes only when the user says so twice.
    if (syncItem) withFile = Ask("実際のファイルも削除してしまってよろしいですか？", title, os::IDCANCEL);
  }
  if (!RemoveNode(node, withFile, &out.successor, notices)) return out;
  out.deleted = true;
  notices.Add("削除しました．");
  SaveAfterChange();
  return out;
}

int DeleteListNodes(const std::vector<TreeNode*>& nodes) {
  Notices notices;
  if (nodes.empty()) {
    notices.Add("アイテムが選択されていません");
    return 0;
  }
  struct Row {
    TreeNode* node;
    std::string title;
    bool syncItem;
  };
  std::vector<Row> rows;
  bool skipped = false;
  {
    std::lock_guard lock(TreeMutex());
    for (TreeNode* n : nodes) {
      if (!IsInCollection(n)) continue;
      if (IsRoot(n) || HoldsProtected(n)) {
        skipped = true;
        continue;
      }
      rows.push_back({n, n->title, IsItem(n) && IsSyncFolder(n->parent)});
    }
  }
  if (skipped) notices.Add("プロテクトにより削除できません");
  if (rows.empty()) return 0;
  if (!Ask("削除してよろしいですか？消えますよ", os::SJ("確認"), os::IDOK)) {
    notices.Add("削除しませんﾅした");
    return 0;
  }
  int deleted = 0;
  for (const Row& r : rows) {
    const bool withFile = r.syncItem && Ask("実際のファイルも削除してしまってよろしいですか？", r.title, os::IDCANCEL);
    if (RemoveNode(r.node, withFile, nullptr, notices)) ++deleted;
  }
  if (deleted > 0) {
    notices.Add("削除しました．");
    SaveAfterChange();
  }
  return deleted;
}

void SaveAfterChange() {
  const TreeFileSettings& settings = CurrentTreeFileSettings();
  if (!CurrentProfile().SaveAtAddition || !settings.flagSave) return;
  (void)SaveTree(settings);  // a failure is shown by the save itself
}

}  // namespace zentu::ui
