// The download manager window: one row per job of the capture queue, coloured
// by status, the running transfer in its status bar, and the commands that
// start, stop, re-download, copy, delete and clear.
//
// The queue reports its changes through a JobListener while it holds its own
// lock: the listener only records them, and the window applies them on the UI
// thread.
#pragma once
#include <QAbstractTableModel>
#include <QMainWindow>
#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "capture/job.h"
#include "store/profile.h"

class QLabel;
class QTableView;

namespace zentu::ui {

inline constexpr int kJobColumnCount = 10;

// What one row shows of a job (Shift_JIS texts, as the queue has them).
struct JobRow {
  std::string url;
  int status = kJobUntreated;
  bool fromLocal = false;
  int fromCache = -1;
  std::string type;
  uint32_t size = 0;
  int trials = 0;
  std::string message;
  std::string sourceUrl;
  std::string localFile;
};
JobRow JobRowFrom(const DownloadJob& job);
// The text of a column (Shift_JIS), as the list shows it.
std::string JobColumnText(const JobRow& row, int column);

class JobListModel : public QAbstractTableModel {
 public:
  explicit JobListModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}

  // Appends a row, or refills the row of the same URL.
  int AddRow(const JobRow& row);
  // Refills the row of the job's URL; false when there is none.
  bool UpdateRow(const JobRow& row);
  void RemoveUrl(const std::string& url);
  void Clear();
  // Header click: toggles the column's direction and sorts by it.
  void SortByColumn(int column);
  int Direction(int column) const { return direction_[static_cast<size_t>(column)]; }

  const JobRow* RowAt(int row) const;
  int RowOf(const std::string& url) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

 private:
  void Reindex();
  std::vector<JobRow> rows_;
  std::unordered_map<std::string, int> rowOf_;
  std::array<int, kJobColumnCount> direction_{};
};

class DownloadWindow : public QMainWindow {
 public:
  explicit DownloadWindow(DownloadManager& manager, QWidget* parent = nullptr);
  ~DownloadWindow() override;

  JobListModel* model() const { return model_; }
  QTableView* view() const { return view_; }
  void Place(const Profile& profile);
  void StoreInto(Profile& profile) const;
  // Shows, focuses and raises the window, or hides it.
  void ShowWindow(bool show);

  // Status bar: the URL being received, the byte count, the state text.
  void ShowProgress(const std::string& url, uint64_t bytes, uint64_t total);
  void ShowState(const QString& text);
  QString StatusPart(int part) const;

  // The commands of the menus.
  void StartDownload();
  void StopDownload();
  void ClearList();  // asks first
  void ClearListNow();
  void RedownloadSelected();
  void CopySelected();
  void DeleteSelected();
  std::vector<std::string> SelectedUrls() const;

  // The settings dialog, when the program has one.
  std::function<void()> openSettings;
  // Redraws the rows after the status colours changed.
  void Restyle();
  // The progress texts go to the main window's status bar too.
  std::function<void(const QString& url, const QString& bytes)> onProgress;

  // Applies what the queue reported since the last call (UI thread).
  void Drain();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  class Listener;
  void ContextMenu(const QPoint& pos);

  DownloadManager& manager_;
  JobListModel* model_;
  QTableView* view_;
  std::array<QLabel*, 3> parts_{};
  std::unique_ptr<Listener> listener_;
};

}  // namespace zentu::ui
