#include "ui/keyconfigdialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "os/desktop.h"
#include "ui/qttext.h"

namespace zentu::ui {

KeyConfigDialog::KeyConfigDialog(const KeyConfig& general, const KeyConfig& editor, QWidget* parent)
    : QDialog(parent), lists_{general, editor} {
  setObjectName(QStringLiteral("key config"));
  setWindowTitle(U("キー設定"));
  tabs_ = new QTabWidget;
  for (int list = 0; list < 2; ++list) {
    auto* view = new QTreeWidget;
    view->setObjectName(list == 0 ? QStringLiteral("general keys") : QStringLiteral("editor keys"));
    view->setColumnCount(2);
    view->setHeaderLabels({U("操作"), U("キー")});
    view->setRootIsDecorated(false);
    view->setUniformRowHeights(true);
    view->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    view->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    views_[static_cast<size_t>(list)] = view;
    tabs_->addTab(view, list == 0 ? U("全般操作") : U("エディタ操作"));
    connect(view, &QTreeWidget::currentItemChanged, this, [this, view] {
      if (view == views_[static_cast<size_t>(Shown())]) ShowBindingOf(view->indexOfTopLevelItem(view->currentItem()));
    });
    Fill(list);
  }
  connect(tabs_, &QTabWidget::currentChanged, this, [this] {
    QTreeWidget* view = views_[static_cast<size_t>(Shown())];
    ShowBindingOf(view->indexOfTopLevelItem(view->currentItem()));
  });

  ctrl_ = new QCheckBox(QStringLiteral("Ctrl"));
  alt_ = new QCheckBox(QStringLiteral("Alt"));
  shift_ = new QCheckBox(QStringLiteral("Shift"));
  key_ = new QComboBox;
  key_->setObjectName(QStringLiteral("key"));
  key_->addItem(U("(なし)"), -1);
  for (int i = 0; i < kKeyNameCount; ++i) key_->addItem(QString::fromLatin1(KeyName(i).data(), KeyName(i).size()), i);
  auto* assign = new QPushButton(U("設定(&S)"));
  auto* clear = new QPushButton(U("クリア(&C)"));
  auto* reset = new QPushButton(U("初期化(&R)"));
  connect(assign, &QPushButton::clicked, this, [this] { (void)AssignSelected(); });
  connect(clear, &QPushButton::clicked, this, [this] { ClearSelected(); });
  connect(reset, &QPushButton::clicked, this, [this] { ResetShown(); });

  auto* keys = new QHBoxLayout;
  keys->addWidget(ctrl_);
  keys->addWidget(alt_);
  keys->addWidget(shift_);
  keys->addWidget(new QLabel(U("キー:")));
  keys->addWidget(key_, 1);
  keys->addWidget(assign);
  keys->addWidget(clear);
  keys->addStretch();
  keys->addWidget(reset);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->button(QDialogButtonBox::Cancel)->setText(U("キャンセル"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_, 1);
  layout->addLayout(keys);
  layout->addWidget(new QLabel(U("ウインドウを表示と取り込みの操作は、他のアプリケーションを使用中でも働きます．")));
  layout->addWidget(buttons);
  resize(620, 560);
  SelectRow(0);
}

int KeyConfigDialog::Shown() const { return tabs_ && tabs_->currentIndex() == 1 ? 1 : 0; }

void KeyConfigDialog::Fill(int list) {
  QTreeWidget* view = views_[static_cast<size_t>(list)];
  const int current = view->currentItem() ? view->indexOfTopLevelItem(view->currentItem()) : 0;
  view->clear();
  for (const KeyBinding& b : lists_[static_cast<size_t>(list)].bindings)
    view->addTopLevelItem(new QTreeWidgetItem({Q(b.name), QString::fromStdString(CombinationText(b.Combination()))}));
  if (QTreeWidgetItem* item = view->topLevelItem(current)) view->setCurrentItem(item);
}

void KeyConfigDialog::ShowBindingOf(int row) {
  if (!key_ || !tabs_) return;  // still being built
  const KeyConfig& list = lists_[static_cast<size_t>(Shown())];
  if (row < 0 || static_cast<size_t>(row) >= list.bindings.size()) return;
  SetCombination(list.bindings[static_cast<size_t>(row)].Combination());
}

void KeyConfigDialog::SetCombination(const KeyCombination& c) {
  ctrl_->setChecked(c.ctrl);
  alt_->setChecked(c.alt);
  shift_->setChecked(c.shift);
  key_->setCurrentIndex(std::max(0, key_->findData(c.key)));
}

void KeyConfigDialog::SelectRow(int row) {
  QTreeWidget* view = views_[static_cast<size_t>(Shown())];
  if (QTreeWidgetItem* item = view->topLevelItem(row)) view->setCurrentItem(item);
  ShowBindingOf(row);
}

void KeyConfigDialog::ShowTab(int index) { tabs_->setCurrentIndex(index); }

bool KeyConfigDialog::AssignSelected() {
  const int list = Shown();
  QTreeWidget* view = views_[static_cast<size_t>(list)];
  const int row = view->indexOfTopLevelItem(view->currentItem());
  KeyConfig& config = lists_[static_cast<size_t>(list)];
  if (row < 0 || static_cast<size_t>(row) >= config.bindings.size()) return false;
  const KeyCombination c{ctrl_->isChecked(), alt_->isChecked(), shift_->isChecked(), key_->currentData().toInt()};
  size_t with = 0;
  switch (CheckBinding(config, static_cast<size_t>(row), c, &with)) {
    case BindingCheck::NeedsModifier:
      os::MessageBox(os::SJ("F1-F12 以外は単独では指定できません．"), os::SJ("エラー"));
      ShowBindingOf(row);
      return false;
    case BindingCheck::Clash:
      os::MessageBox(os::SJ("このキーは既に「") + config.bindings[with].name + os::SJ("」に割り当てられています．"),
                     os::SJ("エラー"));
      ShowBindingOf(row);
      return false;
    case BindingCheck::Ok: break;
  }
  config.bindings[static_cast<size_t>(row)].Set(c);
  RebuildCommandMap(config);
  Fill(list);
  return true;
}

void KeyConfigDialog::ClearSelected() {
  SetCombination({});
  (void)AssignSelected();
}

void KeyConfigDialog::ResetShown() {
  if (os::MessageBox(os::SJ("キー設定を初期化してよいですか？"), os::SJ("確認"), os::Buttons::YesNo, os::IDNO) != os::IDYES)
    return;
  const int list = Shown();
  KeyConfig& config = lists_[static_cast<size_t>(list)];
  DeclareActions(config, list == 0 ? KeyList::General : KeyList::Editor);
  ApplyDefaultKeys(config);
  Fill(list);
  SelectRow(0);
}

}  // namespace zentu::ui
