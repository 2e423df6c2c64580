#include "ui/web/blocklistdialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <vector>

#include "browser/lists.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "ui/qttext.h"

namespace zentu::ui {
namespace {

// The file's readers take lines of 2048 bytes with the line end.
constexpr size_t kEntryBytes = 2046;

}  // namespace

BlockListDialog::BlockListDialog(QWidget* parent, std::string path)
    : QDialog(parent), path_(std::move(path)), list_(new QListWidget), entry_(new QLineEdit) {
  setWindowTitle(U("自動的に閉じるURLに関する設定（自動クローズ）"));
  setObjectName(QStringLiteral("block list dialog"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(U("URLにこの文字列を含むポップアップウインドウは開きません")));
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  layout->addWidget(list_, 1);
  auto* row = new QHBoxLayout;
  row->addWidget(entry_, 1);
  auto* add = new QPushButton(U("追加(&A)"));
  auto* remove = new QPushButton(U("削除(&D)"));
  add->setAutoDefault(false);
  remove->setAutoDefault(false);
  row->addWidget(add);
  row->addWidget(remove);
  layout->addLayout(row);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  layout->addWidget(buttons);
  connect(add, &QPushButton::clicked, this, [this] { AddEntry(); });
  connect(remove, &QPushButton::clicked, this, [this] { DeleteSelected(); });
  connect(entry_, &QLineEdit::returnPressed, this, [this] { AddEntry(); });
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  resize(520, 360);
  Fill();
}

void BlockListDialog::Fill() {
  list_->clear();
  for (const std::string& e : BlockListEntries()) list_->addItem(Q(e));
}

bool BlockListDialog::AddEntry() {
  // A line break would split the entry in two once written; a tab or blank
  // at either end would never match what the user meant.
  QString text = entry_->text();
  text.replace(QLatin1Char('\r'), QLatin1Char(' '));
  text.replace(QLatin1Char('\n'), QLatin1Char(' '));
  text.remove(QChar(0));
  std::string entry = os::CutSjis(S(text.trimmed()), kEntryBytes);
  // Entries of one or two bytes are dropped by the reader; a "#" line is a comment.
  if (entry.size() < 2 || entry[0] == '#') return false;
  std::vector<std::string> entries = BlockListEntries();
  entries.push_back(entry);
  SetBlockListEntries(std::move(entries));
  Fill();
  list_->setCurrentRow(list_->count() - 1);
  entry_->clear();
  return true;
}

bool BlockListDialog::DeleteSelected() {
  int row = list_->currentRow();
  std::vector<std::string> entries = BlockListEntries();
  if (row < 0 || row >= static_cast<int>(entries.size()) || list_->selectedItems().isEmpty()) {
    os::MessageBox(os::SJ("何も選択されていませんが・・・"), "Zentu");
    return false;
  }
  if (os::MessageBox(os::SJ("ほんとにこのアイテムを削除してもいいですか？\r\n削除したらキャンセルを選んでも戻りません．"),
                     "Zentu", os::Buttons::OkCancel, os::IDOK) != os::IDOK)
    return false;
  entries.erase(entries.begin() + row);
  SetBlockListEntries(std::move(entries));
  Fill();
  return true;
}

void BlockListDialog::done(int result) {
  if (!path_.empty()) (void)SaveBlockList(path_);
  QDialog::done(result);
}

void EditBlockList(QWidget* parent, const std::string& path) {
  BlockListDialog dialog(parent, path);
  dialog.exec();
}

}  // namespace zentu::ui
