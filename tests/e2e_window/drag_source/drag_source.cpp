// A drag source for the window tests, another X client than the program
// under test: each press of the first button in its window starts the next
// drag of its list through Qt's xcb plugin, so the target sees the XDND
// protocol a file manager or a browser speaks. A URL is carried as
// text/uri-list; a web address also as text/plain, as a browser offers a link.
// A file is offered for moving first, as file managers do: a target that took
// the move would have the file manager delete the file.
//
//   zentu_drag_source TITLE X Y URL...
//
// The window (160 by 100) is placed at X, Y. Writes "ready" once shown and
// "drag N: ACTION" when a drag has ended.
#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

namespace {

const char* ActionName(Qt::DropAction action) {
  switch (action) {
    case Qt::CopyAction: return "copy";
    case Qt::MoveAction: return "move";
    case Qt::LinkAction: return "link";
    case Qt::IgnoreAction: return "ignored";
    default: return "other";
  }
}

class DragSource : public QWidget {
 public:
  explicit DragSource(QStringList urls) : urls_(std::move(urls)) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), QColor(0xe0, 0xf0, 0xe0));
    p.drawText(rect(), Qt::AlignCenter, QStringLiteral("drag %1/%2").arg(next_ + 1).arg(urls_.size()));
  }
  void showEvent(QShowEvent*) override {
    std::fprintf(stderr, "ready\n");
    std::fflush(stderr);
  }
  void mousePressEvent(QMouseEvent* event) override {
    if (event->button() != Qt::LeftButton || next_ >= urls_.size()) return;
    const QUrl url(urls_[next_]);
    auto* data = new QMimeData;
    data->setUrls({url});
    if (!url.isLocalFile()) data->setText(url.toString());
    auto* drag = new QDrag(this);
    drag->setMimeData(data);
    const Qt::DropAction action =
        url.isLocalFile() ? drag->exec(Qt::MoveAction | Qt::CopyAction | Qt::LinkAction, Qt::MoveAction)
                          : drag->exec(Qt::CopyAction | Qt::LinkAction, Qt::CopyAction);
    ++next_;
    std::fprintf(stderr, "drag %lld: %s\n", static_cast<long long>(next_), ActionName(action));
    std::fflush(stderr);
    update();
  }

 private:
  QStringList urls_;
  qsizetype next_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s TITLE X Y URL...\n", argv[0]);
    return 2;
  }
  QApplication app(argc, argv);
  QStringList urls;
  for (int i = 4; i < argc; ++i) urls << QString::fromUtf8(argv[i]);
  DragSource window(urls);
  window.setWindowTitle(QString::fromUtf8(argv[1]));
  window.setGeometry(std::atoi(argv[2]), std::atoi(argv[3]), 160, 100);
  window.show();
  return app.exec();
}
