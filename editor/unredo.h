// One undo or redo record: a deleted text (with line breaks as CR LF) and the
// caret after the deletion, or an inserted range from its start to the caret
// after the insertion.
#pragma once
#include <memory>
#include <string>

namespace zentu {

struct KPoint {
  int column = 0;
  int row = 0;
  bool operator==(const KPoint&) const = default;
};

// The earlier of two positions, by row and then by column.
inline bool KBefore(const KPoint& a, const KPoint& b) {
  return a.row < b.row || (a.row == b.row && a.column < b.column);
}

class CUnReDo {
 public:
  enum class Kind : unsigned char { Inserted = 0, Deleted = 1 };

  Kind kind = Kind::Inserted;
  std::string text;  // deleted text only
  KPoint start;      // caret after the deletion, or where the insertion began
  KPoint end;        // caret after the insertion (inserted ranges only)
};

using UndoRecord = std::unique_ptr<CUnReDo>;

}  // namespace zentu
