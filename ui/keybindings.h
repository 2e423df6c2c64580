// The key configuration on the Qt side: combinations as key sequences and key
// events, and the main window's shortcuts made from the general list.
#pragma once
#include <QKeySequence>

#include "store/keyconfig.h"

class QKeyEvent;

namespace zentu::ui {

// The Qt key of a key-table index, 0 outside the table.
int QtKeyOfIndex(int index);
// The key-table index of a Qt key, -1 when the table has none.
int IndexOfQtKey(int qtKey);
QKeySequence SequenceOf(const KeyCombination& combination);
// The combination a key event makes; false when its key is not in the table.
bool CombinationOfEvent(const QKeyEvent* event, KeyCombination& out);
// The command the editor list binds to the event, 0 when none.
int EditorCommandOfEvent(const QKeyEvent* event);

}  // namespace zentu::ui
