// What the core may ask of the screen. The window program, the headless frame
// and tests each provide one. Texts are Shift_JIS.
#pragma once
#include <string>
#include <string_view>

namespace zentu::os {

enum class Buttons { Ok, OkCancel, YesNo, YesNoCancel };
enum DialogResult { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

class Desktop {
 public:
  virtual ~Desktop() = default;
  // Returns one of DialogResult.
  virtual int MessageBox(std::string_view text, std::string_view caption, Buttons buttons,
                         int defaultResult) = 0;
  // A short message shown for about a second, and logged.
  virtual void Notice(std::string_view text) = 0;
  virtual void StatusText(std::string_view text) = 0;
  virtual void TrayTip(std::string_view text) = 0;
  virtual void PlaySound(std::string_view path) { (void)path; }
  // Bring the download manager window up (when a download starts).
  virtual void ShowDownloadManager() {}
};

// Logs every message and answers with the default button.
class HeadlessDesktop : public Desktop {
 public:
  int MessageBox(std::string_view text, std::string_view caption, Buttons buttons,
                 int defaultResult) override;
  void Notice(std::string_view text) override;
  void StatusText(std::string_view text) override;
  void TrayTip(std::string_view text) override;
};

Desktop& GetDesktop();
// nullptr restores the headless desktop. The caller keeps ownership.
void SetDesktop(Desktop* desktop);

// Shortcuts used throughout the core.
int MessageBox(std::string_view text, std::string_view caption,
               Buttons buttons = Buttons::Ok, int defaultResult = IDOK);
void Notice(std::string_view text);

}  // namespace zentu::os
