#include "cleaner/window/cleanerwindow.h"

#include <QApplication>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTextBlock>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "ui/qttext.h"

namespace zentu::cleaner {
namespace {

using ui::Q;
using ui::U;

QString CounterLine(const char* name, const Counter& c) {
  return QString::asprintf("%s: %d (%.3lf MBytes)", name, c.count, c.MBytes());
}

// Runs `fn` on the UI thread of `target`, unless the target is gone by then.
template <class Fn>
void Post(QObject* target, Fn fn) {
  QMetaObject::invokeMethod(target, std::move(fn), Qt::QueuedConnection);
}

bool Ask(QWidget* parent, bool unattended, const QString& text, const QString& caption) {
  if (unattended) return true;
  return QMessageBox::question(parent, caption, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
         QMessageBox::Yes;
}

void Tell(QWidget* parent, bool unattended, const QString& text, const QString& caption) {
  if (unattended) {
    WriteLog("%s", ui::S(text).c_str());
    return;
  }
  QMessageBox::information(parent, caption, text);
}

}  // namespace

// ---- LogView

LogView::LogView(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setWindowTitle(U("ZentuCleaner - Log"));
  resize(560, 360);
  for (const std::string& line : log::Lines()) appendPlainText(Q(line));
  QPointer<LogView> self(this);
  observer_ = log::AddObserver([self](const std::string& line, int replaces) {
    QString text = Q(line);
    if (self) Post(self.data(), [self, text, replaces] {
        if (self) self->Put(text, replaces);
      });
  });
}

LogView::~LogView() { log::RemoveObserver(observer_); }

void LogView::Put(const QString& line, int replaces) {
  for (int i = 0; i < replaces && document()->blockCount() > 0; ++i) {
    QTextCursor c(document()->lastBlock());
    c.select(QTextCursor::BlockUnderCursor);
    c.removeSelectedText();
    if (document()->blockCount() == 1 && document()->firstBlock().text().isEmpty()) break;
  }
  appendPlainText(line);
}

// ---- ResultDialog

ResultDialog::ResultDialog(const Settings& settings, QWidget* parent) : QDialog(parent), settings_(settings) {
  setWindowTitle(U("削除アイテムの選択"));
  setGeometry(350, 50, 600, 545);
  auto* layout = new QVBoxLayout(this);
  list_ = new QTreeWidget(this);
  list_->setColumnCount(1);
  list_->setHeaderLabels({U("データディレクトリ以下のファイルリスト")});
  list_->setRootIsDecorated(false);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setUniformRowHeights(true);
  layout->addWidget(list_);
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [](QTreeWidgetItem* item, int) {
    auto native = os::ToNativePath(ui::S(item->text(0)));
    if (native) QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromUtf8(native->c_str())));
  });
  auto* row = new QHBoxLayout;
  auto add = [&](const char* text, auto fn) {
    auto* b = new QPushButton(U(text), this);
    connect(b, &QPushButton::clicked, this, fn);
    row->addWidget(b);
    buttons_.push_back(b);
  };
  add("削除(&D)", [this] { Remove(false); });
  add("消去(&E)", [this] { Remove(true); });
  add("すべて選択(&S)", [this] { CheckAll(true); });
  add("すべて解除(&R)", [this] { CheckAll(false); });
  add("フィルタ適用(&F)", [this] { Filter(); });
  add("終了(&X)", [this] {
    if (busy_) return;
    if (Ask(this, unattended, U("終了してよいですか？"), U("確認"))) emit closedByUser();
  });
  layout->addLayout(row);
  SetButtonsEnabled(false);
}

ResultDialog::~ResultDialog() {
  if (worker_.joinable()) worker_.join();
}

void ResultDialog::Start(Mode mode) {
  mode_ = mode;
  orphans_.clear();
  list_->clear();
  list_->setHeaderLabels({U("データディレクトリ以下のファイルリスト")});
  SetButtonsEnabled(false);
}

void ResultDialog::SetButtonsEnabled(bool on) {
  for (QPushButton* b : buttons_) b->setEnabled(on);
}

int ResultDialog::Count() const { return list_->topLevelItemCount(); }

void ResultDialog::ShowList(const std::vector<Orphan>& orphans) {
  WriteLog("update delete file list");
  orphans_ = orphans;
  list_->clear();
  list_->setHeaderLabels({U("データディレクトリ以下の孤立ファイルリスト")});
  QList<QTreeWidgetItem*> items;
  for (size_t i = 0; i < orphans_.size(); ++i) {
    auto* item = new QTreeWidgetItem({Q(orphans_[i].path)});
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(0, Qt::Checked);
    item->setData(0, Qt::UserRole, static_cast<int>(i));
    items.push_back(item);
  }
  list_->addTopLevelItems(items);
  WriteLog("set check all");
  setWindowTitle(U("削除対象ファイル数 (%1)").arg(orphans_.size()));
}

void ResultDialog::CheckAll(bool on) {
  for (int i = 0; i < list_->topLevelItemCount(); ++i)
    list_->topLevelItem(i)->setCheckState(0, on ? Qt::Checked : Qt::Unchecked);
}

void ResultDialog::Filter() {
  QDialog box(this);
  box.setWindowTitle(U("フィルタ"));
  auto* layout = new QVBoxLayout(&box);
  layout->addWidget(new QLabel(U("フィルタとして利用する文字列を入力し，チェックを入れるかどうか設定してください"), &box));
  auto* field = new QLineEdit(&box);
  field->setMaxLength(127);
  layout->addWidget(field);
  auto* row = new QHBoxLayout;
  auto* check = new QPushButton(U("チェックを入れる(&A)"), &box);
  auto* uncheck = new QPushButton(U("チェックを外す(&D)"), &box);
  auto* cancel = new QPushButton(U("-"), &box);
  row->addWidget(check);
  row->addWidget(uncheck);
  row->addWidget(cancel);
  layout->addLayout(row);
  connect(check, &QPushButton::clicked, &box, [&box] { box.done(1); });
  connect(uncheck, &QPushButton::clicked, &box, [&box] { box.done(2); });
  connect(cancel, &QPushButton::clicked, &box, [&box] { box.done(0); });
  QRect g = geometry();
  box.move(g.left(), g.bottom());
  box.setMinimumWidth(g.width());
  int answer = box.exec();
  if (answer == 0) return;
  const std::string text = ui::S(field->text());
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = list_->topLevelItem(i);
    if (MatchesFilter(ui::S(item->text(0)), text)) item->setCheckState(0, answer == 1 ? Qt::Checked : Qt::Unchecked);
  }
}

void ResultDialog::Remove(bool erase) {
  if (busy_) return;
  QString question =
      erase ? U("チェックのついたファイルを消去しますか？\r\n消去したファイルは元に戻すことができません．")
            : U("チェックのついたファイルを\r\n\r\n%1\\%2\r\n\r\nというディレクトリに移動してよいですか？\r\n"
                "あとは自己責任で削除してください．")
                  .arg(Q(settings_.programDirectory), mode_ == Mode::Text ? U("DustText") : U("Dustbox"));
  if (!Ask(this, unattended, question, U("確認"))) return;
  std::vector<int> rows;
  std::vector<Orphan> files;
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = list_->topLevelItem(i);
    if (item->checkState(0) != Qt::Checked) continue;
    rows.push_back(i);
    files.push_back(orphans_[static_cast<size_t>(item->data(0, Qt::UserRole).toInt())]);
  }
  busy_ = true;
  SetButtonsEnabled(false);
  if (worker_.joinable()) worker_.join();
  worker_ = std::thread([this, erase, rows = std::move(rows), files = std::move(files)]() mutable {
    for (const Orphan& f : files) {
      MoveStatus s = erase ? EraseFile(settings_, mode_, f) : MoveToDust(settings_, mode_, f);
      if (s == MoveStatus::Changed) WriteLog("> changed since the analysis, left alone: %s", f.path.c_str());
      if (s == MoveStatus::Refused || s == MoveStatus::Failed) WriteLog("> can't move %s", f.path.c_str());
    }
    WriteLog("Finish.");
    Post(this, [this, rows = std::move(rows)]() mutable { Finished(std::move(rows)); });
  });
}

void ResultDialog::Finished(std::vector<int> rows) {
  // Every handled row leaves the list; a file that stayed is in the log.
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) delete list_->takeTopLevelItem(*it);
  setWindowTitle(U("削除対象ファイル数 (%1)").arg(list_->topLevelItemCount()));
  busy_ = false;
  SetButtonsEnabled(true);
}

// ---- CleanerWindow

CleanerWindow::CleanerWindow(const Settings& settings, bool showLog) : settings_(settings) {
  setWindowTitle(U("ZentuCleaner"));
  setObjectName(U("ZENTUCLEANER"));
  resize(340, 160);
  counts_ = new QLabel(this);
  counts_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  counts_->setMargin(8);
  setCentralWidget(counts_);
  log_ = new LogView(nullptr);
  QMenu* file = menuBar()->addMenu(U("ファイル(&F)"));
  auto command = [&](QMenu* menu, const char* text, auto fn) {
    QAction* a = menu->addAction(U(text));
    connect(a, &QAction::triggered, this, fn);
    return a;
  };
  commands_.push_back(command(file, "孤立ファイル検出(&I)", [this] { Detect(Mode::Data, true); }));
  commands_.push_back(command(file, "Aタグを無視して孤立ファイル検出(&A)", [this] { Detect(Mode::Data, false); }));
  commands_.push_back(command(file, "テキストファイルの検出(&T)", [this] { Detect(Mode::Text, true); }));
  file->addSeparator();
  command(file, "ｱﾌﾟﾘｹｰｼｮﾝの終了(&X)", [this] { close(); });
  QMenu* help = menuBar()->addMenu(U("ヘルプ(&H)"));
  command(help, "ログウィンドウを表示(&L)", [this] {
    log_->show();
    log_->raise();
  });
  command(help, "ﾊﾞｰｼﾞｮﾝ情報(&A) ...", [this] {
    QMessageBox::about(this, U("ZentuCleaner"), U("Zentu Cleaner v0.99G\n- Last Updated: 2006/11/25"));
  });
  dialog_ = new ResultDialog(settings_, this);
  connect(dialog_, &ResultDialog::closedByUser, this, [this] { close(); });
  if (showLog) log_->show();
  Counts({});
}

CleanerWindow::~CleanerWindow() {
  stop_ = true;
  if (worker_.joinable()) worker_.join();
  delete log_;
}

bool CleanerWindow::LogShown() const { return log_->isVisible(); }

void CleanerWindow::SetMenuEnabled(bool on) {
  for (QAction* a : commands_) a->setEnabled(on);
}

void CleanerWindow::Counts(const Counters& c) {
  counts_->setText(CounterLine("Total", c.total) + "\n" + CounterLine("Checked", c.checked) + "\n" +
                   CounterLine("Linked", c.linked));
}

void CleanerWindow::Detect(Mode mode, bool followLinks) {
  // One run at a time: the menu is grayed, and a command that slips through is ignored.
  if (busy_) return;
  const std::string& directory = ModeDirectory(settings_, mode);
  if (!os::DirectoryExists(directory)) {
    Tell(this, unattended, Q(directory) + U(" が存在しないため処理できません．"), U("ZentuCleaner"));
    return;
  }
  busy_ = true;
  mode_ = mode;
  SetMenuEnabled(false);
  dialog_->hide();
  dialog_->Start(mode);
  if (worker_.joinable()) worker_.join();
  stop_ = false;
  worker_ = std::thread([this, mode, followLinks] {
    Options options;
    options.mode = mode;
    options.followLinks = followLinks;
    options.stop = &stop_;
    options.progress = [this](const Counters& c) { Post(this, [this, c] { Counts(c); }); };
    Result result = FindOrphans(settings_, options);
    Post(this, [this, result = std::move(result)]() mutable { Done(std::move(result)); });
  });
}

void CleanerWindow::Done(Result result) {
  if (worker_.joinable()) worker_.join();
  busy_ = false;
  SetMenuEnabled(true);
  Counts(result.counters);
  if (!result.folderErrors.empty()) Tell(this, unattended, U("フォルダ読み込みエラーです"), U("Error"));
  const std::string& directory = ModeDirectory(settings_, mode_);
  switch (result.outcome) {
    case Outcome::Stopped:
      return;
    case Outcome::DirectoryMissing:
      Tell(this, unattended, U("フォルダが存在しません"), Q(directory));
      return;
    case Outcome::TreeMissing:
      Tell(this, unattended, U("File not found"), Q(settings_.treeFile));
      WriteLog("error. exit application.");
      close();
      return;
    case Outcome::Done:
      break;
  }
  dialog_->show();
  WriteLog("%s", os::SJ("終了しました").c_str());
  Tell(this, unattended, U("終了しました，一覧を作成します"), U("報告"));
  dialog_->ShowList(result.orphans);
  const Counters& c = result.counters;
  WriteLog("Total: %d (%.3lf MBytes)", c.total.count, c.total.MBytes());
  WriteLog("Checked: %d (%.3lf MBytes)", c.checked.count, c.checked.MBytes());
  WriteLog("Linked: %d (%.3lf MBytes)", c.linked.count, c.linked.MBytes());
  WriteLog("For Delete: %d (%.3lf Mbytes)", c.total.count - c.linked.count,
           static_cast<double>(c.total.bytes - c.linked.bytes) / 1048576.0);
  dialog_->SetButtonsEnabled(true);
  emit listShown(dialog_->Count());
}

}  // namespace zentu::cleaner
