#include "ui/downloadwindow.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTableView>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "capture/http.h"
#include "capture/pipeline.h"
#include "os/desktop.h"
#include "os/log.h"
#include "os/path.h"
#include "ui/qttext.h"
#include "ui/treeicons.h"
#include "ui/uithread.h"

namespace zentu::ui {
namespace {

constexpr int kColumnWidths[kJobColumnCount] = {350, 50, 50, 50, 50, 70, 40, 150, 220, 220};
const char* const kColumnHeaders[kJobColumnCount] = {"URL",   "Status",  "From",    "Cache",    "Type",
                                                     "Bytes", "Try",     "Message", "Referrer", "Save"};
constexpr int kBytesColumn = 5;
constexpr size_t kProgressUrlChars = 500;

DownloadWindow* g_window = nullptr;  // UI thread only

// The running transfer, newest value only: a fast download reports after every read.
struct ProgressInbox {
  std::mutex mutex;
  std::string url;
  uint64_t bytes = 0, total = 0;
  bool posted = false;
};
ProgressInbox& Progress() {
  static ProgressInbox* inbox = new ProgressInbox;  // never destroyed: workers may report during exit
  return *inbox;
}

void DeliverProgress() {
  std::string url;
  uint64_t bytes, total;
  {
    ProgressInbox& p = Progress();
    std::lock_guard lock(p.mutex);
    url = p.url;
    bytes = p.bytes;
    total = p.total;
    p.posted = false;
  }
  if (g_window) g_window->ShowProgress(url, bytes, total);
}

QColor ToColor(const Rgb& c) { return QColor(c.red, c.green, c.blue); }

}  // namespace

// --- Rows --------------------------------------------------------------------------

JobRow JobRowFrom(const DownloadJob& job) {
  JobRow r;
  r.url = job.URL;
  r.status = job.Status;
  r.fromLocal = job.FromLocal;
  r.fromCache = job.FromCache;
  r.type = JobTypeLabel(job);
  r.size = job.Size;
  r.trials = job.Trials;
  r.message = job.Message;
  r.sourceUrl = job.SourceURL;
  r.localFile = job.LocalFile;
  return r;
}

std::string JobColumnText(const JobRow& r, int column) {
  char buf[32];
  switch (column) {
    case 0: return r.url;
    case 1: return JobStatusLabel(r.status);
    case 2: return r.fromLocal ? "Local" : "Net";
    case 3: return r.fromCache < 0 ? "" : r.fromCache == 0 ? "No" : "Yes";
    case 4: return r.type;
    case 5:
      if (r.status == kJobError) return "xxx";
      if (r.size != 0) {
        std::snprintf(buf, sizeof buf, "%u", r.size);
        return buf;
      }
      if (r.status == kJobComplete) return "---";
      return "";
    case 6:
      if (r.trials <= 0) return "";
      std::snprintf(buf, sizeof buf, "%d/%d", std::min(r.trials, kMaxTrials), kMaxTrials);
      return buf;
    case 7: return r.message;
    case 8: return r.sourceUrl.find("://") != std::string::npos ? r.sourceUrl : "";
    case 9: return r.localFile;
    default: return "";
  }
}

// --- Model -------------------------------------------------------------------------

void JobListModel::Reindex() {
  rowOf_.clear();
  rowOf_.reserve(rows_.size());
  for (size_t i = 0; i < rows_.size(); ++i) rowOf_[rows_[i].url] = static_cast<int>(i);
}

int JobListModel::AddRow(const JobRow& row) {
  auto it = rowOf_.find(row.url);
  if (it != rowOf_.end()) {
    rows_[static_cast<size_t>(it->second)] = row;
    emit dataChanged(index(it->second, 0), index(it->second, kJobColumnCount - 1));
    return it->second;
  }
  const int at = static_cast<int>(rows_.size());
  beginInsertRows({}, at, at);
  rows_.push_back(row);
  rowOf_[row.url] = at;
  endInsertRows();
  return at;
}

bool JobListModel::UpdateRow(const JobRow& row) {
  auto it = rowOf_.find(row.url);
  if (it == rowOf_.end()) return false;
  rows_[static_cast<size_t>(it->second)] = row;
  emit dataChanged(index(it->second, 0), index(it->second, kJobColumnCount - 1));
  return true;
}

void JobListModel::RemoveUrl(const std::string& url) {
  auto it = rowOf_.find(url);
  if (it == rowOf_.end()) return;
  const int row = it->second;
  beginRemoveRows({}, row, row);
  rows_.erase(rows_.begin() + row);
  Reindex();
  endRemoveRows();
}

void JobListModel::Clear() {
  beginResetModel();
  rows_.clear();
  rowOf_.clear();
  endResetModel();
}

void JobListModel::SortByColumn(int column) {
  if (column < 0 || column >= kJobColumnCount) return;
  int& dir = direction_[static_cast<size_t>(column)];
  dir = dir == 1 ? 2 : 1;
  const bool ascending = dir == 1;

  emit layoutAboutToBeChanged();
  const QModelIndexList before = persistentIndexList();
  std::vector<std::pair<std::string, int>> keys;
  for (const QModelIndex& i : before) keys.emplace_back(rows_[static_cast<size_t>(i.row())].url, i.column());

  if (column == kBytesColumn) {
    auto number = [](const JobRow& r) { return std::strtoull(JobColumnText(r, kBytesColumn).c_str(), nullptr, 10); };
    std::stable_sort(rows_.begin(), rows_.end(), [&](const JobRow& a, const JobRow& b) {
      return ascending ? number(a) < number(b) : number(b) < number(a);
    });
  } else {
    // Byte by byte, as the texts are stored.
    std::stable_sort(rows_.begin(), rows_.end(), [&](const JobRow& a, const JobRow& b) {
      const std::string ta = JobColumnText(a, column), tb = JobColumnText(b, column);
      return ascending ? ta < tb : tb < ta;
    });
  }
  Reindex();
  QModelIndexList after;
  for (auto& [url, col] : keys) after.push_back(index(RowOf(url), col));
  changePersistentIndexList(before, after);
  emit layoutChanged();
}

const JobRow* JobListModel::RowAt(int row) const {
  if (row < 0 || row >= static_cast<int>(rows_.size())) return nullptr;
  return &rows_[static_cast<size_t>(row)];
}

int JobListModel::RowOf(const std::string& url) const {
  auto it = rowOf_.find(url);
  return it == rowOf_.end() ? -1 : it->second;
}

int JobListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int JobListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kJobColumnCount; }

QVariant JobListModel::data(const QModelIndex& index, int role) const {
  const JobRow* r = RowAt(index.row());
  if (!r) return {};
  const int column = index.column();
  const bool known = r->status >= kJobError && r->status <= kJobComplete;
  switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole: {
      if (column == 9) {
        // The user reads native paths.
        if (auto native = os::ToNativePath(r->localFile)) return QString::fromUtf8(native->c_str());
      }
      return Q(JobColumnText(*r, column));
    }
    case Qt::DecorationRole:
      if (column == 0) return TreeImageList::Get().Icon(r->status + 1);
      return {};
    case Qt::TextAlignmentRole:
      if (column == kBytesColumn) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
      return {};
    case Qt::ForegroundRole:
      if (known) return QBrush(ToColor(CurrentProfile().StatusTextColor[static_cast<size_t>(r->status + 1)]));
      return {};
    case Qt::BackgroundRole:
      if (known) return QBrush(ToColor(CurrentProfile().StatusBackColor[static_cast<size_t>(r->status + 1)]));
      return {};
    default:
      return {};
  }
}

QVariant JobListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kJobColumnCount) return {};
  if (role == Qt::DisplayRole) return QString::fromLatin1(kColumnHeaders[section]);
  if (role == Qt::TextAlignmentRole && section == kBytesColumn) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
  return {};
}

// --- Listener ----------------------------------------------------------------------

// Called by the queue with its lock held: record and post, nothing more.
class DownloadWindow::Listener : public JobListener {
 public:
  enum class Kind { Added, Changed, Removed, Cleared };
  struct Event {
    Kind kind;
    JobRow row;
  };

  int JobAdded(const DownloadJob& job) override {
    std::lock_guard lock(mutex_);
    Push({Kind::Added, JobRowFrom(job)});
    return rows_++;
  }
  void JobChanged(const DownloadJob& job) override {
    std::lock_guard lock(mutex_);
    Push({Kind::Changed, JobRowFrom(job)});
  }
  void JobRemoved(const std::string& url) override {
    std::lock_guard lock(mutex_);
    JobRow r;
    r.url = url;
    Push({Kind::Removed, std::move(r)});
    if (rows_ > 0) --rows_;
  }
  void QueueCleared() override {
    std::lock_guard lock(mutex_);
    events_.clear();  // nothing before a clear matters any more
    Push({Kind::Cleared, {}});
    rows_ = 0;
  }

  std::vector<Event> Take() {
    std::lock_guard lock(mutex_);
    posted_ = false;
    std::vector<Event> out;
    out.swap(events_);
    return out;
  }
  void SetRows(int rows) {
    std::lock_guard lock(mutex_);
    rows_ = rows;
  }

 private:
  void Push(Event e) {
    events_.push_back(std::move(e));
    if (!posted_) {
      posted_ = true;
      PostToUi([] {
        if (g_window) g_window->Drain();
      });
    }
  }

  std::mutex mutex_;
  std::vector<Event> events_;
  bool posted_ = false;
  int rows_ = 0;
};

// --- Window ------------------------------------------------------------------------

DownloadWindow::DownloadWindow(DownloadManager& manager, QWidget* parent)
    : QMainWindow(parent), manager_(manager) {
  setObjectName(QStringLiteral("DownloadManager"));
  setWindowTitle(QStringLiteral("Download Manager"));
  setWindowIcon(TreeImageList::Get().AppIcon());

  model_ = new JobListModel(this);
  view_ = new QTableView(this);
  view_->setModel(model_);
  view_->setShowGrid(true);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view_->setWordWrap(false);
  view_->setTextElideMode(Qt::ElideRight);
  view_->verticalHeader()->hide();
  view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view_->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  view_->horizontalHeader()->setSectionsClickable(true);
  view_->horizontalHeader()->setHighlightSections(false);
  view_->horizontalHeader()->setStretchLastSection(false);
  for (int c = 0; c < kJobColumnCount; ++c) view_->horizontalHeader()->resizeSection(c, kColumnWidths[c]);
  view_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(view_->horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int c) { model_->SortByColumn(c); });
  connect(view_, &QWidget::customContextMenuRequested, this, [this](const QPoint& p) { ContextMenu(p); });
  setCentralWidget(view_);

  QMenu* general = menuBar()->addMenu(U("全般操作"));
  connect(general->addAction(U("ダウンロード開始(&S)")), &QAction::triggered, this, [this] { StartDownload(); });
  connect(general->addAction(U("ダウンロード停止(&P)")), &QAction::triggered, this, [this] { StopDownload(); });
  connect(general->addAction(U("すべてのアイテム削除(&A)")), &QAction::triggered, this, [this] { ClearList(); });
  QMenu* selection = menuBar()->addMenu(U("選択操作"));
  connect(selection->addAction(U("選択アイテムを再ダウンロード(&R)")), &QAction::triggered, this,
          [this] { RedownloadSelected(); });
  connect(selection->addAction(U("選択アイテムをコピー(&C)")), &QAction::triggered, this, [this] { CopySelected(); });
  connect(selection->addAction(U("選択アイテムを削除(&D)")), &QAction::triggered, this, [this] { DeleteSelected(); });
  QAction* settings = menuBar()->addAction(U("設定(&O)"));
  connect(settings, &QAction::triggered, this, [this] {
    if (openSettings) openSettings();
  });
  connect(menuBar()->addAction(U("閉じる(&C)")), &QAction::triggered, this, [this] { ShowWindow(false); });

  for (QLabel*& part : parts_) {
    part = new QLabel(this);
    part->setTextFormat(Qt::PlainText);
  }
  parts_[0]->setMinimumWidth(50);
  parts_[1]->setFixedWidth(150);
  parts_[2]->setFixedWidth(130);
  statusBar()->addWidget(parts_[0], 1);
  statusBar()->addPermanentWidget(parts_[1]);
  statusBar()->addPermanentWidget(parts_[2]);

  setGeometry(150, 150, 800, 500);
  g_window = this;

  // Rows for what is queued already, then every change the queue reports.
  listener_ = std::make_unique<Listener>();
  manager_.SetListener(listener_.get());
  std::vector<DownloadJob> jobs = manager_.Snapshot();
  for (const DownloadJob& job : jobs) model_->AddRow(JobRowFrom(job));
  listener_->SetRows(static_cast<int>(jobs.size()));
  SetHttpProgress([](const DownloadJob& job, uint64_t bytes) {
    ProgressInbox& p = Progress();
    std::lock_guard lock(p.mutex);
    p.url = job.URL;
    p.bytes = bytes;
    p.total = job.Size;
    if (!p.posted) {
      p.posted = true;
      PostToUi(DeliverProgress);
    }
  });
}

DownloadWindow::~DownloadWindow() {
  SetHttpProgress({});
  manager_.SetListener(nullptr);  // no call is under way once this returns
  if (g_window == this) g_window = nullptr;
}

void DownloadWindow::Drain() {
  for (Listener::Event& e : listener_->Take()) {
    switch (e.kind) {
      case Listener::Kind::Added:
      case Listener::Kind::Changed:
        model_->AddRow(e.row);
        break;
      case Listener::Kind::Removed:
        model_->RemoveUrl(e.row.url);
        break;
      case Listener::Kind::Cleared:
        model_->Clear();
        break;
    }
  }
}

void DownloadWindow::Place(const Profile& profile) {
  const WindowRect& r = profile.DownloadManagerWindowSize;
  if (r.width > 0 && r.height > 0) setGeometry(r.left, r.top, r.width, r.height);
}

void DownloadWindow::StoreInto(Profile& profile) const {
  const QRect g = geometry();
  profile.DownloadManagerWindowSize = {g.x(), g.y(), g.width(), g.height()};
}

void DownloadWindow::ShowWindow(bool visible) {
  if (!visible) {
    StoreInto(CurrentProfile());
    hide();
    return;
  }
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

void DownloadWindow::ShowProgress(const std::string& url, uint64_t bytes, uint64_t total) {
  std::string shown = url.size() > kProgressUrlChars ? url.substr(0, kProgressUrlChars) : url;
  parts_[0]->setText(Q(shown));
  parts_[1]->setText(total > 0 ? QStringLiteral("%1/%2 bytes").arg(bytes).arg(total)
                               : QStringLiteral("%1 bytes").arg(bytes));
  if (onProgress) onProgress(parts_[0]->text(), parts_[1]->text());
}

void DownloadWindow::Restyle() { view_->viewport()->update(); }

void DownloadWindow::ShowState(const QString& text) { parts_[2]->setText(text); }

QString DownloadWindow::StatusPart(int part) const {
  if (part < 0 || part > 2) return {};
  return parts_[static_cast<size_t>(part)]->text();
}

void DownloadWindow::StartDownload() { StartWorkers(); }

void DownloadWindow::StopDownload() { StopCapture(); }

void DownloadWindow::ClearList() {
  const int answer = os::MessageBox(
      os::Utf8ToSjis("ダウンロードマネージャのリストをクリアしてもよろしいですか？\r\n（取り込み済みのファイルは削除されません）"),
      os::Utf8ToSjis("確認"), os::Buttons::YesNo, os::IDNO);
  if (answer == os::IDYES) ClearListNow();
}

void DownloadWindow::ClearListNow() {
  os::Notice(os::Utf8ToSjis("クリアしています．お待ちください．"));
  parts_[0]->clear();
  parts_[1]->clear();
  ShowState(U("クリア中"));
  if (manager_.AnyWorkerRunning()) {
    // The stop procedure empties queue and list once every worker has ended.
    manager_.clearAfterStop = true;
    StopCapture();
    return;
  }
  manager_.Clear();
  Drain();
  ShowState(U("完了"));
}

std::vector<std::string> DownloadWindow::SelectedUrls() const {
  std::vector<int> rows;
  for (const QModelIndex& i : view_->selectionModel()->selectedRows()) rows.push_back(i.row());
  std::sort(rows.begin(), rows.end());
  std::vector<std::string> urls;
  for (int r : rows) {
    if (const JobRow* row = model_->RowAt(r)) urls.push_back(row->url);
  }
  return urls;
}

void DownloadWindow::RedownloadSelected() {
  for (const std::string& url : SelectedUrls()) {
    if (url.size() <= 1) continue;
    manager_.RedownloadJob(url, kJobUntreated);
  }
}

void DownloadWindow::CopySelected() {
  std::string text;
  for (const std::string& url : SelectedUrls()) {
    WriteLog(">> %s", url.c_str());
    text += url;
    text += "\r\n";
  }
  if (!text.empty()) QApplication::clipboard()->setText(Q(text));
}

void DownloadWindow::DeleteSelected() {
  for (const std::string& url : SelectedUrls()) {
    (void)manager_.RemoveJob(url);
    model_->RemoveUrl(url);
  }
}

void DownloadWindow::ContextMenu(const QPoint& pos) {
  const QModelIndex at = view_->indexAt(pos);
  if (!at.isValid()) return;
  if (!view_->selectionModel()->isRowSelected(at.row(), {})) view_->selectRow(at.row());
  QMenu menu(this);
  QAction* copy = menu.addAction(U("URLをコピー(&U)"));
  QAction* again = menu.addAction(U("再ダウンロード(&R)"));
  QAction* remove = menu.addAction(U("削除(&D)"));
  menu.addSeparator();
  menu.addAction(U("キャンセル(&C)"));
  QAction* chosen = menu.exec(view_->viewport()->mapToGlobal(pos));
  if (chosen == copy) CopySelected();
  else if (chosen == again) RedownloadSelected();
  else if (chosen == remove) DeleteSelected();
}

void DownloadWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  ShowWindow(false);
}

void DownloadWindow::moveEvent(QMoveEvent* event) {
  QMainWindow::moveEvent(event);
  if (isVisible()) StoreInto(CurrentProfile());
}

void DownloadWindow::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  if (isVisible()) StoreInto(CurrentProfile());
}

}  // namespace zentu::ui
