// Folder sort modes. Texts compare with the Japanese collation; keys are built
// once per node so that a large folder sorts in O(n log n).
#include <unicode/coll.h>
#include <unicode/locid.h>

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "os/cp932.h"
#include "store/tree.h"
#include "store/tree_observer.h"

namespace zentu {

const SortModeInfo kSortModes[kSortLast - kSortNone + 1] = {
    {kSortNone, "ソートしない", SortKey::None, false, SortGrouping::None},
    {kSortUrlDescItemsFirst, "URLで降順ソート(ファイルが先)", SortKey::Url, true, SortGrouping::ItemsFirst},
    {kSortUrlAscItemsFirst, "URLで昇順ソート(ファイルが先)", SortKey::Url, false, SortGrouping::ItemsFirst},
    {kSortTitleAscMixed, "タイトルで昇順ソート(フォルダファイル混在)", SortKey::Title, false, SortGrouping::Mixed},
    {kSortTitleDescMixed, "タイトルで降順ソート(フォルダファイル混在)", SortKey::Title, true, SortGrouping::Mixed},
    {kSortTitleAscItemsFirst, "タイトルで昇順ソート(ファイルが先)", SortKey::Title, false, SortGrouping::ItemsFirst},
    {kSortTitleDescItemsFirst, "タイトルで降順ソート(ファイルが先)", SortKey::Title, true, SortGrouping::ItemsFirst},
    {kSortTitleAscFoldersFirst, "タイトルで昇順ソート(フォルダが先)", SortKey::Title, false, SortGrouping::FoldersFirst},
    {kSortTitleDescFoldersFirst, "タイトルで降順ソート(フォルダが先)", SortKey::Title, true, SortGrouping::FoldersFirst},
    {kSortUrlAscFoldersFirst, "URLで昇順ソート(フォルダが先)", SortKey::Url, false, SortGrouping::FoldersFirst},
    {kSortUrlDescFoldersFirst, "URLで降順ソート(フォルダが先)", SortKey::Url, true, SortGrouping::FoldersFirst},
    {kSortCheckAscFoldersFirst, "ダウンロード日で昇順ソート(フォルダが先)", SortKey::LastCheck, false, SortGrouping::FoldersFirst},
    {kSortCheckDescFoldersFirst, "ダウンロード日で降順ソート(フォルダが先)", SortKey::LastCheck, true, SortGrouping::FoldersFirst},
    {kSortCheckAscItemsFirst, "ダウンロード日で昇順ソート(ファイルが先)", SortKey::LastCheck, false, SortGrouping::ItemsFirst},
    {kSortCheckDescItemsFirst, "ダウンロード日で降順ソート(ファイルが先)", SortKey::LastCheck, true, SortGrouping::ItemsFirst},
    {kSortOriginalAscFoldersFirst, "オリジナルの最終更新日で昇順ソート(フォルダが先)", SortKey::OriginalDate, false, SortGrouping::FoldersFirst},
    {kSortOriginalDescFoldersFirst, "オリジナルの最終更新日で降順ソート(フォルダが先)", SortKey::OriginalDate, true, SortGrouping::FoldersFirst},
    {kSortOriginalAscItemsFirst, "オリジナルの最終更新日Lで昇順ソート(ファイルが先)", SortKey::OriginalDate, false, SortGrouping::ItemsFirst},
    {kSortOriginalDescItemsFirst, "オリジナルの最終更新日で降順ソート(ファイルが先)", SortKey::OriginalDate, true, SortGrouping::ItemsFirst},
    {kSortSizeAscFoldersFirst, "ファイルサイズで昇順ソート(フォルダが先)", SortKey::Size, false, SortGrouping::FoldersFirst},
    {kSortSizeDescFoldersFirst, "ファイルサイズで降順ソート(フォルダが先)", SortKey::Size, true, SortGrouping::FoldersFirst},
    {kSortSizeAscItemsFirst, "ファイルサイズで昇順ソート(ファイルが先)", SortKey::Size, false, SortGrouping::ItemsFirst},
    {kSortSizeDescItemsFirst, "ファイルサイズで降順ソート(ファイルが先)", SortKey::Size, true, SortGrouping::ItemsFirst},
};

const SortModeInfo* FindSortMode(uint32_t mode) {
  if (mode < kSortNone || mode > kSortLast) return nullptr;
  return &kSortModes[mode - kSortNone];
}

const std::string& SortMenuText(uint32_t mode) {
  static const auto texts = [] {
    std::array<std::string, std::size(kSortModes)> t;
    for (size_t i = 0; i < t.size(); ++i) t[i] = os::Utf8ToSjis(kSortModes[i].menuTextUtf8);
    return t;
  }();
  static const std::string kNone;
  const SortModeInfo* info = FindSortMode(mode);
  return info ? texts[info->mode - kSortNone] : kNone;
}

namespace {

// One collator per thread: ICU collators are not to be shared across threads.
const icu::Collator* JapaneseCollator() {
  thread_local std::unique_ptr<icu::Collator> collator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> c(icu::Collator::createInstance(icu::Locale::getJapanese(), status));
    if (U_FAILURE(status)) c.reset();
    return c;
  }();
  return collator.get();
}

// A byte string whose plain byte order is the collation order of the text.
// Without collation data the Shift_JIS bytes themselves are the key.
void CollationKey(const icu::Collator* collator, std::string_view sjis, std::string& key) {
  if (!collator) {
    key.assign(sjis);
    return;
  }
  std::u16string text = os::SjisToUtf16(sjis);
  key.resize(std::max<size_t>(32, text.size() * 4 + 8));
  for (;;) {
    int32_t need = collator->getSortKey(text.data(), static_cast<int32_t>(text.size()),
                                        reinterpret_cast<uint8_t*>(key.data()),
                                        static_cast<int32_t>(key.size()));
    if (need <= 0) {  // cannot happen with valid input; fall back to the bytes
      key.assign(sjis);
      return;
    }
    if (static_cast<size_t>(need) <= key.size()) {
      key.resize(static_cast<size_t>(need));
      return;
    }
    key.resize(static_cast<size_t>(need));
  }
}

struct Keyed {
  TreeNode* node;
  std::string text;  // collation key of text sorts
  uint32_t size;
};

const std::string& TextOf(const TreeNode* node, SortKey key) {
  switch (key) {
    case SortKey::Url: return node->url;
    case SortKey::LastCheck: return node->lastCheck;
    case SortKey::OriginalDate: return node->originalDate;
    default: return node->title;
  }
}

// Orders nodes by one key. std::stable_sort with a "greater" comparator keeps
// equal keys in their previous order for descending sorts too.
void OrderBy(std::vector<TreeNode*>& nodes, SortKey key, bool descending) {
  if (nodes.size() < 2) return;
  std::vector<Keyed> keyed(nodes.size());
  const icu::Collator* collator = key == SortKey::Size ? nullptr : JapaneseCollator();
  for (size_t i = 0; i < nodes.size(); ++i) {
    keyed[i].node = nodes[i];
    keyed[i].size = nodes[i]->size;
    if (key != SortKey::Size) CollationKey(collator, TextOf(nodes[i], key), keyed[i].text);
  }
  auto less = [key](const Keyed& a, const Keyed& b) {
    return key == SortKey::Size ? a.size < b.size : a.text < b.text;
  };
  if (descending) {
    std::stable_sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) { return less(b, a); });
  } else {
    std::stable_sort(keyed.begin(), keyed.end(), less);
  }
  for (size_t i = 0; i < nodes.size(); ++i) nodes[i] = keyed[i].node;
}

}  // namespace

int SortChildren(TreeNode* folder, uint32_t mode) {
  const SortModeInfo* info = FindSortMode(mode);
  if (!info || info->key == SortKey::None || !folder || IsItem(folder)) return 0;

  // The special folders stay at the front and keep their protection: the order
  // is rebuilt in place, so nothing is unlinked and no count changes.
  std::vector<TreeNode*> special, folders, items, mixed;
  for (TreeNode* c = folder->firstChild; c; c = c->next) {
    if (IsReceiveFolder(c) || IsSearchFolder(c)) {
      special.push_back(c);
    } else if (info->grouping == SortGrouping::Mixed) {
      mixed.push_back(c);
    } else if (IsItem(c)) {
      items.push_back(c);
    } else {
      folders.push_back(c);
    }
  }
  if (info->grouping == SortGrouping::Mixed) {
    OrderBy(mixed, info->key, info->descending);
  } else {
    OrderBy(items, info->key, info->descending);
    // Only titles order folders; by the other keys folders keep their order.
    if (info->key == SortKey::Title) OrderBy(folders, info->key, info->descending);
  }

  std::vector<TreeNode*> order = std::move(special);
  order.reserve(order.size() + folders.size() + items.size() + mixed.size());
  auto append = [&order](const std::vector<TreeNode*>& part) { order.insert(order.end(), part.begin(), part.end()); };
  switch (info->grouping) {
    case SortGrouping::Mixed:
      append(mixed);
      break;
    case SortGrouping::ItemsFirst:
      append(items);
      append(folders);
      break;
    default:
      append(folders);
      append(items);
      break;
  }
  TreeNode* prev = nullptr;
  for (TreeNode* n : order) {
    n->prev = prev;
    n->next = nullptr;
    if (prev) prev->next = n;
    prev = n;
  }
  folder->firstChild = order.empty() ? nullptr : order.front();
  folder->lastChild = prev;
  MarkTreeModified();
  NotifyNodeChanged(folder);  // the order of its children
  return 1;
}

int ReapplySort(TreeNode* folder) {
  if (!folder || folder->sortMode == kSortNone) return 0;
  return SortChildren(folder, folder->sortMode);
}

int AddItemToFolder(TreeNode* folder, TreeNode* node) {
  if (!Link(node, folder, kLinkLastChild)) return 0;
  return ReapplySort(folder) ? 2 : 1;
}

}  // namespace zentu
