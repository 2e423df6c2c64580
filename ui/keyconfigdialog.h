// The key settings dialog: tabs "全般操作" and "エディタ操作", each the list of
// its actions with their keys, check boxes for Ctrl, Alt and Shift, a key
// list, and a reset. It edits working copies; OK hands them back.
#pragma once
#include <QDialog>
#include <array>

#include "store/keyconfig.h"

class QCheckBox;
class QComboBox;
class QTabWidget;
class QTreeWidget;

namespace zentu::ui {

class KeyConfigDialog : public QDialog {
 public:
  KeyConfigDialog(const KeyConfig& general, const KeyConfig& editor, QWidget* parent = nullptr);

  const KeyConfig& general() const { return lists_[0]; }
  const KeyConfig& editor() const { return lists_[1]; }

  // Gives the selected action of the shown tab the combination in the
  // controls; refused (with its message) when a key alone is not allowed or
  // another action holds it. True when taken.
  bool AssignSelected();
  void ClearSelected();
  // Asks "キー設定を初期化してよいですか？" and puts the shown list back to its defaults.
  void ResetShown();
  // Selects a row of the shown tab and shows its binding in the controls.
  void SelectRow(int row);
  void SetCombination(const KeyCombination& combination);
  void ShowTab(int index);

 private:
  int Shown() const;
  void Fill(int list);
  void ShowBindingOf(int row);

  std::array<KeyConfig, 2> lists_;
  QTabWidget* tabs_ = nullptr;
  std::array<QTreeWidget*, 2> views_{};
  QCheckBox* ctrl_ = nullptr;
  QCheckBox* alt_ = nullptr;
  QCheckBox* shift_ = nullptr;
  QComboBox* key_ = nullptr;
};

}  // namespace zentu::ui
