#include "ui/keybindings.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

namespace zentu::ui {

int QtKeyOfIndex(int index) {
  if (index >= kKeyA && index < kKey0) return Qt::Key_A + index - kKeyA;
  if (index >= kKey0 && index < kKeyF1) return Qt::Key_0 + index - kKey0;
  if (index >= kKeyF1 && index < kKeySpace) return Qt::Key_F1 + index - kKeyF1;
  switch (index) {
    case kKeySpace: return Qt::Key_Space;
    case kKeyUp: return Qt::Key_Up;
    case kKeyDown: return Qt::Key_Down;
    case kKeyLeft: return Qt::Key_Left;
    case kKeyRight: return Qt::Key_Right;
    case kKeyPause: return Qt::Key_Pause;
    case kKeyEscape: return Qt::Key_Escape;
    case kKeyHome: return Qt::Key_Home;
    case kKeyEnd: return Qt::Key_End;
    default: return 0;
  }
}

int IndexOfQtKey(int qtKey) {
  for (int i = 0; i < kKeyNameCount; ++i)
    if (QtKeyOfIndex(i) == qtKey) return i;
  return -1;
}

QKeySequence SequenceOf(const KeyCombination& c) {
  const int key = QtKeyOfIndex(c.key);
  if (!key) return {};
  Qt::KeyboardModifiers mods;
  if (c.ctrl) mods |= Qt::ControlModifier;
  if (c.alt) mods |= Qt::AltModifier;
  if (c.shift) mods |= Qt::ShiftModifier;
  return QKeySequence(QKeyCombination(mods, static_cast<Qt::Key>(key)));
}

bool CombinationOfEvent(const QKeyEvent* event, KeyCombination& out) {
  const int index = IndexOfQtKey(event->key());
  if (index < 0) return false;
  const Qt::KeyboardModifiers m = event->modifiers();
  out = {(m & Qt::ControlModifier) != 0, (m & Qt::AltModifier) != 0, (m & Qt::ShiftModifier) != 0, index};
  return true;
}

int EditorCommandOfEvent(const QKeyEvent* event) {
  KeyCombination c;
  if (!CombinationOfEvent(event, c)) return 0;
  // Typed text and the editor's own keys stay the editor's: a binding needs a
  // modifier or a key that types nothing.
  if (!c.ctrl && !c.alt && !(c.key >= kKeyF1 && c.key < kKeySpace) && c.key != kKeyPause && c.key != kKeyEscape)
    return 0;
  return LookupCommand(EditorKeys(), c);
}

bool SendKeyCombination(int command, QObject* target) {
  const KeyBinding* binding = FindBinding(EditorKeys(), command);
  if (!binding) return false;
  const QKeySequence sequence = SequenceOf(binding->Combination());
  if (sequence.isEmpty()) return false;
  if (!target) target = QApplication::focusWidget();
  if (!target) return false;
  const QKeyCombination combination = sequence[0];
  QKeyEvent press(QEvent::KeyPress, combination.key(), combination.keyboardModifiers());
  QKeyEvent release(QEvent::KeyRelease, combination.key(), combination.keyboardModifiers());
  QApplication::sendEvent(target, &press);
  QApplication::sendEvent(target, &release);
  return true;
}

}  // namespace zentu::ui
