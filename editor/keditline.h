// One line of editor text and the column rules every position goes through:
// a byte takes one column, a two-byte Shift_JIS character two, and a tab runs
// to the next multiple of four columns.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace zentu {

inline constexpr int kTabColumns = 4;
// Column to byte position: before the line (backward) or past its end (forward).
inline constexpr int kNoPosition = -1;

// True for a byte that starts a two-byte character when another byte follows it.
inline bool IsKLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// Bytes of the character that starts at `pos` (1 or 2).
inline int KCharBytes(std::string_view text, int pos) {
  return IsKLeadByte(static_cast<unsigned char>(text[pos])) && pos + 1 < static_cast<int>(text.size()) ? 2 : 1;
}

// Column after the character at `pos`, which starts at column `column`.
inline int KNextColumn(std::string_view text, int pos, int column) {
  if (text[pos] == '\t') return kTabColumns * (column / kTabColumns + 1);
  return column + KCharBytes(text, pos);
}

int KLineWidth(std::string_view text);
// The running column after the characters that start before `pos`.
int KColumnOfPosition(std::string_view text, int pos);
// Column to byte position. Backward rounds down to the start of the character
// that holds the column; forward rounds up to the next character boundary.
// `hasNext` tells whether another line follows (forward mode only).
int KPositionOfColumn(std::string_view text, int width, int column, bool forward, bool hasNext);

class CKEditLine {
 public:
  CKEditLine() = default;
  explicit CKEditLine(std::string bytes) : text_(std::move(bytes)), width_(KLineWidth(text_)) {}

  const std::string& Text() const { return text_; }
  int Length() const { return static_cast<int>(text_.size()); }
  int Width() const { return width_; }

  // Every change recomputes the width. The model keeps its widest-width count
  // in step, so only it changes lines in its list.
  void SetText(std::string bytes) {
    text_ = std::move(bytes);
    width_ = KLineWidth(text_);
  }
  void Insert(int pos, std::string_view bytes) {
    text_.insert(static_cast<size_t>(pos), bytes);
    width_ = KLineWidth(text_);
  }
  void Erase(int pos, int n) {
    text_.erase(static_cast<size_t>(pos), static_cast<size_t>(n));
    width_ = KLineWidth(text_);
  }
  // Appends one character while a file is read; the width grows with it.
  void AppendChar(std::string_view ch);

 private:
  std::string text_;
  int width_ = 0;
};

// The line list: a gap buffer of lines, so that a row is found at once and a
// line inserted or removed near the last edit moves only the lines between.
class KLineStore {
 public:
  int Count() const { return static_cast<int>(lines_.size()) - (gapEnd_ - gapStart_); }
  CKEditLine& operator[](int row) { return lines_[Index(row)]; }
  const CKEditLine& operator[](int row) const { return lines_[Index(row)]; }
  void Insert(int row, CKEditLine line);
  // Many lines at once: the store moves its lines at most once. An empty
  // store takes the vector over whole, its spare capacity as the gap.
  void InsertRange(int row, std::vector<CKEditLine> lines);
  void Erase(int row, int count);
  void Clear();

 private:
  size_t Index(int row) const {
    return static_cast<size_t>(row < gapStart_ ? row : row + (gapEnd_ - gapStart_));
  }
  void MoveGap(int row);
  // Makes the gap at least `room` lines wide.
  void Grow(int room);

  std::vector<CKEditLine> lines_;
  int gapStart_ = 0, gapEnd_ = 0;
};

}  // namespace zentu
