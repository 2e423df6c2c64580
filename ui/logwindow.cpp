#include "ui/logwindow.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QScrollBar>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>
#include <mutex>

#include "os/log.h"
#include "ui/qttext.h"
#include "ui/uithread.h"

namespace zentu::ui {
namespace {

// Lines reach the window from any thread: they wait here for the UI thread.
// Process-wide, so a writer never races the window's destruction.
struct LogInbox {
  std::mutex mutex;
  std::vector<std::pair<std::string, int>> lines;
  bool posted = false;
  LogWindow* window = nullptr;  // UI thread only
};
LogInbox& Inbox() {
  static LogInbox* inbox = new LogInbox;  // never destroyed: threads may log during exit
  return *inbox;
}

void Deliver() {
  LogInbox& inbox = Inbox();
  if (inbox.window) {
    inbox.window->Drain();
    return;
  }
  // No window to show them: the log itself keeps the lines.
  std::lock_guard lock(inbox.mutex);
  inbox.lines.clear();
  inbox.posted = false;
}

}  // namespace

// --- LogModel ----------------------------------------------------------------------

void LogModel::Apply(const std::vector<std::pair<std::string, int>>& lines) {
  // Net effect of the batch: rows to drop at the end of what is shown, then rows to add.
  std::vector<QString> add;
  int drop = 0;
  const int shown = static_cast<int>(rows_.size());
  for (const auto& [line, replaces] : lines) {
    int r = std::clamp(replaces, 0, 3);
    while (r > 0 && !add.empty()) {
      add.pop_back();
      --r;
    }
    drop = std::min(shown, drop + r);
    add.push_back(Q(line));
  }
  if (drop > 0) {
    beginRemoveRows({}, shown - drop, shown - 1);
    rows_.resize(static_cast<size_t>(shown - drop));
    endRemoveRows();
  }
  if (!add.empty()) {
    const int at = static_cast<int>(rows_.size());
    beginInsertRows({}, at, at + static_cast<int>(add.size()) - 1);
    for (QString& s : add) rows_.push_back(std::move(s));
    endInsertRows();
  }
  const int excess = static_cast<int>(rows_.size()) - kMaxRows;
  if (excess > 0) {
    beginRemoveRows({}, 0, excess - 1);
    rows_.erase(rows_.begin(), rows_.begin() + excess);
    endRemoveRows();
  }
}

void LogModel::Clear() {
  beginResetModel();
  rows_.clear();
  endResetModel();
}

QString LogModel::Line(int row) const {
  if (row < 0 || row >= static_cast<int>(rows_.size())) return {};
  return rows_[static_cast<size_t>(row)];
}

int LogModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int LogModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 1; }

QVariant LogModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || index.column() != 0) return {};
  return Line(index.row());
}

QVariant LogModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && section == 0 && role == Qt::DisplayRole) return QStringLiteral("Log");
  return {};
}

// --- LogWindow -------------------------------------------------------------------------

LogWindow::LogWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("LogView"));
  setWindowTitle(QStringLiteral("LogView"));
  model_ = new LogModel(this);
  view_ = new QTreeView(this);
  view_->setModel(model_);
  view_->setRootIsDecorated(false);
  view_->setItemsExpandable(false);
  view_->setUniformRowHeights(true);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view_->setTextElideMode(Qt::ElideRight);
  view_->header()->setStretchLastSection(false);
  view_->header()->resizeSection(0, 800);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(view_);
  setGeometry(100, 100, 800, 500);

  // What was logged before the window existed, then everything after.
  LogInbox& inbox = Inbox();
  inbox.window = this;
  observer_ = log::AddObserver([](const std::string& line, int replaces) {
    LogInbox& box = Inbox();
    std::lock_guard lock(box.mutex);
    box.lines.emplace_back(line, replaces);
    if (!box.posted) {
      box.posted = true;
      PostToUi(Deliver);
    }
  });
  std::vector<std::pair<std::string, int>> earlier;
  for (std::string& line : log::Lines()) earlier.emplace_back(std::move(line), 0);
  {
    // Lines queued between the observer and the copy are in the copy already.
    std::lock_guard lock(inbox.mutex);
    inbox.lines.clear();
    inbox.posted = false;
  }
  model_->Apply(earlier);
  view_->scrollToBottom();
}

LogWindow::~LogWindow() {
  log::RemoveObserver(observer_);
  LogInbox& inbox = Inbox();
  if (inbox.window == this) inbox.window = nullptr;
}

void LogWindow::Drain() {
  std::vector<std::pair<std::string, int>> lines;
  {
    LogInbox& inbox = Inbox();
    std::lock_guard lock(inbox.mutex);
    lines.swap(inbox.lines);
    inbox.posted = false;
  }
  if (lines.empty()) return;
  model_->Apply(lines);
  view_->scrollToBottom();
}

void LogWindow::Place(const Profile& profile) {
  const WindowRect& r = profile.LogViewWindowSize;
  if (r.width > 0 && r.height > 0) setGeometry(r.left, r.top, r.width, r.height);
}

void LogWindow::StoreInto(Profile& profile) const {
  const QRect g = geometry();
  profile.LogViewWindowSize = {g.x(), g.y(), g.width(), g.height()};
  profile.LogViewFlag = isVisible();
}

void LogWindow::closeEvent(QCloseEvent* event) {
  // Closing only hides: the log keeps running.
  StoreInto(CurrentProfile());
  event->ignore();
  hide();
  CurrentProfile().LogViewFlag = false;
}

void LogWindow::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  if (isVisible()) StoreInto(CurrentProfile());
}

void LogWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (isVisible()) StoreInto(CurrentProfile());
}

}  // namespace zentu::ui
