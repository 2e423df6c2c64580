// Brings a model's row list of node pointers in line with the collection's
// current child list: removals and insertions as contiguous runs, then one
// layout change for a new order. The pointers are only compared, never
// dereferenced, so rows of nodes that are gone are safe to drop.
#pragma once
#include <algorithm>
#include <cstddef>
#include <unordered_set>
#include <vector>

#include "store/tree.h"

namespace zentu::ui {

enum class RowSync { Same, Changed, NeedReset };

// Beyond this many runs a model rebuilds itself instead (cheaper than many
// row-number passes, and nothing a user would notice).
inline constexpr size_t kMaxSyncRuns = 64;

// `ops` provides:
//   BeginRemove(first, last) / EndRemove()      around erasing cur[first..last]
//   BeginInsert(first, last) / EndInsert()      around inserting there
//   BeginReorder() / EndReorder()               around cur = next
//   Forget(TreeNode*)                           a row's node leaves (subtree caches)
//   Adopt(TreeNode*)                            a row's node arrives
//   Renumber()                                  cur changed: rebuild row maps
template <class Ops>
RowSync SyncRows(std::vector<TreeNode*>& cur, const std::vector<TreeNode*>& next, Ops& ops) {
  if (cur == next) return RowSync::Same;
  std::unordered_set<const TreeNode*> nextSet(next.begin(), next.end());
  std::unordered_set<const TreeNode*> curSet(cur.begin(), cur.end());

  size_t runs = 0;
  for (size_t i = 0; i < cur.size(); ++i) {
    if (!nextSet.count(cur[i]) && (i == 0 || nextSet.count(cur[i - 1]))) ++runs;
  }
  for (size_t i = 0; i < next.size(); ++i) {
    if (!curSet.count(next[i]) && (i == 0 || curSet.count(next[i - 1]))) ++runs;
  }
  if (runs > kMaxSyncRuns) return RowSync::NeedReset;

  // Removals from the back, so earlier positions stay valid.
  for (ptrdiff_t i = static_cast<ptrdiff_t>(cur.size()) - 1; i >= 0;) {
    if (nextSet.count(cur[static_cast<size_t>(i)])) {
      --i;
      continue;
    }
    const ptrdiff_t last = i;
    while (i >= 0 && !nextSet.count(cur[static_cast<size_t>(i)])) --i;
    const ptrdiff_t first = i + 1;
    ops.BeginRemove(static_cast<int>(first), static_cast<int>(last));
    for (ptrdiff_t k = first; k <= last; ++k) ops.Forget(cur[static_cast<size_t>(k)]);
    cur.erase(cur.begin() + first, cur.begin() + last + 1);
    ops.Renumber();
    ops.EndRemove();
  }

  // Insertions at their place in the new order; whatever survived keeps its
  // old order until the layout change below.
  curSet.clear();
  curSet.insert(cur.begin(), cur.end());
  for (size_t i = 0; i < next.size();) {
    if (curSet.count(next[i])) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < next.size() && !curSet.count(next[j])) ++j;
    const size_t pos = std::min(i, cur.size());
    ops.BeginInsert(static_cast<int>(pos), static_cast<int>(pos + (j - i) - 1));
    cur.insert(cur.begin() + static_cast<ptrdiff_t>(pos), next.begin() + static_cast<ptrdiff_t>(i),
               next.begin() + static_cast<ptrdiff_t>(j));
    for (size_t k = i; k < j; ++k) {
      ops.Adopt(next[k]);
      curSet.insert(next[k]);
    }
    ops.Renumber();
    ops.EndInsert();
    i = j;
  }

  if (cur != next) {
    ops.BeginReorder();
    cur = next;
    ops.Renumber();
    ops.EndReorder();
  }
  return RowSync::Changed;
}

}  // namespace zentu::ui
