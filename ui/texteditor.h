// The editor of a tab: an EditorView with the open text (editor/textitem.h)
// behind it. It answers the editor's host commands that need no browser —
// the find, replace and go-to-line dialogs and saving — and passes the link
// commands on to whoever shows pages.
#pragma once
#include <QString>
#include <memory>
#include <string_view>

#include "editor/textitem.h"
#include "ui/editorview.h"

namespace zentu::ui {

class TextEditor : public EditorView {
  Q_OBJECT

 public:
  explicit TextEditor(QWidget* parent = nullptr);
  ~TextEditor() override;

  TextTab& Text() { return *text_; }
  // OpenText and the window's state after it (disabled for "File not found").
  int Open(std::string_view path, TreeNode* node);
  // SaveText; a failed save says so in a notice and keeps the text modified.
  int Save(bool closing);
  // CloseText: saves the text and lets it go (an empty untitled note goes
  // with its file). A failed save says so in a message box and keeps the
  // text open and modified. 1 on success or when nothing was open.
  int Close();

 signals:
  // Link commands (40293, 40294, 40301, 40298, 40302) with the link text.
  void linkCommand(int id, const QString& link);
  // The tab title of the open text changed (opened, renamed).
  void titleChanged(const QString& title);

 private:
  void OnHostCommand(int id, const QString& link);
  void TakeKeysBack();
  std::unique_ptr<TextTab> text_;
  QString shownTitle_;
};

}  // namespace zentu::ui
