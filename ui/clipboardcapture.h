// The clipboard capture of the main window: the commands that make the
// foreground program copy its selection and take what reaches the
// clipboard, or take the clipboard's current text or HTML at once. The
// selection's HTML becomes a captured item, plain text a text item.
//
// A copy-and-capture command sets the waiting flag and starts timer 1008
// (500 ms, one shot); the clipboard's change notice (QClipboard::dataChanged)
// stops the timer and, while the flag is set, captures. When the timer fires
// first the capture failed ("取り込むことが出来ませんでした．"). UI thread only.
#pragma once
#include <QObject>
#include <QTimer>
#include <functional>
#include <optional>
#include <string>

#include "intake/clipboard.h"

class QClipboard;
class QMimeData;

namespace zentu::ui {

// The clipboard's HTML in the header form ("HTML Format"): a format whose name
// begins with "HTML Format" as it is (programs that put the header form on the
// clipboard), else "text/html" with the page's URL when the browser gave one
// ("text/x-moz-url-priv", "chromium/x-source-url"). nullopt when there is none.
std::optional<std::string> ClipboardHtmlFormat(const QMimeData* data);
// The clipboard's plain text in Shift_JIS; nullopt when it holds none.
std::optional<std::string> ClipboardText(const QMimeData* data);

class ClipboardCapture : public QObject {
 public:
  static constexpr int kTimerId = 1008;
  static constexpr int kWaitMs = 500;

  explicit ClipboardCapture(QClipboard* clipboard, QObject* parent = nullptr);

  // Copy-and-capture (modes 0, 1, 2); `sourceUrl` is remembered for a mode-1
  // capture (the channel's ScrapHTML), cleared otherwise.
  void CopyAndCapture(ScrapMode mode, const std::string& sourceUrl = {});
  // The clipboard's current text (mode 0) or HTML (mode 1), at once.
  void TakeTextNow();
  void TakeHtmlNow();

  bool waiting() const { return waiting_; }
  // Makes the foreground program copy; replaced by tests. By default an edit
  // field of Zentu's own that has the focus copies itself, anything else gets
  // Ctrl+C through XTEST.
  std::function<bool()> sendCopy;

 private:
  void OnChanged();
  void OnTimeout();
  // `withSource`: the source URL of the HTML beside the text goes with it.
  void CaptureText(bool ask, bool withSource);
  bool CaptureHtml(bool ask);
  ScrapHooks Hooks() const;

  QClipboard* clipboard_;
  QTimer wait_;
  ScrapMode mode_ = ScrapMode::Text;
  std::string sourceUrl_;
  bool waiting_ = false;
};

// Sends the copy to a focused edit field of this program; false when none has the focus.
bool CopyInFocusedEditField();

}  // namespace zentu::ui
