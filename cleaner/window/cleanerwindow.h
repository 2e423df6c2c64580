// The windows of zentucleaner: the main window with its menu and counters,
// the log window, and the dialog with the checked list of files to remove.
#pragma once
#include <QDialog>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <atomic>
#include <thread>

#include "cleaner/cleaner.h"

class QAction;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace zentu::cleaner {

class LogView : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit LogView(QWidget* parent = nullptr);
  ~LogView() override;
  // On the UI thread: `replaces` last lines give way to `line`.
  void Put(const QString& line, int replaces);

 private:
  int observer_ = 0;
};

class ResultDialog : public QDialog {
  Q_OBJECT
 public:
  ResultDialog(const Settings& settings, QWidget* parent);
  ~ResultDialog() override;
  void Start(Mode mode);
  void ShowList(const std::vector<Orphan>& orphans);
  void SetButtonsEnabled(bool on);
  int Count() const;
  // Set by the picture mode: messages are logged, never asked.
  bool unattended = false;

 signals:
  void closedByUser();

 private:
  void CheckAll(bool on);
  void Filter();
  void Remove(bool erase);
  void Finished(std::vector<int> rows);

  const Settings& settings_;
  Mode mode_ = Mode::Data;
  std::vector<Orphan> orphans_;
  QTreeWidget* list_ = nullptr;
  std::vector<QPushButton*> buttons_;
  std::thread worker_;
  bool busy_ = false;
};

class CleanerWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit CleanerWindow(const Settings& settings, bool showLog);
  ~CleanerWindow() override;
  bool LogShown() const;
  // Runs a detection at once; the picture mode.
  void Detect(Mode mode, bool followLinks);
  ResultDialog* Dialog() const { return dialog_; }
  bool unattended = false;

 signals:
  void listShown(int count);

 private:
  void Counts(const Counters& c);
  void Done(Result result);
  void SetMenuEnabled(bool on);

  const Settings& settings_;
  LogView* log_ = nullptr;
  QLabel* counts_ = nullptr;
  ResultDialog* dialog_ = nullptr;
  std::vector<QAction*> commands_;
  std::thread worker_;
  std::atomic<bool> stop_{false};
  bool busy_ = false;
  Mode mode_ = Mode::Data;
};

}  // namespace zentu::cleaner
