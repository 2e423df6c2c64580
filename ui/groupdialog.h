// The group editing dialog ("グループの表示設定"): the groups on the left, with
// add, rename and delete, and on the right the collection's top-level folders,
// ticked for the chosen group's members. It edits a copy; OK hands it back.
#pragma once
#include <QDialog>
#include <string>
#include <vector>

#include "store/groups.h"

class QListWidget;
class QListWidgetItem;

namespace zentu::ui {

class GroupDialog : public QDialog {
 public:
  // `folders`: the titles of the top-level folders a group can show (Shift_JIS).
  GroupDialog(std::vector<GroupCopy> groups, std::vector<std::string> folders, QWidget* parent = nullptr);

  const std::vector<GroupCopy>& groups() const { return groups_; }
  // The name the group that came in as `name` has now; empty when it was deleted.
  std::string RenamedTo(const std::string& name) const;

  // Adds a group and chooses it. Refused, with a message, for an empty name, one
  // code page 932 cannot hold, and one another group has.
  bool AddNamed(const QString& name);
  bool RenameChosen(const QString& name);
  // Asks first.
  void DeleteChosen();
  void ChooseGroup(int row);
  int Chosen() const;

 private:
  bool NameRefused(const QString& name, int except, std::string& out);
  void FillGroups(int choose);
  void FillMembers();
  void TakeMembers();

  std::vector<GroupCopy> groups_;
  std::vector<std::string> cameAs_;  // per group the name it came in with, "" for new ones
  std::vector<std::string> folders_;
  QListWidget* groupList_ = nullptr;
  QListWidget* memberList_ = nullptr;
  bool filling_ = false;
};

}  // namespace zentu::ui
