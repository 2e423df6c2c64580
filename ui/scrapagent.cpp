#include "ui/scrapagent.h"

#include <QDragEnterEvent>
#include <QMimeData>
#include <QPainter>
#include <QScreen>
#include <QUrl>
#include <vector>

#include "editor/textitem.h"
#include "intake/channel.h"
#include "intake/clipboard.h"
#include "os/cp932.h"
#include "os/home.h"
#include "os/log.h"
#include "os/path.h"
#include "store/profile.h"
#include "ui/clipboardcapture.h"
#include "ui/qttext.h"

namespace zentu::ui {
namespace {

constexpr int kSide = 96;

std::string Utf8(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

}  // namespace

CScrapAgent::CScrapAgent(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::FramelessWindowHint) {
  setObjectName(QStringLiteral("Zentu Scrap Agent"));
  setWindowTitle(QStringLiteral("Drag & Drop Agent"));
  setAcceptDrops(true);
  if (std::optional<std::string> bmp = os::ToNativePath(os::JoinPath(os::ZentuHome(), "scrap.bmp")))
    picture_.load(QString::fromUtf8(bmp->c_str()));
  resize(picture_.isNull() ? QSize(kSide, kSide) : picture_.size().expandedTo(QSize(32, 32)));
}

void CScrapAgent::ShowAgent() {
  const QRect area = screen() ? screen()->availableGeometry() : QRect(0, 0, 800, 600);
  const int margin = 16;
  const int left = area.left() + margin, right = area.right() - width() - margin;
  const int top = area.top() + margin, bottom = area.bottom() - height() - margin;
  switch (CurrentProfile().PlaceOfScrapWindow) {
    case 1: move(left, bottom); break;
    case 2: move(left, top); break;
    case 3: move(right, top); break;
    default: move(right, bottom); break;
  }
  show();
  raise();
}

bool CScrapAgent::Accepts(const QMimeData* data) { return data && (data->hasUrls() || data->hasText() || data->hasHtml()); }

bool CScrapAgent::Drop(const QMimeData* data) {
  // The window stays: with no mouse hook to bring it back on the next drag,
  // hiding it here would leave the user nothing to drop on.
  dragging_ = false;
  update();
  if (!data) return false;
  // Files and addresses first, as a drop on a folder of the main window would take them.
  if (data->hasUrls()) {
    int added = 0;
    for (const QUrl& url : data->urls()) {
      if (url.isLocalFile()) {
        const std::string path = os::FromNativePath(Utf8(url.toLocalFile()));
        added += AddDroppedFile(path) != nullptr;
      } else if (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https")) {
        added += AddDroppedUrl(os::Utf8ToSjis(Utf8(url.toString(QUrl::FullyEncoded)))) != nullptr;
      } else {
        WriteLog("> dropped address refused: %s", os::Utf8ToSjis(Utf8(url.scheme())).c_str());
      }
    }
    if (added > 0) return true;
  }
  if (std::optional<std::string> html = ClipboardHtmlFormat(data))
    return ConvertClipboardHtml(*html, false, ScrapMode::Html, {}, {});
  if (std::optional<std::string> text = ClipboardText(data); text && text->size() > 1)
    return AddTextItem(*text, {}, nullptr, CurrentProfile()) != nullptr;
  update();
  return false;
}

void CScrapAgent::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), dragging_ ? QColor(0xd8, 0xe8, 0xff) : QColor(0xf4, 0xf4, 0xf4));
  if (!picture_.isNull()) {
    p.drawPixmap(0, 0, picture_);
    return;
  }
  p.setPen(QColor(0x50, 0x70, 0xa0));
  p.drawRect(rect().adjusted(0, 0, -1, -1));
  p.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap, U("Zentu\nここへドロップ"));
}

void CScrapAgent::dragEnterEvent(QDragEnterEvent* event) {
  dragging_ = true;
  if (Accepts(event->mimeData())) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
  } else {
    event->ignore();
  }
  update();
}

void CScrapAgent::dragMoveEvent(QDragMoveEvent* event) {
  if (Accepts(event->mimeData())) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
  } else {
    event->ignore();
  }
}

void CScrapAgent::dragLeaveEvent(QDragLeaveEvent*) {
  dragging_ = false;
  update();
}

void CScrapAgent::dropEvent(QDropEvent* event) {
  if (Drop(event->mimeData())) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
  } else {
    event->ignore();
  }
}

}  // namespace zentu::ui
