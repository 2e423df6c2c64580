// The settings dialog: the profile's everyday options on four pages (general,
// capture, download manager colours, log). It edits a copy; OK hands the copy
// to `apply`, which answers false when the settings cannot be taken now (the
// dialog then stays open with everything the user entered).
#pragma once
#include <QDialog>
#include <functional>
#include <vector>

#include "store/profile.h"

class QTabWidget;
class QWidget;

namespace zentu::ui {

class SettingsDialog : public QDialog {
 public:
  enum Page { kPageGeneral = 0, kPageCapture, kPageColours, kPageLog };

  SettingsDialog(const Profile& profile, std::function<bool(const Profile&)> apply, QWidget* parent = nullptr);
  ~SettingsDialog() override;

  void ShowPage(Page page);
  // The profile with the dialog's current entries.
  Profile Edited() const;
  // The editor of a key, for tests and keyboard users ("TimeOut", "ErrorTextColor", ...).
  QWidget* Editor(const char* key) const;

  void accept() override;

 private:
  struct Field;
  void AddFields(QWidget* page, int pageIndex);

  Profile base_;
  std::function<bool(const Profile&)> apply_;
  QTabWidget* tabs_;
  std::vector<Field> fields_;
  std::vector<QWidget*> editors_;
};

}  // namespace zentu::ui
