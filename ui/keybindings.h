// The key configuration on the Qt side: combinations as key sequences and key
// events, and the main window's shortcuts made from the general list.
#pragma once
#include <QKeySequence>

#include "store/keyconfig.h"

class QKeyEvent;
class QObject;

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
// Presses and releases the editor-list key of `command` on `target` (the
// focused widget when null), as if the user typed it. False, and nothing
// sent, when the command has no key or nothing has the focus.
bool SendKeyCombination(int command, QObject* target = nullptr);

}  // namespace zentu::ui
