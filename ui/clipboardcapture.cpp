#include "ui/clipboardcapture.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QTextEdit>

#include "editor/textitem.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/log.h"
#include "os/text.h"
#include "store/profile.h"
#include "ui/xkeys.h"

namespace zentu::ui {
namespace {

std::string Utf8(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

// The page URL a browser put beside the selection: its first line.
std::string SourceUrlOf(const QMimeData* data) {
  for (const char* format : {"text/x-moz-url-priv", "chromium/x-source-url"}) {
    if (!data->hasFormat(QString::fromLatin1(format))) continue;
    QByteArray bytes = data->data(QString::fromLatin1(format));
    // Firefox writes it in UTF-16.
    QString text = bytes.size() >= 2 && bytes[1] == '\0'
                       ? QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.constData()), bytes.size() / 2)
                       : QString::fromUtf8(bytes);
    text = text.section(QLatin1Char('\n'), 0, 0).trimmed();
    if (!text.isEmpty()) return os::Utf8ToSjis(Utf8(text));
  }
  return {};
}

}  // namespace

std::optional<std::string> ClipboardHtmlFormat(const QMimeData* data) {
  if (!data) return std::nullopt;
  for (const QString& format : data->formats()) {
    if (!format.startsWith(QLatin1String("HTML Format"), Qt::CaseInsensitive)) continue;
    const QByteArray bytes = data->data(format);
    if (!bytes.isEmpty()) return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
  }
  if (!data->hasHtml()) return std::nullopt;
  return HtmlFormatFromDesktop(Utf8(data->html()), SourceUrlOf(data));
}

std::optional<std::string> ClipboardText(const QMimeData* data) {
  if (!data || !data->hasText()) return std::nullopt;
  return ClipboardTextToSjis(Utf8(data->text()));
}

bool CopyInFocusedEditField() {
  QWidget* focus = QApplication::focusWidget();
  if (auto* line = qobject_cast<QLineEdit*>(focus)) {
    line->copy();
    return true;
  }
  if (auto* text = qobject_cast<QTextEdit*>(focus)) {
    text->copy();
    return true;
  }
  if (auto* plain = qobject_cast<QPlainTextEdit*>(focus)) {
    plain->copy();
    return true;
  }
  return false;
}

ClipboardCapture::ClipboardCapture(QClipboard* clipboard, QObject* parent) : QObject(parent), clipboard_(clipboard) {
  wait_.setSingleShot(true);
  wait_.setInterval(kWaitMs);
  connect(&wait_, &QTimer::timeout, this, [this] { OnTimeout(); });
  connect(clipboard_, &QClipboard::dataChanged, this, [this] { OnChanged(); });
  sendCopy = [] { return CopyInFocusedEditField() || SendCopyKeystroke(); };
}

ScrapHooks ClipboardCapture::Hooks() const {
  ScrapHooks hooks;
  hooks.confirm = [](std::string_view preview, std::string_view title) {
    return os::MessageBox(preview, title, os::Buttons::YesNo, os::IDYES) == os::IDYES;
  };
  hooks.notice = [](std::string_view text) { os::Notice(text); };
  hooks.playSound = [](std::string_view path) { os::GetDesktop().PlaySound(path); };
  return hooks;
}

void ClipboardCapture::CopyAndCapture(ScrapMode mode, const std::string& sourceUrl) {
  mode_ = mode;
  sourceUrl_ = mode == ScrapMode::Html ? sourceUrl : std::string();
  if (mode != ScrapMode::Text) WriteLog("scrap html");
  waiting_ = true;
  wait_.start();
  if (!sendCopy || !sendCopy()) {
    // Nothing can make the other program copy: no use waiting for it.
    wait_.stop();
    waiting_ = false;
    WriteLog("> no way to send the copy key");
    os::Notice(os::SJ("取り込むことが出来ませんでした．"));
  }
}

void ClipboardCapture::TakeTextNow() {
  mode_ = ScrapMode::Text;
  sourceUrl_.clear();
  CaptureText(true, true);
}

void ClipboardCapture::TakeHtmlNow() {
  mode_ = ScrapMode::Html;
  sourceUrl_.clear();
  if (!CaptureHtml(true)) WriteLog("> no HTML on the clipboard");
}

void ClipboardCapture::OnChanged() {
  wait_.stop();
  if (!waiting_) return;
  waiting_ = false;
  if (mode_ != ScrapMode::Text && CaptureHtml(true)) return;
  CaptureText(true, false);
}

void ClipboardCapture::OnTimeout() {
  if (!waiting_) return;
  waiting_ = false;
  os::Notice(os::SJ("取り込むことが出来ませんでした．"));
}

bool ClipboardCapture::CaptureHtml(bool ask) {
  std::optional<std::string> html = ClipboardHtmlFormat(clipboard_->mimeData());
  if (!html) return false;
  (void)ConvertClipboardHtml(*html, ask, mode_, sourceUrl_, Hooks());
  return true;
}

void ClipboardCapture::CaptureText(bool ask, bool withSource) {
  const QMimeData* data = clipboard_->mimeData();
  std::optional<std::string> text = ClipboardText(data);
  if (!text) {
    WriteLog("> no text on the clipboard");
    return;
  }
  if (text->size() <= 1) {
    WriteLog("no text.");
    return;
  }
  std::string sourceUrl;
  if (std::optional<std::string> html = withSource ? ClipboardHtmlFormat(data) : std::nullopt) {
    ClipboardHtml parsed = ParseHtmlFormat(ClipboardTextToSjis(*html), sourceUrl_);
    sourceUrl = parsed.sourceUrl;
    WriteLog("source url: %s", sourceUrl.c_str());
  }
  const Profile& profile = CurrentProfile();
  if (ask && profile.ConfirmScrapText &&
      os::MessageBox(ScrapPreview(*text), os::SJ("以下のテキストを登録しますか？"), os::Buttons::YesNo, os::IDYES) !=
          os::IDYES)
    return;
  if (AddTextItem(*text, sourceUrl, nullptr, profile)) WriteLog("> clipboard text: text item added");
  else WriteLog("> the clipboard text was not added");
}

}  // namespace zentu::ui
