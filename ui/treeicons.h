// The tree image list: the program's own drawings for the 25 built-in entries,
// in the order of kTreeIconFiles, followed by the custom icon files of the
// custom icon table. Used on the UI thread only.
#pragma once
#include <QIcon>
#include <QPixmap>
#include <cstdint>
#include <string>
#include <vector>

#include "store/tree.h"
#include "ui/iconindex.h"

namespace zentu::ui {

class TreeImageList {
 public:
  static TreeImageList& Get();

  // False when a built-in drawing could not be made (reported once).
  bool ok() const { return ok_; }
  // The icon of an image-list index; a null icon for an index with no image.
  QIcon Icon(int32_t index);
  // The icon a node shows, open or closed; a custom icon whose file cannot be
  // drawn gives way to the node's ordinary icon.
  QIcon NodeIcon(const TreeNode* node, bool open);
  // The program's icon (windows, tray).
  QIcon AppIcon();
  // Resource path of a built-in drawing (":/zentu/icons/box_open.svg").
  static QString ResourcePath(int32_t index);

 private:
  TreeImageList();
  QIcon Render(const QString& path);
  QIcon CustomIcon(int32_t index);

  bool ok_ = true;
  std::vector<QIcon> builtin_;
  std::vector<QIcon> custom_;
  std::vector<std::string> customFiles_;  // the files custom_ was made from
  QIcon app_;
};

}  // namespace zentu::ui
