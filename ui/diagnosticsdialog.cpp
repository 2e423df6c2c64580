#include "ui/diagnosticsdialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <mutex>

#include "os/log.h"
#include "store/profile.h"
#include "ui/qttext.h"

namespace zentu::ui {
namespace {

std::mutex g_checkMutex;
ConnectCheck g_check;

ConnectCheck CurrentCheck() {
  std::lock_guard lock(g_checkMutex);
  return g_check;
}

QPlainTextEdit* Pane(const QString& name) {
  auto* pane = new QPlainTextEdit;
  pane->setObjectName(name);
  pane->setReadOnly(true);
  pane->setLineWrapMode(QPlainTextEdit::NoWrap);
  return pane;
}

}  // namespace

void DiagnosticsDialog::SetConnectCheck(ConnectCheck check) {
  std::lock_guard lock(g_checkMutex);
  g_check = std::move(check);
}

DiagnosticsDialog::DiagnosticsDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("diagnostics"));
  setWindowTitle(U("Zentuの診断"));
  report_ = Pane(QStringLiteral("report"));
  warnings_ = Pane(QStringLiteral("warnings"));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(U("診断結果")));
  layout->addWidget(report_, 3);
  layout->addWidget(new QLabel(U("警告")));
  layout->addWidget(warnings_, 2);
  layout->addWidget(buttons);
  resize(640, 560);
  report_->setPlainText(U("診断中..."));

  QTimer::singleShot(1000, this, [this] {
    WriteLog("# Diagnostics");
    const Profile profile = CurrentProfile();
    const ConnectCheck check = CurrentCheck();
    worker_ = std::thread([this, profile, check] {
      DiagnosticsResult result = RunDiagnosticChecks(profile, check);
      QMetaObject::invokeMethod(this, [this, result] { Show(result); }, Qt::QueuedConnection);
    });
  });
}

DiagnosticsDialog::~DiagnosticsDialog() {
  if (worker_.joinable()) worker_.join();
}

void DiagnosticsDialog::Show(const DiagnosticsResult& result) {
  // Each line followed by CR LF, as the report is copied out of the pane.
  QString report, warnings;
  for (const std::string& line : result.report) report += Q(line) + QStringLiteral("\r\n");
  for (const std::string& line : result.warnings) warnings += Q(line) + QStringLiteral("\r\n");
  report_->setPlainText(report);
  warnings_->setPlainText(warnings);
  finished_ = true;
  WriteLog("> Diagnostics: %d", result.warningCount);
}

}  // namespace zentu::ui
