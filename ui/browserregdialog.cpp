#include "ui/browserregdialog.h"

#include <QCheckBox>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <vector>

#include "ui/qttext.h"

namespace zentu::ui {
namespace {

BrowserIntegrationDialog& Replacement() {
  static BrowserIntegrationDialog dialog;
  return dialog;
}

// The check boxes in the dialog's order, with the group each stands for.
struct Box {
  const char* text;
  BrowserGroup group;
};
constexpr Box kBoxes[] = {
    {"Zentuでこのページを取り込む(&1)", kGroupPage},
    {"Zentuで全てのリンクを取り込む(&2)", kGroupAllLinks},
    {"Zentuで選択範囲を取り込む(&3)", kGroupSelection},
    {"Zentuで選択範囲とリンクを取り込む(&4)", kGroupSelectionLinks},
    {"Zentuでこのサイトを取り込む(&5)", kGroupSite},
    {"Zentuでこのページを登録(&6)", kGroupRegister},
    {"Zentuで選択範囲をテキスト形式で取り込む(&7)", kGroupSelectionText},
    {"Zentuでこのページをリストに登録せずに取り込む", kGroupPageOnly},
    {"ツールメニューへ取り込みメニューを追加（PDF用）", kGroupToolbar},
};

}  // namespace

bool ShowBrowserIntegrationDialog(QWidget* parent, BrowserGroupFlags& flags) {
  QDialog dialog(parent);
  dialog.setObjectName(QStringLiteral("BrowserIntegrationDialog"));
  dialog.setWindowTitle(U("IE右クリック登録内容設定"));
  auto* layout = new QVBoxLayout(&dialog);
  std::vector<QCheckBox*> boxes;
  for (const Box& b : kBoxes) {
    auto* box = new QCheckBox(U(b.text), &dialog);
    box->setChecked(flags[static_cast<size_t>(b.group)]);
    layout->addWidget(box);
    boxes.push_back(box);
  }
  layout->addWidget(new QLabel(U("ダウンローダ設定している場合は指定のダウンローダで取り込みます"), &dialog));
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  auto* apply = new QPushButton(U("更新"), &dialog);
  auto* cancel = new QPushButton(U("ｷｬﾝｾﾙ"), &dialog);
  apply->setDefault(true);
  buttons->addWidget(apply);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
  QObject::connect(apply, &QPushButton::clicked, &dialog, &QDialog::accept);
  QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
  if (dialog.exec() != QDialog::Accepted) return false;
  for (size_t i = 0; i < boxes.size(); ++i) flags[static_cast<size_t>(kBoxes[i].group)] = boxes[i]->isChecked();
  return true;
}

void SetBrowserIntegrationDialog(BrowserIntegrationDialog dialog) { Replacement() = std::move(dialog); }

BrowserIntegrationDialog CurrentBrowserIntegrationDialog(QWidget* parent) {
  if (Replacement()) return Replacement();
  return [parent](BrowserGroupFlags& flags) { return ShowBrowserIntegrationDialog(parent, flags); };
}

}  // namespace zentu::ui
