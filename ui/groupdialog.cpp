#include "ui/groupdialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "os/cp932.h"
#include "os/desktop.h"
#include "ui/qttext.h"

namespace zentu::ui {
namespace {

constexpr size_t kGroupNameBytes = 2047;  // what group.dat reads back of a name
constexpr int kTitleRole = Qt::UserRole;  // the member's title as the collection keeps it

QByteArray Bytes(const std::string& s) { return QByteArray(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace

GroupDialog::GroupDialog(std::vector<GroupCopy> groups, std::vector<std::string> folders, QWidget* parent)
    : QDialog(parent), groups_(std::move(groups)), folders_(std::move(folders)) {
  setObjectName(QStringLiteral("group settings"));
  setWindowTitle(U("グループの表示設定"));
  for (const GroupCopy& g : groups_) cameAs_.push_back(g.name);

  groupList_ = new QListWidget;
  groupList_->setObjectName(QStringLiteral("groups"));
  memberList_ = new QListWidget;
  memberList_->setObjectName(QStringLiteral("members"));
  connect(groupList_, &QListWidget::currentRowChanged, this, [this] { FillMembers(); });
  connect(memberList_, &QListWidget::itemChanged, this, [this] { TakeMembers(); });

  auto* add = new QPushButton(U("追加(&A)..."));
  auto* rename = new QPushButton(U("名前の変更(&R)..."));
  auto* remove = new QPushButton(U("削除(&D)"));
  auto ask = [this](const QString& title, const QString& start, bool* ok) {
    return QInputDialog::getText(this, title, U("グループ名:"), QLineEdit::Normal, start, ok);
  };
  connect(add, &QPushButton::clicked, this, [this, ask] {
    bool ok = false;
    const QString name = ask(U("グループの追加"), {}, &ok);
    if (ok) (void)AddNamed(name);
  });
  connect(rename, &QPushButton::clicked, this, [this, ask] {
    const int row = Chosen();
    if (row < 0) return;
    bool ok = false;
    const QString name = ask(U("名前の変更"), Q(groups_[static_cast<size_t>(row)].name), &ok);
    if (ok) (void)RenameChosen(name);
  });
  connect(remove, &QPushButton::clicked, this, [this] { DeleteChosen(); });

  auto* left = new QVBoxLayout;
  left->addWidget(new QLabel(U("グループ")));
  left->addWidget(groupList_, 1);
  auto* buttonsRow = new QHBoxLayout;
  buttonsRow->addWidget(add);
  buttonsRow->addWidget(rename);
  buttonsRow->addWidget(remove);
  left->addLayout(buttonsRow);
  auto* right = new QVBoxLayout;
  right->addWidget(new QLabel(U("表示するフォルダ")));
  right->addWidget(memberList_, 1);
  auto* lists = new QHBoxLayout;
  lists->addLayout(left, 1);
  lists->addLayout(right, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->button(QDialogButtonBox::Cancel)->setText(U("キャンセル"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(lists, 1);
  layout->addWidget(new QLabel(U("未整理フォルダと検索結果はいつも表示されます．")));
  layout->addWidget(buttons);
  resize(560, 420);
  FillGroups(0);
}

std::string GroupDialog::RenamedTo(const std::string& name) const {
  for (size_t i = 0; i < groups_.size(); ++i)
    if (!cameAs_[i].empty() && cameAs_[i] == name) return groups_[i].name;
  return {};
}

int GroupDialog::Chosen() const {
  const int row = groupList_->currentRow();
  return row >= 0 && static_cast<size_t>(row) < groups_.size() ? row : -1;
}

void GroupDialog::ChooseGroup(int row) { groupList_->setCurrentRow(row); }

bool GroupDialog::NameRefused(const QString& name, int except, std::string& out) {
  out = S(name.trimmed());
  const char* problem = nullptr;
  if (out.empty()) problem = "グループ名を入力してください．";
  else if (Q(out) != name.trimmed() || out.find_first_of("\r\n") != std::string::npos)
    problem = "この名前はグループ名に使えません．";
  else if (out.size() > kGroupNameBytes) problem = "グループ名が長すぎます．";
  else
    for (size_t i = 0; i < groups_.size() && !problem; ++i)
      if (static_cast<int>(i) != except && groups_[i].name == out) problem = "同じ名前のグループがあります．";
  if (!problem) return false;
  os::MessageBox(os::SJ(problem), os::SJ("グループの表示設定"));
  return true;
}

bool GroupDialog::AddNamed(const QString& name) {
  std::string sjis;
  if (NameRefused(name, -1, sjis)) return false;
  groups_.push_back({sjis, {}});
  cameAs_.emplace_back();
  FillGroups(static_cast<int>(groups_.size()) - 1);
  return true;
}

bool GroupDialog::RenameChosen(const QString& name) {
  const int row = Chosen();
  std::string sjis;
  if (row < 0 || NameRefused(name, row, sjis)) return false;
  groups_[static_cast<size_t>(row)].name = sjis;
  FillGroups(row);
  return true;
}

void GroupDialog::DeleteChosen() {
  const int row = Chosen();
  if (row < 0) return;
  const std::string question =
      os::SJ("グループ「") + groups_[static_cast<size_t>(row)].name + os::SJ("」を削除してよろしいですか？");
  if (os::MessageBox(question, os::SJ("グループの表示設定"), os::Buttons::OkCancel, os::IDCANCEL) != os::IDOK) return;
  groups_.erase(groups_.begin() + row);
  cameAs_.erase(cameAs_.begin() + row);
  FillGroups(std::min(row, static_cast<int>(groups_.size()) - 1));
}

void GroupDialog::FillGroups(int choose) {
  filling_ = true;
  groupList_->clear();
  for (const GroupCopy& g : groups_) groupList_->addItem(Q(g.name));
  filling_ = false;
  groupList_->setCurrentRow(choose);
  FillMembers();
}

void GroupDialog::FillMembers() {
  if (filling_) return;
  filling_ = true;
  memberList_->clear();
  const int row = Chosen();
  if (row >= 0) {
    const std::vector<std::string>& members = groups_[static_cast<size_t>(row)].members;
    // The folders first; members that name no folder (renamed, deleted) after
    // them, so that they can be let go of too.
    std::vector<std::string> rows = folders_;
    for (const std::string& m : members)
      if (std::find(rows.begin(), rows.end(), m) == rows.end()) rows.push_back(m);
    for (const std::string& title : rows) {
      auto* item = new QListWidgetItem(QTitle(title), memberList_);
      item->setData(kTitleRole, Bytes(title));
      item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
      const bool member = std::find(members.begin(), members.end(), title) != members.end();
      item->setCheckState(member ? Qt::Checked : Qt::Unchecked);
    }
  }
  memberList_->setEnabled(row >= 0);
  filling_ = false;
}

void GroupDialog::TakeMembers() {
  const int row = Chosen();
  if (filling_ || row < 0) return;
  std::vector<std::string>& members = groups_[static_cast<size_t>(row)].members;
  members.clear();
  for (int i = 0; i < memberList_->count(); ++i) {
    const QListWidgetItem* item = memberList_->item(i);
    if (item->checkState() != Qt::Checked) continue;
    const QByteArray title = item->data(kTitleRole).toByteArray();
    members.emplace_back(title.constData(), static_cast<size_t>(title.size()));
  }
}

}  // namespace zentu::ui
