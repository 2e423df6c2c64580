#include "ui/finddialog.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "editor/kedit.h"
#include "os/cp932.h"
#include "os/log.h"
#include "ui/qttext.h"

namespace zentu::ui {
namespace {

// The fields are read with a limit of 10000 bytes.
std::string Field(const QLineEdit* field) {
  std::string s = S(field->text());
  if (s.size() > CKFind::kResultSize - 1) s = os::CutSjis(s, CKFind::kResultSize - 1);
  return s;
}

}  // namespace

FindDialog::FindDialog(CKEdit& edit, Mode mode, QWidget* parent) : QDialog(parent), edit_(edit), mode_(mode) {
  setWindowTitle(U(mode == kFind ? "検索" : "置換"));
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  search_ = new QLineEdit;
  form->addRow(U(mode == kFind ? "検索：" : "変換前"), search_);
  if (mode == kReplace) {
    replace_ = new QLineEdit;
    form->addRow(U("変換後"), replace_);
  }
  layout->addLayout(form);
  regExp_ = new QCheckBox(U("正規表現"));
  matchCase_ = new QCheckBox(U("大文字小文字を区別"));
  layout->addWidget(regExp_);
  layout->addWidget(matchCase_);
  auto* buttons = new QHBoxLayout;
  auto button = [&](const char* text, auto&& onClick) {
    auto* b = new QPushButton(U(text));
    b->setAutoDefault(false);
    connect(b, &QPushButton::clicked, this, onClick);
    buttons->addWidget(b);
    return b;
  };
  if (mode == kFind) {
    button("検索(&F)", [this] { FindPressed(true); })->setDefault(true);
    button("連続検索(&N)", [this] { FindPressed(false); });
  } else {
    button("置換(&R)", [this] { ReplacePressed(); })->setDefault(true);
    button("全て置換(&A)", [this] { ReplaceAllPressed(); });
  }
  layout->addLayout(buttons);

  // The last search comes back; the regular-expression box always starts clear.
  if (const CKFind* f = edit_.CurrentFinder()) {
    search_->setText(Q(f->SearchString()));
    matchCase_->setChecked(f->matchCase);
  }
  auto changed = [this] { session_.Changed(); };
  connect(search_, &QLineEdit::textChanged, this, changed);
  if (replace_) connect(replace_, &QLineEdit::textChanged, this, changed);
  connect(regExp_, &QCheckBox::toggled, this, changed);
  connect(matchCase_, &QCheckBox::toggled, this, changed);
}

bool FindDialog::SetUp(bool replaceMode) {
  CKFind& f = edit_.Finder();
  if (!SetUpFinder(f, Field(search_), matchCase_->isChecked(), regExp_->isChecked(), replaceMode)) return false;
  if (replaceMode && replace_) f.SetReplaceString(Field(replace_));
  edit_.SetCurrentFinder(&f);
  return true;
}

void FindDialog::FindPressed(bool close) {
  if (!SetUp(false)) return;  // an empty search field does nothing at all
  CKFind& f = edit_.Finder();
  if (!edit_.FindNext(f)) {
    if (f.Refused()) return;
    ShowNotFound();
  }
  if (close) accept();
}

void FindDialog::ReplacePressed() {
  if (const CKFind* f = edit_.CurrentFinder()) WriteLog("replace to: %s", f->ReplaceResult().c_str());
  if (!SetUp(true)) return;
  if (session_.Replace(edit_, edit_.Finder()) == KReplaceSession::kNotFound) ShowNotFound();
}

void FindDialog::ReplaceAllPressed() {
  if (const CKFind* f = edit_.CurrentFinder()) WriteLog("replace to: %s", f->ReplaceResult().c_str());
  if (!SetUp(true)) return;
  (void)KReplaceSession::ReplaceAll(edit_, edit_.Finder());
  accept();
}

void RunGoToLineDialog(CKEdit& edit, QWidget* parent) {
  QInputDialog dialog(parent);
  dialog.setWindowTitle(U("指定行へ移動"));
  dialog.setLabelText(U("行番号"));
  dialog.setInputMode(QInputDialog::TextInput);
  if (auto* field = dialog.findChild<QLineEdit*>()) field->setMaxLength(100);
  if (dialog.exec() != QDialog::Accepted) return;
  edit.GoToLineText(S(dialog.textValue()));
}

}  // namespace zentu::ui
