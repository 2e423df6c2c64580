#include "ui/texteditor.h"

#include "os/cp932.h"
#include "os/desktop.h"
#include "ui/finddialog.h"
#include "ui/qttext.h"

namespace zentu::ui {

TextEditor::TextEditor(QWidget* parent) : EditorView(parent), text_(std::make_unique<TextTab>(Model())) {
  connect(this, &EditorView::hostCommand, this, &TextEditor::OnHostCommand);
}

TextEditor::~TextEditor() {
  // Leaving the editor leaves its text: it is saved, or an empty untitled note goes.
  (void)text_->CloseText();
}

int TextEditor::Open(std::string_view path, TreeNode* node) {
  const int ok = text_->OpenText(path, node);
  setEnabled(!text_->Disabled());
  viewport()->update();
  shownTitle_ = Q(text_->TabTitle());
  emit titleChanged(shownTitle_);
  return ok;
}

int TextEditor::Save(bool closing) {
  const int ok = text_->SaveText(closing);
  if (!ok) os::Notice(os::SJ("保存に失敗しました"));
  const QString title = Q(text_->TabTitle());
  if (title != shownTitle_) {
    shownTitle_ = title;
    emit titleChanged(title);
  }
  viewport()->update();
  return ok;
}

int TextEditor::Close() {
  if (!text_->IsOpen()) return 1;
  const std::string path = text_->Path();
  const int ok = text_->CloseText();
  if (!ok) os::MessageBox(os::SJ("保存に失敗しました") + "\r\n" + path, os::SJ("エラー"));
  viewport()->update();
  return ok;
}

void TextEditor::TakeKeysBack() {
  // The keys come back to the text the dialog worked on.
  window()->activateWindow();
  setFocus(Qt::OtherFocusReason);
}

void TextEditor::OnHostCommand(int id, const QString& link) {
  switch (id) {
    case 40306: (void)Save(false); return;
    case 40317:  // find next without a finder: the find dialog
    case 40318: {
      FindDialog dialog(Model(), FindDialog::kFind, this);
      dialog.exec();
      TakeKeysBack();
      return;
    }
    case 40372: {
      FindDialog dialog(Model(), FindDialog::kReplace, this);
      dialog.exec();
      TakeKeysBack();
      return;
    }
    case 40320:
      RunGoToLineDialog(Model(), this);
      TakeKeysBack();
      return;
    default: emit linkCommand(id, link);
  }
}

}  // namespace zentu::ui
