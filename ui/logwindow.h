// The log window "LogView": every log line in a one-column list, progress
// lines replacing the last rows, hidden unless the user asks for it. Closing
// hides it and keeps its place in the profile.
#pragma once
#include <QAbstractTableModel>
#include <QStringList>
#include <QWidget>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "store/profile.h"

class QTreeView;

namespace zentu::ui {

class LogModel : public QAbstractTableModel {
 public:
  // Rows kept; older rows go first (the log file keeps them when debugging).
  static constexpr int kMaxRows = 200000;

  explicit LogModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}
  // Applies lines in order; `replaces` removes that many last rows first.
  void Apply(const std::vector<std::pair<std::string, int>>& lines);
  void Clear();
  QString Line(int row) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

 private:
  std::deque<QString> rows_;
};

class LogWindow : public QWidget {
 public:
  explicit LogWindow(QWidget* parent = nullptr);
  ~LogWindow() override;

  LogModel* model() const { return model_; }
  QTreeView* view() const { return view_; }
  // Place from the profile's [LogView] WindowSize.
  void Place(const Profile& profile);
  // The window's place and visibility into the profile.
  void StoreInto(Profile& profile) const;
  // Takes the lines that arrived since the last call (UI thread).
  void Drain();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  LogModel* model_;
  QTreeView* view_;
  int observer_ = 0;
};

}  // namespace zentu::ui
