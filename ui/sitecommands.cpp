// The site-download and mirror dialogs. Both run on the UI thread: the
// command channel calls the site-download dialog from its handler there, and
// StartMirror shows its dialog before the worker starts.
#include "ui/sitecommands.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "capture/sitedownload.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/log.h"
#include "os/path.h"
#include "ui/appwindows.h"
#include "ui/mainwindow.h"
#include "ui/qttext.h"

namespace zentu::ui {
namespace {

constexpr int kFilterChars = 2048;
constexpr int kDirectoryChars = 259;

QLabel* Label(const char* utf8, QWidget* parent) {
  auto* label = new QLabel(U(utf8), parent);
  label->setTextFormat(Qt::PlainText);
  return label;
}

QWidget* Parent(AppWindows& app) {
  MainWindow* main = app.mainWindow();
  return main && main->isVisible() ? main : nullptr;
}

// A program path as the field shows it: the native form the user knows.
QString FieldText(const std::string& programPath) {
  if (programPath.empty()) return {};
  if (auto native = os::ToNativePath(programPath)) return QString::fromUtf8(native->c_str());
  return Q(programPath);
}

}  // namespace

std::string ProgramDirectoryFromField(const QString& text) {
  const QString trimmed = text.trimmed();
  if (trimmed.isEmpty()) return {};
  if (trimmed.startsWith(QLatin1Char('/'))) {
    const QByteArray utf8 = trimmed.toUtf8();
    return os::FromNativePath(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
  }
  return os::CutSjis(S(trimmed), kDirectoryChars);
}

// ---- Site download ---------------------------------------------------------------------

SiteDownloadDialog::SiteDownloadDialog(QWidget* parent, std::string_view url,
                                       const ChannelHooks::SiteDownload& settings)
    : QDialog(parent), url_(url) {
  setObjectName(QStringLiteral("site download dialog"));
  setWindowTitle(U("サイトダウンロード設定"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Label("指定のサイトをダウンロードする際の設定を行います．", this));
  layout->addWidget(Label("リンクを辿る際の部分URLを指定してください．", this));
  filter_ = new QLineEdit(Q(settings.filter), this);
  filter_->setObjectName(QStringLiteral("filter"));
  filter_->setMaxLength(kFilterChars - 1);
  filter_->setMinimumWidth(460);
  layout->addWidget(filter_);
  layout->addWidget(Label("リンクが上記で指定された部分URLを含むとき\nリンクを辿ってダウンロードします．", this));

  auto* grid = new QGridLayout;
  grid->addWidget(Label("リンクを辿る回数", this), 0, 0);
  hops_ = new QComboBox(this);
  hops_->setObjectName(QStringLiteral("hops"));
  for (int i = 0; i <= 50; ++i) hops_->addItem(QString::number(i));
  hops_->setCurrentIndex(std::clamp(settings.linkHop, 0, 50));
  grid->addWidget(hops_, 0, 1);
  grid->addWidget(Label("* Aタグで辿るリンクのみ関係があります", this), 0, 2);
  grid->addWidget(Label("取り込みサイズ制限", this), 1, 0);
  size_ = new QLineEdit(QString::number(std::max(settings.sizeLimitKBytes, 0)), this);
  size_->setObjectName(QStringLiteral("size"));
  size_->setValidator(new QIntValidator(0, 2000000000, size_));
  grid->addWidget(size_, 1, 1);
  grid->addWidget(Label("KBytes", this), 1, 2);
  layout->addLayout(grid);
  layout->addWidget(Label("ここで指定された回数だけリンクを辿ります．\nCGI など動的にリンクを生成するページでダウンロードを止めるために必要（5～10くらいにしておけば問題は無いはず）", this));
  layout->addWidget(Label("0を指定した場合はサイズでの取り込み制限を行いません", this));
  layout->addWidget(Label("CGI などではサーバに負荷をかけてしまう問題があるため\n利用する際には十分注意してください．", this));

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

ChannelHooks::SiteDownload SiteDownloadDialog::Settings() const {
  ChannelHooks::SiteDownload s;
  s.filter = os::CutSjis(S(filter_->text().trimmed()), kFilterChars - 1);
  s.linkHop = std::clamp(hops_->currentIndex(), 0, 50);
  bool ok = false;
  const int size = size_->text().trimmed().toInt(&ok);
  s.sizeLimitKBytes = ok ? std::max(size, 0) : 0;
  return s;
}

void SiteDownloadDialog::accept() {
  const ChannelHooks::SiteDownload s = Settings();
  WriteLogVerbose("Filter = %s", s.filter.c_str());
  WriteLogVerbose("BaseURL= %s", SiteBaseUrl(url_).c_str());
  if (!SiteFilterAccepted(url_, s.filter)) {
    os::MessageBox(os::SJ("フィルタ設定を確認してください"), os::SJ("エラー"));
    filter_->setFocus();
    return;
  }
  QDialog::accept();
}

// ---- Mirror -----------------------------------------------------------------------------------

MirrorDialog::MirrorDialog(QWidget* parent, const MirrorHooks::Dialog& settings) : QDialog(parent) {
  setObjectName(QStringLiteral("mirror dialog"));
  setWindowTitle(U("フォルダに出力"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Label("データ保存場所", this));
  auto* row = new QHBoxLayout;
  directory_ = new QLineEdit(FieldText(settings.directory), this);
  directory_->setObjectName(QStringLiteral("directory"));
  directory_->setMaxLength(1024);
  directory_->setMinimumWidth(420);
  row->addWidget(directory_);
  auto* browse = new QPushButton(QStringLiteral("..."), this);
  browse->setObjectName(QStringLiteral("browse"));
  row->addWidget(browse);
  layout->addLayout(row);
  follow_ = new QCheckBox(U("リンクをたどる"), this);
  follow_->setObjectName(QStringLiteral("follow links"));
  follow_->setChecked(settings.followLinks);
  layout->addWidget(follow_);
  layout->addWidget(Label("* 他同じフォルダを指定すると上書きされてしまいます", this));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  connect(browse, &QPushButton::clicked, this, [this] {
    const QString chosen = QFileDialog::getExistingDirectory(this, U("フォルダに出力"), directory_->text());
    if (!chosen.isEmpty()) directory_->setText(chosen);
  });
}

MirrorHooks::Dialog MirrorDialog::Settings() const {
  return {ProgramDirectoryFromField(directory_->text()), follow_->isChecked()};
}

// ---- Hooks ----------------------------------------------------------------------------------------

void InstallSiteHooks(AppWindows& app) {
  SetChannelHook(&ChannelHooks::siteDownloadDialog,
                 [&app](std::string_view url, std::string_view, ChannelHooks::SiteDownload& settings) {
                   SiteDownloadDialog dialog(Parent(app), url, settings);
                   if (dialog.exec() != QDialog::Accepted) return false;
                   settings = dialog.Settings();
                   return true;
                 });
  SetMirrorHook(&MirrorHooks::dialog, [&app](MirrorHooks::Dialog& settings) {
    MirrorDialog dialog(Parent(app), settings);
    if (dialog.exec() != QDialog::Accepted) return false;
    settings = dialog.Settings();
    return true;
  });
  // Called by the mirror under the tree lock; the list's rows are read on the
  // UI thread where the mirror command runs.
  SetMirrorHook(&MirrorHooks::selectedItems, [&app] {
    std::vector<TreeNode*> nodes;
    if (MainWindow* main = app.mainWindow()) nodes = main->SelectedNodes();
    return nodes;
  });
}

void RemoveSiteHooks() {
  SetChannelHook(&ChannelHooks::siteDownloadDialog, {});
  SetMirrorHook(&MirrorHooks::dialog, {});
  SetMirrorHook(&MirrorHooks::selectedItems, {});
}

}  // namespace zentu::ui
