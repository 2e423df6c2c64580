// The settings dialog of the pop-up block list: the entries of closeurl.dat,
// one added from the line below the list, one deleted after a confirmation.
// Changes reach the live list at once (a deleted entry stays deleted even
// when the dialog is cancelled); closing the dialog writes the file.
#pragma once
#include <QDialog>
#include <string>

class QLineEdit;
class QListWidget;
class QPushButton;

namespace zentu::ui {

class BlockListDialog : public QDialog {
 public:
  // `path`: closeurl.dat, written when the dialog closes (empty: not written).
  BlockListDialog(QWidget* parent, std::string path);

  // The entry line: one entry without line breaks; false when nothing was added.
  bool AddEntry();
  // The selected entry, after "really delete?"; false when nothing went.
  bool DeleteSelected();

  QListWidget* List() const { return list_; }
  QLineEdit* Entry() const { return entry_; }

  void done(int result) override;

 private:
  void Fill();

  std::string path_;
  QListWidget* list_;
  QLineEdit* entry_;
};

// Runs the dialog modally.
void EditBlockList(QWidget* parent, const std::string& path);

}  // namespace zentu::ui
