// The collection tree: one record per node, linked by parent, sibling and
// first-child references, with the unread bookkeeping, the walks, the finds and
// the folder sort modes. Texts are Shift_JIS.
//
// Locking: the model functions never lock. Every thread that reads or changes
// nodes of the collection holds TreeMutex() for the whole operation (the user
// interface thread for its commands, capture workers while they update an item).
// Only the tree-modified flag may be touched without the lock.
//
// Links (parent, siblings, first and last child) change only through Link,
// Unlink, MoveNode, DestroyNode and the sort, which keep the unread counts right.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace zentu {

enum NodeType : int32_t {
  kNodeRoot = 0,
  kNodeFolder = 1,
  kNodeItem = 2,
};

// Sub-kinds. Folder and item values overlap (8 and 10), so a value only means
// something together with the node's kind.
enum NodeProperty : int32_t {
  kPropertyProductFolder = 1,  // behaves as an ordinary folder
  kPropertyFolder = 3,
  kPropertyRoot = 4,
  kPropertyReceiveFolder = 5,
  kPropertySyncFolder = 6,
  kPropertyImportFolder = 8,
  kPropertyUrlItem = 8,
  kPropertyBookmarkFolder = 9,
  kPropertySearchFolder = 10,
  kPropertyTextItem = 10,
  kPropertyRssFolder = 11,
};

// Download flag of an item.
enum DownloadFlag : uint32_t {
  kDownloadNone = 0,
  kDownloadChanged = 1,
  kDownloadDone = 2,
  kDownloadError = 3,
};

// Folder sort modes, numbered as the tree file stores them (SORT="n"). The
// windows give each its own command (ui/commands.h).
enum SortMode : uint32_t {
  kSortNone = 0,
  kSortUrlDescItemsFirst = 1,
  kSortUrlAscItemsFirst = 2,
  kSortTitleAscMixed = 3,
  kSortTitleDescMixed = 4,
  kSortTitleAscItemsFirst = 5,
  kSortTitleDescItemsFirst = 6,
  kSortTitleAscFoldersFirst = 7,
  kSortTitleDescFoldersFirst = 8,
  kSortUrlAscFoldersFirst = 9,
  kSortUrlDescFoldersFirst = 10,
  kSortCheckAscFoldersFirst = 11,
  kSortCheckDescFoldersFirst = 12,
  kSortCheckAscItemsFirst = 13,
  kSortCheckDescItemsFirst = 14,
  kSortOriginalAscFoldersFirst = 15,
  kSortOriginalDescFoldersFirst = 16,
  kSortOriginalAscItemsFirst = 17,
  kSortOriginalDescItemsFirst = 18,
  kSortSizeAscFoldersFirst = 19,
  kSortSizeDescFoldersFirst = 20,
  kSortSizeAscItemsFirst = 21,
  kSortSizeDescItemsFirst = 22,
  kSortLast = kSortSizeDescItemsFirst,
};

enum class SortKey { None, Url, Title, LastCheck, OriginalDate, Size };
enum class SortGrouping { None, ItemsFirst, FoldersFirst, Mixed };

struct SortModeInfo {
  uint32_t mode;
  const char* menuTextUtf8;  // the menu entry; SortMenuText() gives it in Shift_JIS
  SortKey key;
  bool descending;
  SortGrouping grouping;
};
// Rows for kSortNone .. kSortLast, in mode order.
extern const SortModeInfo kSortModes[kSortLast - kSortNone + 1];
// The row of a mode, or nullptr when the value is no sort mode.
const SortModeInfo* FindSortMode(uint32_t mode);
// Shift_JIS menu text of a mode ("" for an unknown value).
const std::string& SortMenuText(uint32_t mode);

struct TreeNode {
  TreeNode* parent = nullptr;
  TreeNode* firstChild = nullptr;
  TreeNode* lastChild = nullptr;  // kept by the link functions so appends cost O(1)
  TreeNode* prev = nullptr;
  TreeNode* next = nullptr;

  std::string title;
  std::string url;           // page URL; feed URL of an RSS folder
  std::string localFile;     // saved copy; mirrored directory of a sync folder
  std::string lastCheck;     // "YYYY/MM/DD hh:mm:ss" of the last download or check
  std::string originalDate;  // the server's last-modified text
  std::string contents;      // list view "Contents" column; never saved

  void* treeItem = nullptr;  // the views' handle for this node
  int32_t listId = -1;

  NodeType type = kNodeItem;
  NodeProperty property = kPropertyUrlItem;
  // A folder's own pictures from the custom icon table (store/customicons.h):
  // indices into CustomIconImageFiles(), -1 for none. The views choose every
  // other picture from the kind, property and download flag.
  int32_t customOpenIcon = -1;
  int32_t customCloseIcon = -1;
  // A new item shows the text-file picture until its property or download
  // flag is first set; from then on those choose its picture.
  bool pictureByState = false;

  // Change `unread` directly only on a detached node; on a linked one use
  // SetUnreadFlag so that the folder counts follow.
  bool unread = false;
  uint32_t size = 0;
  bool listed = true;
  int32_t mark = 0;  // 0 none, 1..9
  uint32_t downloadFlag = kDownloadNone;
  uint32_t sortMode = kSortNone;
  bool expanded = false;
  bool isProtected = false;  // may not be moved or deleted
  // Unread items below a folder; the search-result folder adds nothing to its
  // parent, and the root counts only the unread items directly under it.
  int32_t unreadCount = 0;
  int32_t selectedChild = -1;

  bool syncOptions[4] = {false, false, false, false};
  bool feedOnly = false;
  bool autoDelete = false;
  int32_t feedSetting = 0;  // feed text encoding, 0 = detect
};

// The state kept beside the collection.
struct TreeState {
  TreeNode* root = nullptr;           // owns the whole collection
  TreeNode* receiveFolder = nullptr;  // "未整理フォルダ"
  TreeNode* searchFolder = nullptr;   // "検索結果"
  TreeNode* currentFolder = nullptr;  // the folder the list view shows
  // Set by every change of a node's texts, flags, property, links or sort;
  // cleared by the periodic save.
  std::atomic<bool> modified{false};
};

TreeState& GetTreeState();
// Frees the collection and clears every reference and the modified flag (tests, shutdown).
void ResetTreeState();
inline void MarkTreeModified() { GetTreeState().modified.store(true, std::memory_order_relaxed); }

// The one lock of the collection (see the top of this file).
std::recursive_mutex& TreeMutex();

// --- Nodes ------------------------------------------------------------------

// A new detached node: root (property 4), folder (3) or item (8).
TreeNode* CreateNode(std::string_view title = {}, std::string_view url = {},
                     std::string_view localFile = {}, NodeType type = kNodeItem);
// Detaches the node (whatever its protection) and frees it with its subtree.
// References of the tree state into the subtree are cleared; a destroyed current
// folder gives way to its parent.
void DestroyNode(TreeNode* node);

struct NodeDeleter {
  void operator()(TreeNode* node) const { DestroyNode(node); }
};

inline bool IsRoot(const TreeNode* n) { return n && n->type == kNodeRoot; }
inline bool IsFolder(const TreeNode* n) { return n && n->type == kNodeFolder; }
inline bool IsItem(const TreeNode* n) { return n && n->type == kNodeItem; }
inline bool IsReceiveFolder(const TreeNode* n) { return IsFolder(n) && n->property == kPropertyReceiveFolder; }
inline bool IsSearchFolder(const TreeNode* n) { return IsFolder(n) && n->property == kPropertySearchFolder; }
inline bool IsSyncFolder(const TreeNode* n) { return IsFolder(n) && n->property == kPropertySyncFolder; }
inline bool IsRssFolder(const TreeNode* n) { return IsFolder(n) && n->property == kPropertyRssFolder; }
inline bool IsTextItem(const TreeNode* n) { return IsItem(n) && n->property == kPropertyTextItem; }
// True when node is ancestor itself or lies below it.
bool IsInSubtree(const TreeNode* node, const TreeNode* ancestor);
// True while the node is part of the collection: windows and timers that
// hold a node across events check it before use. Tree lock held.
bool IsInCollection(const TreeNode* node);
TreeNode* LastChild(const TreeNode* node);

// --- Setters: unchanged values change nothing; changes set the modified flag --

void SetTitle(TreeNode* node, std::string_view text);
void SetUrl(TreeNode* node, std::string_view text);
void SetLocalFile(TreeNode* node, std::string_view text);
void SetLastCheck(TreeNode* node, std::string_view text);
void SetOriginalDate(TreeNode* node, std::string_view text);
void SetSize(TreeNode* node, uint32_t size);
void SetMark(TreeNode* node, int32_t mark);
// 0 (nothing stored) for a value that is no sort mode.
int SetSortMode(TreeNode* node, uint32_t mode);
void SetProperty(TreeNode* node, NodeProperty property);
void SetDownloadFlag(TreeNode* node, uint32_t flag);

// Marks an item read (0) or unread (1) and adjusts the folder counts above it.
// A folder cannot be switched: the user is told so and 0 is returned.
int SetUnreadFlag(TreeNode* node, bool unread);
// Counts the unread items of the subtree of `top` anew from the items' flags,
// in one pass, and corrects the counts above it. For bulk building (the tree
// file's load), which sets the flags without the per-item walk up.
void RecountUnread(TreeNode* top);

// --- Links ------------------------------------------------------------------

enum LinkPosition : int {
  kLinkFirstChild = 0,    // first child of reference
  kLinkLastChild = 2,     // last child of reference
  kLinkBefore = 3,        // before reference, same parent
  kLinkAfter = 4,         // after reference, same parent
  kLinkAfterLastSibling = 5,  // after the last sibling of reference
};
// Links a detached node and adds its unread contribution to the new parent
// chain. Returns the node, or nullptr (nothing changed) when the node is still
// linked or is a root, the position is unknown, the reference has no parent for
// a sibling position, the new parent is an item, or the new parent lies inside
// the node's own subtree.
TreeNode* Link(TreeNode* node, TreeNode* reference, int position);
// Detaches the node with its subtree and removes its unread contribution.
// Refused (nullptr, nothing changed) for the root and for a protected node.
// A node that is not linked is returned as it is.
[[nodiscard]] TreeNode* Unlink(TreeNode* node);
// Unlink and link as the last child of folder. Returns the node or nullptr
// (a refused link puts the node back where it was).
TreeNode* MoveNode(TreeNode* node, TreeNode* folder);

// --- Walks and finds ----------------------------------------------------------

// The node after `node` in pre-order, never leaving the subtree of `limit`
// (nullptr = the whole tree); nullptr at the end.
TreeNode* NextInPreorder(const TreeNode* node, const TreeNode* limit);
// The same walk over what the view shows: a node whose listed flag is 0 is
// skipped together with its subtree.
TreeNode* NextListedInPreorder(const TreeNode* node, const TreeNode* limit);

// From `start` (included) onward in pre-order within `limit`.
TreeNode* FindByUrl(TreeNode* start, std::string_view url, const TreeNode* limit = nullptr);
TreeNode* FindByLocalFile(TreeNode* start, std::string_view localFile, const TreeNode* limit = nullptr);
TreeNode* FindByTitle(TreeNode* start, std::string_view title, const TreeNode* limit = nullptr);
enum class TitleMatch { Whole, Part };
// Folders only. Case folding applies to ASCII letters; two-byte characters
// compare whole and a part match starts on a character boundary.
TreeNode* FindFolderByTitle(TreeNode* start, std::string_view title, TitleMatch match,
                            bool caseSensitive, const TreeNode* limit = nullptr);

// Listed unread items below the folder (unlisted folders hide their subtrees).
int CountUnread(const TreeNode* folder);

// --- Tree paths: "Zentu" TAB title TAB title ... ----------------------------------

inline constexpr std::string_view kRootWord = "Zentu";
// The path of a node from the root down to the node itself; "" when the node is
// not in a tree under a root.
std::string TreePath(const TreeNode* node);
// The root or folder a path names. When sibling folders share a title, the first
// one in order under which the rest of the path exists is taken.
TreeNode* FindFolderByTreePath(TreeNode* root, std::string_view path);
// An item with that URL directly in the folder the path names, or, when the
// path's last level is the item itself, the item of that title and URL.
TreeNode* FindItemByTreePath(TreeNode* root, std::string_view path, std::string_view url);

// --- Sorting ------------------------------------------------------------------

// Reorders the folder's direct children by a mode (see kSortModes). The receive
// and search-result folders always come first, in their previous order. Equal
// keys keep their relative order in either direction. Returns 1 when sorted,
// 0 for kSortNone, an unknown mode or a node that is no folder or root.
int SortChildren(TreeNode* folder, uint32_t mode);
// Sorts again by the folder's stored mode; 1 when it did.
int ReapplySort(TreeNode* folder);
// Appends a new node to the folder and re-applies its stored mode. Returns 0
// when the link was refused (the caller still owns the node), 1 when the node
// was appended at the end, 2 when the folder was re-sorted (views rebuild).
[[nodiscard]] int AddItemToFolder(TreeNode* folder, TreeNode* node);

}  // namespace zentu
