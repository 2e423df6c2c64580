#include "ui/treeicons.h"

#include <QFile>
#include <QImageReader>
#include <QPainter>
#include <QSvgRenderer>

#include "os/cp932.h"
#include "os/desktop.h"
#include "os/log.h"
#include "os/path.h"
#include "store/customicons.h"

// Resources of a static library must be registered by name from the global namespace.
static void InitZentuIconResources() { Q_INIT_RESOURCE(icons); }

namespace zentu::ui {

TreeImageList& TreeImageList::Get() {
  static TreeImageList list;
  return list;
}

QString TreeImageList::ResourcePath(int32_t index) {
  if (index < 0 || index >= kIconCount) return {};
  // "icon/box_open.ico" -> ":/zentu/icons/box_open.svg"
  QString file = QString::fromLatin1(kTreeIconFiles[index]);
  file = file.mid(file.lastIndexOf('/') + 1);
  file.chop(4);
  return QStringLiteral(":/zentu/icons/") + file + QStringLiteral(".svg");
}

TreeImageList::TreeImageList() {
  InitZentuIconResources();
  builtin_.reserve(kIconCount);
  for (int32_t i = 0; i < kIconCount; ++i) {
    QIcon icon = Render(ResourcePath(i));
    if (icon.isNull()) ok_ = false;
    builtin_.push_back(icon);
  }
  app_ = Render(QStringLiteral(":/zentu/icons/zentu.svg"));
  if (!ok_) {
    WriteLog("> %s", os::Utf8ToSjis("イメージリスト作成失敗").c_str());
    os::MessageBox(os::Utf8ToSjis("イメージリスト作成失敗"), os::Utf8ToSjis("エラー"));
  }
}

QIcon TreeImageList::Render(const QString& path) {
  QSvgRenderer renderer(path);
  if (!renderer.isValid()) return {};
  QIcon icon;
  for (int size : {16, 24, 32, 48}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

QIcon TreeImageList::CustomIcon(int32_t index) {
  const std::vector<std::string>& files = CustomIconImageFiles();
  size_t k = static_cast<size_t>(index - kFirstCustomIconIndex);
  if (k >= files.size()) return {};
  if (customFiles_.size() != files.size() || customFiles_[k] != files[k]) {
    // The table changed (loaded again, entries added): draw again from its files.
    custom_.assign(files.size(), QIcon());
    customFiles_ = files;
    for (size_t i = 0; i < files.size(); ++i) {
      auto native = os::ToNativePath(files[i]);
      if (!native) continue;
      QString path = QString::fromUtf8(native->c_str());
      QImageReader reader(path);
      QImage image = reader.read();
      if (!image.isNull()) custom_[i] = QIcon(QPixmap::fromImage(image));
    }
  }
  return custom_[k];
}

QIcon TreeImageList::Icon(int32_t index) {
  if (index >= 0 && index < kIconCount) return builtin_[static_cast<size_t>(index)];
  if (index >= kFirstCustomIconIndex) return CustomIcon(index);
  return {};
}

QIcon TreeImageList::NodeIcon(const TreeNode* node, bool open) {
  if (!node) return {};
  QIcon icon = Icon(ui::NodeIcon(node, open));
  if (!icon.isNull()) return icon;
  int32_t openIndex = 0, closedIndex = 0;
  ComputeIcons(node, &openIndex, &closedIndex);
  return Icon(open ? openIndex : closedIndex);
}

QIcon TreeImageList::AppIcon() { return app_; }

}  // namespace zentu::ui
