#include "editor/keditline.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace zentu {

int KLineWidth(std::string_view text) {
  // Without a tab every byte is one column: a two-byte character takes two,
  // and a lead byte at the end one.
  if (!std::memchr(text.data(), '\t', text.size())) return static_cast<int>(text.size());
  int column = 0;
  const int n = static_cast<int>(text.size());
  for (int pos = 0; pos < n; pos += KCharBytes(text, pos)) column = KNextColumn(text, pos, column);
  return column;
}

int KColumnOfPosition(std::string_view text, int pos) {
  int column = 0;
  const int n = std::min(pos, static_cast<int>(text.size()));
  for (int i = 0; i < n; i += KCharBytes(text, i)) column = KNextColumn(text, i, column);
  return column;
}

int KPositionOfColumn(std::string_view text, int width, int column, bool forward, bool hasNext) {
  const int length = static_cast<int>(text.size());
  if (column == 0) return 0;
  if (column < 0) return forward ? 0 : kNoPosition;
  if (!forward) {
    if (column >= width) return length;
    int col = 0;
    for (int pos = 0; pos < length; pos += KCharBytes(text, pos)) {
      const int next = KNextColumn(text, pos, col);
      if (next > column) return pos;
      col = next;
    }
    return length;
  }
  if (column > width) return hasNext ? kNoPosition : length;
  if (column == width) return length;
  int col = 0;
  for (int pos = 0; pos < length; pos += KCharBytes(text, pos)) {
    if (col >= column) return pos;
    col = KNextColumn(text, pos, col);
  }
  return length;
}

void CKEditLine::AppendChar(std::string_view ch) {
  // A lone lead byte at the end pairs with whatever comes next, so the
  // width is recounted; otherwise it grows by the new character alone.
  const bool loneLead = !text_.empty() && IsKLeadByte(static_cast<unsigned char>(text_.back())) &&
                        KColumnOfPosition(text_, Length() - 1) + 1 == width_;
  const int start = Length();
  text_.append(ch);
  if (loneLead) {
    width_ = KLineWidth(text_);
    return;
  }
  for (int pos = start; pos < Length(); pos += KCharBytes(text_, pos)) width_ = KNextColumn(text_, pos, width_);
}

void KLineStore::MoveGap(int row) {
  if (gapStart_ == gapEnd_) {  // no gap: nothing to move (and no self-moves)
    gapStart_ = gapEnd_ = row;
    return;
  }
  auto base = lines_.begin();
  if (row < gapStart_) {
    const int n = gapStart_ - row;
    std::move_backward(base + row, base + gapStart_, base + gapEnd_);
    gapStart_ = row;
    gapEnd_ -= n;
  } else if (row > gapStart_) {
    const int n = row - gapStart_;
    std::move(base + gapEnd_, base + gapEnd_ + n, base + gapStart_);
    gapStart_ += n;
    gapEnd_ += n;
  }
}

void KLineStore::Grow(int room) {
  if (gapEnd_ - gapStart_ >= room) return;
  const int count = Count();
  // An eighth more: the gap stays close to the lines it moves between, and a
  // million lines do not carry a million empty ones.
  const int capacity = count + std::max({16, room, count / 8});
  std::vector<CKEditLine> grown(static_cast<size_t>(capacity));
  std::move(lines_.begin(), lines_.begin() + gapStart_, grown.begin());
  const int after = count - gapStart_;
  std::move(lines_.end() - after, lines_.end(), grown.end() - after);
  lines_ = std::move(grown);
  gapEnd_ = capacity - after;
}

void KLineStore::Insert(int row, CKEditLine line) {
  Grow(1);
  MoveGap(row);
  lines_[static_cast<size_t>(gapStart_++)] = std::move(line);
}

void KLineStore::InsertRange(int row, std::vector<CKEditLine> lines) {
  const int n = static_cast<int>(lines.size());
  if (n == 0) return;
  if (Count() == 0) {
    // A file read into an empty editor: no line is moved. The spare
    // capacity (up to an eighth more) becomes the gap, so the first new line
    // does not move a million.
    const size_t room = std::min(lines.capacity(), lines.size() + lines.size() / 8 + 16);
    lines.resize(room);
    lines_ = std::move(lines);
    gapStart_ = n;
    gapEnd_ = static_cast<int>(lines_.size());
    return;
  }
  Grow(n);
  MoveGap(row);
  std::move(lines.begin(), lines.end(), lines_.begin() + gapStart_);
  gapStart_ += n;
}

void KLineStore::Erase(int row, int count) {
  MoveGap(row);
  for (int i = 0; i < count; ++i) lines_[static_cast<size_t>(gapEnd_ + i)] = CKEditLine();
  gapEnd_ += count;
}

void KLineStore::Clear() {
  lines_.clear();
  gapStart_ = gapEnd_ = 0;
}

}  // namespace zentu
