// The settings dialogs of the capture rule lists: reject.dat (links not to
// capture), convert.dat (substitutions over tags), referrer.dat (a Referer per
// URL prefix) and password.dat (an account per URL). Each shows its entries
// with add, edit and delete buttons; OK takes the list into the running
// capture and writes its file (atomically, password.dat private), Cancel
// takes nothing. Entries that the file's reader would drop or split are
// refused with a message when they are typed, so nothing typed is lost
// silently. Passwords never show in clear: the list shows stars, the entry
// field hides what is typed.
#pragma once
#include <QDialog>
#include <string>
#include <vector>

class QLineEdit;
class QTreeWidget;

namespace zentu::ui {

enum class RuleListKind { Reject, Convert, Referrer, Password };

// The fields of one entry: the rule (reject, convert); prefix and Referer
// (referrer); URL, user and password (password). Shift_JIS.
using RuleFields = std::vector<std::string>;

// Why the entry cannot go into the list (Shift_JIS message), or "" when it can.
std::string RefuseRuleEntry(RuleListKind kind, const RuleFields& fields);

// One entry being added or edited.
class RuleEntryDialog : public QDialog {
 public:
  RuleEntryDialog(QWidget* parent, RuleListKind kind, const RuleFields& fields);
  RuleFields Fields() const;
  QLineEdit* Field(int i) const { return fields_.at(static_cast<size_t>(i)); }
  // OK keeps the dialog open with a message while the entry is refused.
  void accept() override;

 private:
  RuleListKind kind_;
  std::vector<QLineEdit*> fields_;
};

class RuleListDialog : public QDialog {
 public:
  // `path`: the file OK writes.
  RuleListDialog(QWidget* parent, RuleListKind kind, std::string path);

  QTreeWidget* List() const { return list_; }
  RuleListKind kind() const { return kind_; }
  // The entries as the dialog holds them now.
  const std::vector<RuleFields>& Entries() const { return entries_; }

  // The buttons: add and edit ask through a RuleEntryDialog; delete asks
  // "really delete?". Each is false when nothing changed.
  bool AddEntry();
  bool EditSelected();
  bool DeleteSelected();

  // OK: the list into the running capture and its file.
  void accept() override;

 private:
  void Fill(int select);
  int SelectedRow() const;
  // Referrer entries stay in prefix order, as the capture keeps them.
  int Place(RuleFields fields, int replace);

  RuleListKind kind_;
  std::string path_;
  QTreeWidget* list_;
  std::vector<RuleFields> entries_;
};

// The caption of a list's dialog.
QString RuleListCaption(RuleListKind kind);
// Runs the dialog of the list on the file in the configuration directory.
void EditRuleList(QWidget* parent, RuleListKind kind);

}  // namespace zentu::ui
