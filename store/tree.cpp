// Nodes, links, unread bookkeeping, walks, finds and tree paths of the collection.
#include "store/tree.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "os/cp932.h"
#include "os/desktop.h"
#include "store/tree_observer.h"

namespace zentu {

TreeState& GetTreeState() {
  static TreeState state;
  return state;
}

std::recursive_mutex& TreeMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

// --- Observers ---------------------------------------------------------------------
//
// The list is read by the model functions with the tree lock held and changed
// only under it, so it needs no lock of its own.

static std::vector<TreeObserver*>& Observers() {
  static auto* observers = new std::vector<TreeObserver*>;  // never destroyed: workers may change nodes during exit
  return *observers;
}

void AddTreeObserver(TreeObserver* observer) {
  if (!observer) return;
  std::lock_guard lock(TreeMutex());
  auto& list = Observers();
  if (std::find(list.begin(), list.end(), observer) == list.end()) list.push_back(observer);
}

void RemoveTreeObserver(TreeObserver* observer) {
  std::lock_guard lock(TreeMutex());
  auto& list = Observers();
  list.erase(std::remove(list.begin(), list.end(), observer), list.end());
}

template <class Call>
static void Tell(const Call& call) {
  for (TreeObserver* o : Observers()) call(*o);
}

// Detached nodes are nobody's business yet.
static bool Announced(const TreeNode* node) { return node && node->parent; }

static void TellChanged(const TreeNode* node) {
  if (!Announced(node) && !IsRoot(node)) return;
  Tell([node](TreeObserver& o) { o.NodeChanged(node); });
}

void NotifyNodeChanged(const TreeNode* node) { TellChanged(node); }

void ResetTreeState() {
  TreeState& state = GetTreeState();
  if (state.root) DestroyNode(state.root);
  state.root = nullptr;
  state.receiveFolder = nullptr;
  state.searchFolder = nullptr;
  state.currentFolder = nullptr;
  state.modified.store(false);
}

// --- Unread bookkeeping -----------------------------------------------------------
//
// What a child adds to its parent's count: an unread item 1, a folder its own
// count, the search-result folder nothing. A non-root folder's count is the sum
// over its children. The root counts only the unread items directly under it:
// changes below a top-level folder stop before the root, so letting folders add
// to the root on a move would leave the root's count off (even negative) after
// the folder moves out again.

static int Contribution(const TreeNode* node) {
  if (IsItem(node)) return node->unread ? 1 : 0;
  if (IsFolder(node) && !IsSearchFolder(node)) return node->unreadCount;
  return 0;
}

static void AddUnread(TreeNode* node, int delta) {
  node->unreadCount += delta;
  TellChanged(node);
}

// `changed`'s contribution to `parent` changed by delta.
static void PropagateUnread(TreeNode* parent, const TreeNode* changed, int delta) {
  if (!parent || delta == 0) return;
  if (IsRoot(parent)) {
    if (IsItem(changed)) AddUnread(parent, delta);
    return;
  }
  for (TreeNode* n = parent; n && !IsRoot(n); n = n->parent) {
    AddUnread(n, delta);
    if (IsSearchFolder(n)) break;  // its count never reaches its parent
  }
}

void RecountUnread(TreeNode* top) {
  if (!top) return;
  const int before = Contribution(top);
  // Post-order without recursion: a node is done once its subtree is, and then
  // adds to its parent (the root takes only its own items, as in Link).
  TreeNode* n = top;
  for (;;) {
    for (;;) {
      if (!IsItem(n)) n->unreadCount = 0;
      if (IsItem(n) || !n->firstChild) break;
      n = n->firstChild;
    }
    for (;;) {
      if (!IsItem(n)) TellChanged(n);
      if (n == top) {
        PropagateUnread(top->parent, top, Contribution(top) - before);
        return;
      }
      TreeNode* parent = n->parent;
      if (!IsRoot(parent) || IsItem(n)) parent->unreadCount += Contribution(n);
      if (n->next) {
        n = n->next;
        break;
      }
      n = parent;
    }
  }
}

int SetUnreadFlag(TreeNode* node, bool unread) {
  if (!node) return 0;
  if (!IsItem(node)) {
    static const std::string kText = os::Utf8ToSjis("Folder なので既読・未読の切り替えはできません．");
    static const std::string kCaption = os::Utf8ToSjis("エラー");
    os::MessageBox(kText, kCaption);
    return 0;
  }
  if (node->unread == unread) return 1;
  node->unread = unread;
  TellChanged(node);
  PropagateUnread(node->parent, node, unread ? 1 : -1);
  MarkTreeModified();
  return 1;
}

// --- Nodes -------------------------------------------------------------------------

TreeNode* CreateNode(std::string_view title, std::string_view url, std::string_view localFile,
                     NodeType type) {
  auto* node = new TreeNode;
  node->title.assign(title);
  node->url.assign(url);
  node->localFile.assign(localFile);
  node->type = type;
  switch (type) {
    case kNodeRoot: node->property = kPropertyRoot; break;
    case kNodeFolder: node->property = kPropertyFolder; break;
    default: node->property = kPropertyUrlItem; break;
  }
  return node;
}

bool IsInCollection(const TreeNode* node) {
  const TreeNode* root = GetTreeState().root;
  for (const TreeNode* n = root; n; n = NextInPreorder(n, root))
    if (n == node) return true;
  return false;
}

bool IsInSubtree(const TreeNode* node, const TreeNode* ancestor) {
  if (!ancestor) return false;
  for (const TreeNode* n = node; n; n = n->parent) {
    if (n == ancestor) return true;
  }
  return false;
}

TreeNode* LastChild(const TreeNode* node) { return node ? node->lastChild : nullptr; }

// Takes the node out of its parent's child list, whatever its protection. The
// counts and the notice are the caller's.
static void Unhook(TreeNode* node) {
  TreeNode* parent = node->parent;
  if (node->prev) {
    node->prev->next = node->next;
  } else {
    parent->firstChild = node->next;
  }
  if (node->next) {
    node->next->prev = node->prev;
  } else {
    parent->lastChild = node->prev;
  }
  node->parent = nullptr;
  node->prev = nullptr;
  node->next = nullptr;
  MarkTreeModified();
}

// Links the node under parent right after `before` (null: first).
static void Hook(TreeNode* node, TreeNode* parent, TreeNode* before) {
  TreeNode* after = before ? before->next : parent->firstChild;
  node->parent = parent;
  node->prev = before;
  node->next = after;
  if (before) {
    before->next = node;
  } else {
    parent->firstChild = node;
  }
  if (after) {
    after->prev = node;
  } else {
    parent->lastChild = node;
  }
  MarkTreeModified();
}

// Unlinks with the notice first and the count changes after it, so an
// observer hears of the removal before the counts it caused.
static void Detach(TreeNode* node, bool freed) {
  TreeNode* parent = node->parent;
  if (!parent) return;
  const int contribution = Contribution(node);
  Unhook(node);
  Tell([&](TreeObserver& o) { o.NodeRemoved(node, parent, freed); });
  PropagateUnread(parent, node, -contribution);
}

void DestroyNode(TreeNode* node) {
  if (!node) return;
  TreeNode* formerParent = node->parent;
  if (formerParent) {
    Detach(node, true);
  } else if (IsRoot(node) && node == GetTreeState().root) {
    // The whole collection goes: nothing else would tell the views.
    Tell([node](TreeObserver& o) { o.NodeRemoved(node, nullptr, true); });
  }
  TreeState& state = GetTreeState();
  // Free the subtree from the bottom up without recursion: deep trees must not
  // exhaust the stack. The first child is always the one freed next.
  TreeNode* n = node;
  for (;;) {
    while (n->firstChild) n = n->firstChild;
    if (n == state.root) state.root = nullptr;
    if (n == state.receiveFolder) state.receiveFolder = nullptr;
    if (n == state.searchFolder) state.searchFolder = nullptr;
    if (n == state.currentFolder) state.currentFolder = formerParent;
    if (n == node) {
      delete n;
      return;
    }
    TreeNode* parent = n->parent;
    TreeNode* following = n->next;
    parent->firstChild = following;
    if (following) {
      following->prev = nullptr;
    } else {
      parent->lastChild = nullptr;
    }
    delete n;
    n = following ? following : parent;
  }
}

// --- Setters -------------------------------------------------------------------------

static void Changed(const TreeNode* node) {
  MarkTreeModified();
  TellChanged(node);
}

static void SetText(TreeNode* node, std::string& field, std::string_view text) {
  if (field == text) return;
  field.assign(text);
  Changed(node);
}

void SetTitle(TreeNode* node, std::string_view text) { SetText(node, node->title, text); }
void SetUrl(TreeNode* node, std::string_view text) { SetText(node, node->url, text); }
void SetLocalFile(TreeNode* node, std::string_view text) { SetText(node, node->localFile, text); }
void SetLastCheck(TreeNode* node, std::string_view text) { SetText(node, node->lastCheck, text); }
void SetOriginalDate(TreeNode* node, std::string_view text) { SetText(node, node->originalDate, text); }

void SetSize(TreeNode* node, uint32_t size) {
  if (node->size == size) return;
  node->size = size;
  Changed(node);
}

void SetMark(TreeNode* node, int32_t mark) {
  if (mark < 0 || mark > 9 || node->mark == mark) return;
  node->mark = mark;
  Changed(node);
}

int SetSortMode(TreeNode* node, uint32_t mode) {
  if (!FindSortMode(mode)) return 0;
  if (node->sortMode != mode) {
    node->sortMode = mode;
    Changed(node);
  }
  return 1;
}

// An item's first property or flag gives it the picture of its state.
static bool TakePictureByState(TreeNode* node) {
  if (!IsItem(node) || node->pictureByState) return false;
  node->pictureByState = true;
  return true;
}

void SetProperty(TreeNode* node, NodeProperty property) {
  const bool pictured = TakePictureByState(node);
  if (node->property == property) {
    if (pictured) Changed(node);
    return;
  }
  // Becoming or ceasing to be the search-result folder changes what the
  // folder adds to its parent.
  int before = Contribution(node);
  node->property = property;
  Changed(node);
  PropagateUnread(node->parent, node, Contribution(node) - before);
}

void SetDownloadFlag(TreeNode* node, uint32_t flag) {
  const bool pictured = TakePictureByState(node);
  const bool changed = node->downloadFlag != flag;
  node->downloadFlag = flag;
  if (changed || pictured) Changed(node);
}

// --- Links ---------------------------------------------------------------------------

// Where a link would put the node: its new parent and the sibling it follows
// (null: first). False when the link is refused (see Link).
static bool LinkPlace(const TreeNode* node, TreeNode* reference, int position, TreeNode** parentOut,
                      TreeNode** beforeOut) {
  if (!node || !reference || node == reference) return false;
  if (node->parent || IsRoot(node)) return false;
  TreeNode* parent = nullptr;
  switch (position) {
    case kLinkFirstChild:
    case kLinkLastChild:
      parent = reference;
      break;
    case kLinkBefore:
    case kLinkAfter:
    case kLinkAfterLastSibling:
      parent = reference->parent;
      break;
    default:
      return false;
  }
  // A node without children cannot hold its new parent (node == reference is
  // refused above); skipping the walk up keeps a deep tree's load linear.
  if (!parent || IsItem(parent) || (node->firstChild && IsInSubtree(parent, node))) return false;

  switch (position) {
    case kLinkFirstChild:
      // Also when the reference already has children: they follow the node
      // instead of being lost.
      *beforeOut = nullptr;
      break;
    case kLinkBefore:
      *beforeOut = reference->prev;
      break;
    case kLinkAfter:
      *beforeOut = reference;
      break;
    default:
      *beforeOut = parent->lastChild;
      break;
  }
  *parentOut = parent;
  return true;
}

TreeNode* Link(TreeNode* node, TreeNode* reference, int position) {
  TreeNode* parent = nullptr;
  TreeNode* before = nullptr;
  if (!LinkPlace(node, reference, position, &parent, &before)) return nullptr;
  Hook(node, parent, before);
  Tell([node](TreeObserver& o) { o.NodeAdded(node); });
  PropagateUnread(parent, node, Contribution(node));
  return node;
}

TreeNode* Unlink(TreeNode* node) {
  if (!node || IsRoot(node) || node->isProtected) return nullptr;
  Detach(node, false);
  return node;
}

TreeNode* MoveNode(TreeNode* node, TreeNode* folder) {
  if (!node || !folder || IsItem(folder) || IsInSubtree(folder, node)) return nullptr;
  if (IsRoot(node) || node->isProtected) return nullptr;
  TreeNode* oldParent = node->parent;
  if (!oldParent) return Link(node, folder, kLinkLastChild);
  TreeNode* oldPrev = node->prev;
  // One notice for the move, then the counts of the old chain and the new one.
  const int contribution = Contribution(node);
  Unhook(node);
  TreeNode* parent = nullptr;
  TreeNode* before = nullptr;
  if (!LinkPlace(node, folder, kLinkLastChild, &parent, &before)) {
    Hook(node, oldParent, oldPrev);  // cannot happen after the checks above
    return nullptr;
  }
  Hook(node, parent, before);
  Tell([&](TreeObserver& o) { o.NodeMoved(node, oldParent); });
  if (parent != oldParent) {
    PropagateUnread(oldParent, node, -contribution);
    PropagateUnread(parent, node, contribution);
  }
  return node;
}

// --- Walks -----------------------------------------------------------------------------

// The next node after the subtree of `node`.
static TreeNode* NextAfterSubtree(const TreeNode* node, const TreeNode* limit) {
  for (const TreeNode* n = node; n && n != limit; n = n->parent) {
    if (n->next) return n->next;
  }
  return nullptr;
}

TreeNode* NextInPreorder(const TreeNode* node, const TreeNode* limit) {
  if (!node) return nullptr;
  if (node->firstChild) return node->firstChild;
  return NextAfterSubtree(node, limit);
}

TreeNode* NextListedInPreorder(const TreeNode* node, const TreeNode* limit) {
  TreeNode* n = NextInPreorder(node, limit);
  while (n && !n->listed) n = NextAfterSubtree(n, limit);
  return n;
}

int CountUnread(const TreeNode* folder) {
  int count = 0;
  for (const TreeNode* n = NextListedInPreorder(folder, folder); n;
       n = NextListedInPreorder(n, folder)) {
    if (IsItem(n) && n->unread) ++count;
  }
  return count;
}

// --- Finds -----------------------------------------------------------------------------

template <class Pred>
static TreeNode* FindFrom(TreeNode* start, const TreeNode* limit, Pred pred) {
  for (TreeNode* n = start; n; n = NextInPreorder(n, limit)) {
    if (pred(n)) return n;
  }
  return nullptr;
}

TreeNode* FindByUrl(TreeNode* start, std::string_view url, const TreeNode* limit) {
  if (url.empty()) return nullptr;  // every folder has an empty URL
  return FindFrom(start, limit, [&](const TreeNode* n) { return n->url == url; });
}

TreeNode* FindByLocalFile(TreeNode* start, std::string_view localFile, const TreeNode* limit) {
  if (localFile.empty()) return nullptr;
  return FindFrom(start, limit, [&](const TreeNode* n) { return n->localFile == localFile; });
}

TreeNode* FindByTitle(TreeNode* start, std::string_view title, const TreeNode* limit) {
  return FindFrom(start, limit, [&](const TreeNode* n) { return n->title == title; });
}

static unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Does `needle` occur in `text` at byte `pos` (a character boundary)? Only
// single-byte characters are case folded: a trail byte may look like a letter.
static bool MatchesAt(std::string_view text, size_t pos, std::string_view needle, bool caseSensitive) {
  if (text.size() - pos < needle.size()) return false;
  size_t i = 0;
  while (i < needle.size()) {
    auto a = static_cast<unsigned char>(text[pos + i]);
    auto b = static_cast<unsigned char>(needle[i]);
    if (os::IsSjisLeadByte(a) && i + 1 < needle.size()) {
      if (a != b || text[pos + i + 1] != needle[i + 1]) return false;
      i += 2;
      continue;
    }
    if (os::IsSjisLeadByte(a)) return false;  // the needle would end inside a character
    if (caseSensitive ? a != b : FoldAscii(a) != FoldAscii(b)) return false;
    ++i;
  }
  return true;
}

static bool TitleMatches(std::string_view text, std::string_view needle, TitleMatch match,
                         bool caseSensitive) {
  if (match == TitleMatch::Whole) {
    return text.size() == needle.size() && MatchesAt(text, 0, needle, caseSensitive);
  }
  for (size_t pos = 0; pos <= text.size();) {
    if (MatchesAt(text, pos, needle, caseSensitive)) return true;
    if (pos == text.size()) break;
    bool twoByte = os::IsSjisLeadByte(static_cast<unsigned char>(text[pos])) && pos + 1 < text.size();
    pos += twoByte ? 2 : 1;
  }
  return false;
}

TreeNode* FindFolderByTitle(TreeNode* start, std::string_view title, TitleMatch match,
                            bool caseSensitive, const TreeNode* limit) {
  return FindFrom(start, limit, [&](const TreeNode* n) {
    return IsFolder(n) && TitleMatches(n->title, title, match, caseSensitive);
  });
}

// --- Tree paths ------------------------------------------------------------------------

std::string TreePath(const TreeNode* node) {
  if (!node) return {};
  size_t length = kRootWord.size();
  const TreeNode* top = node;
  for (; top->parent; top = top->parent) length += 1 + top->title.size();
  if (!IsRoot(top)) return {};
  std::string path(length, '\t');
  size_t end = length;
  for (const TreeNode* n = node; n != top; n = n->parent) {
    end -= n->title.size();
    path.replace(end, n->title.size(), n->title);
    --end;  // the tab before this level stays
  }
  path.replace(0, kRootWord.size(), kRootWord);
  return path;
}

// Descends the folders named by `path` ("\ttitle\ttitle..."); sibling folders
// with the same title are tried in order until `accept` takes the end of the
// path. Depth first without recursion (a deep path must not exhaust the
// stack): each entered level remembers its folder and where its part of the
// path began, so a level that finds nothing resumes at that folder's next sibling.
template <class Accept>
static TreeNode* MatchPath(TreeNode* top, std::string_view path, const Accept& accept) {
  std::vector<std::pair<TreeNode*, size_t>> entered;
  TreeNode* node = top;
  size_t pos = 0;
  TreeNode* resume = nullptr;  // the next candidate when coming back to a level
  bool descending = true;
  for (;;) {
    TreeNode* next = nullptr;
    if (descending && pos == path.size()) {
      if (TreeNode* found = accept(node)) return found;
    } else if (pos < path.size() && path[pos] == '\t') {
      const std::string_view rest = path.substr(pos + 1);
      for (TreeNode* c = descending ? node->firstChild : resume; c; c = c->next) {
        if (!IsFolder(c) || !rest.starts_with(c->title)) continue;
        const std::string_view after = rest.substr(c->title.size());
        if (!after.empty() && after.front() != '\t') continue;
        next = c;
        break;
      }
    }
    if (next) {
      entered.emplace_back(next, pos);
      node = next;
      pos += 1 + next->title.size();
      descending = true;
      continue;
    }
    if (entered.empty()) return nullptr;
    auto [done, before] = entered.back();
    entered.pop_back();
    node = done->parent;
    pos = before;
    resume = done->next;
    descending = false;
  }
}

// The path without its first level, or false when that level is not the root.
static bool StripRootLevel(const TreeNode* root, std::string_view& path) {
  std::string_view first = path.substr(0, path.find('\t'));
  if (first != kRootWord && first != root->title) return false;
  path.remove_prefix(first.size());
  return true;
}

TreeNode* FindFolderByTreePath(TreeNode* root, std::string_view path) {
  if (!root || !StripRootLevel(root, path)) return nullptr;
  return MatchPath(root, path, [](TreeNode* n) { return n; });
}

TreeNode* FindItemByTreePath(TreeNode* root, std::string_view path, std::string_view url) {
  if (!root || !StripRootLevel(root, path)) return nullptr;
  auto itemIn = [&](TreeNode* folder, const std::string_view* title) -> TreeNode* {
    for (TreeNode* c = folder->firstChild; c; c = c->next) {
      if (IsItem(c) && c->url == url && (!title || c->title == *title)) return c;
    }
    return nullptr;
  };
  if (TreeNode* found = MatchPath(root, path, [&](TreeNode* f) { return itemIn(f, nullptr); })) {
    return found;
  }
  size_t tab = path.rfind('\t');
  if (tab == std::string_view::npos) return nullptr;
  std::string_view title = path.substr(tab + 1);
  return MatchPath(root, path.substr(0, tab), [&](TreeNode* f) { return itemIn(f, &title); });
}

}  // namespace zentu
