// The find ("検索") and replace ("置換") dialogs of the editor: modal, owned by
// the editor window, one class for both. They set up the editor's finder from
// their fields on every button and drive FindNext and the replace session.
#pragma once
#include <QDialog>

#include "editor/kfind.h"

class QCheckBox;
class QLineEdit;

namespace zentu {
class CKEdit;
}

namespace zentu::ui {

class FindDialog : public QDialog {
 public:
  enum Mode { kFind, kReplace };
  FindDialog(CKEdit& edit, Mode mode, QWidget* parent);

  QLineEdit* SearchField() const { return search_; }
  QLineEdit* ReplaceField() const { return replace_; }
  QCheckBox* RegExpBox() const { return regExp_; }
  QCheckBox* MatchCaseBox() const { return matchCase_; }
  // The buttons, as the dialog's keys and tests press them.
  void FindPressed(bool close);
  void ReplacePressed();
  void ReplaceAllPressed();

 private:
  bool SetUp(bool replaceMode);

  CKEdit& edit_;
  Mode mode_;
  QLineEdit* search_ = nullptr;
  QLineEdit* replace_ = nullptr;
  QCheckBox* regExp_ = nullptr;
  QCheckBox* matchCase_ = nullptr;
  KReplaceSession session_;
};

// The go-to-line dialog: one field of at most 100 characters.
void RunGoToLineDialog(CKEdit& edit, QWidget* parent);

}  // namespace zentu::ui
