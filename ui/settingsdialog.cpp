#include "ui/settingsdialog.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QVariant>
#include <algorithm>
#include <string>

#include "ui/qttext.h"

namespace zentu::ui {

// One option of the profile: where it is shown, how it is edited, and how it
// is read from and written to a profile.
struct SettingsDialog::Field {
  enum Kind { Flag, Number, Text, Colour };
  int page;
  std::string key;
  QString label;
  Kind kind;
  int min = 0, max = 0, maxLength = 0;
  std::function<QVariant(const Profile&)> get;
  std::function<void(Profile&, const QVariant&)> set;
};

namespace {

QColor ToQColor(const Rgb& c) { return QColor(c.red, c.green, c.blue); }
Rgb ToRgb(const QColor& c) { return Rgb{c.red(), c.green(), c.blue()}; }

void PaintSwatch(QPushButton* button, const QColor& colour) {
  button->setProperty("colour", colour);
  button->setText(QString::asprintf("(%d,%d,%d)", colour.red(), colour.green(), colour.blue()));
  const QColor text = colour.lightness() < 128 ? Qt::white : Qt::black;
  button->setStyleSheet(QStringLiteral("background-color: %1; color: %2;").arg(colour.name(), text.name()));
}

// The labels of the download states, in the order of the profile's colour arrays.
const char* const kStateLabels[kDownloadStateCount] = {"エラー", "未処理", "HEAD", "DL待ち", "DL中",
                                                       "DL終了", "解析中", "解析終了", "完了"};

}  // namespace

SettingsDialog::SettingsDialog(const Profile& profile, std::function<bool(const Profile&)> apply, QWidget* parent)
    : QDialog(parent), base_(profile), apply_(std::move(apply)) {
  setWindowTitle(U("環境設定"));
  using F = Field;
#define FLAG(page, name, text) \
  fields_.push_back({page, #name, U(text), F::Flag, 0, 0, 0, [](const Profile& p) { return QVariant(p.name); }, \
                     [](Profile& p, const QVariant& v) { p.name = v.toBool(); }})
#define NUMBER(page, name, text, lo, hi) \
  fields_.push_back({page, #name, U(text), F::Number, lo, hi, 0, [](const Profile& p) { return QVariant(p.name); }, \
                     [](Profile& p, const QVariant& v) { p.name = v.toInt(); }})
#define TEXT(page, name, text, length) \
  fields_.push_back({page, #name, U(text), F::Text, 0, 0, length, [](const Profile& p) { return QVariant(Q(p.name)); }, \
                     [](Profile& p, const QVariant& v) { p.name = S(v.toString()); }})

  FLAG(kPageGeneral, FinishConfirm, "終了時に確認する");
  FLAG(kPageGeneral, SaveConfirm, "終了時にツリーの保存を確認する");
  FLAG(kPageGeneral, SaveAtAddition, "アイテムの追加時にツリーを保存する");
  FLAG(kPageGeneral, MinimizeStart, "最小化して起動する");
  FLAG(kPageGeneral, MinimizeOnlyTasktray, "最小化時はタスクトレイのみに表示する");
  FLAG(kPageGeneral, MinimizeByCloseButton, "閉じるボタンで最小化する");
  FLAG(kPageGeneral, RestoreBySingleClick, "タスクトレイのシングルクリックで表示を切り替える");
  FLAG(kPageGeneral, ShowVersionOnTitleBar, "タイトルバーにバージョンを表示する");
  FLAG(kPageGeneral, ViewTopMost, "常に手前に表示する");
  FLAG(kPageGeneral, MainToolBar, "ツールバーを表示する");
  FLAG(kPageGeneral, StatusBar, "ステータスバーを表示する");
  FLAG(kPageGeneral, FocusToLastFolder, "起動時に前回のフォルダを開く");

  // The time-out is kept in milliseconds and shown in seconds.
  fields_.push_back({kPageCapture, "TimeOut", U("タイムアウト（秒）"), F::Number, 1, 3600, 0,
                     [](const Profile& p) { return QVariant((p.TimeOut + 999) / 1000); },
                     [](Profile& p, const QVariant& v) { p.TimeOut = v.toInt() * 1000; }});
  NUMBER(kPageCapture, DelayOfDownload, "ダウンロードの間隔（ミリ秒）", 0, 600000);
  NUMBER(kPageCapture, DelayOfSiteDownload, "サイト取り込みの間隔（ミリ秒）", 0, 600000);
  NUMBER(kPageCapture, MaxNumberOfCheckThread, "確認スレッド数", 0, 100);
  NUMBER(kPageCapture, MaxNumberOfDownloadThread, "ダウンロードスレッド数", 1, 100);
  FLAG(kPageCapture, PrecheckByHeadRequest, "HEAD リクエストで更新を確認する");
  FLAG(kPageCapture, ShowByDownload, "ダウンロード開始時にダウンロードマネージャを表示する");
  FLAG(kPageCapture, StoreErrorItem, "取り込みに失敗したアイテムも残す");
  FLAG(kPageCapture, UseProxy, "プロキシを使う");
  TEXT(kPageCapture, ProxyServer, "プロキシサーバ（ホスト:ポート）", 300);
  TEXT(kPageCapture, UserAgent, "User-Agent", 100);
  FLAG(kPageCapture, UseCookie, "クッキーを送る");
  FLAG(kPageCapture, UseAcceptLanguage, "Accept-Language を送る");
  TEXT(kPageCapture, AcceptLanguage, "Accept-Language", 60);

  for (int i = 0; i < kDownloadStateCount; ++i) {
    const size_t at = static_cast<size_t>(i);
    const QString state = U(kStateLabels[i]);
    fields_.push_back({kPageColours, std::string(kStateNames[i]) + "TextColor", state + U(" の文字色"), F::Colour, 0, 0, 0,
                       [at](const Profile& p) { return QVariant(ToQColor(p.StatusTextColor[at])); },
                       [at](Profile& p, const QVariant& v) { p.StatusTextColor[at] = ToRgb(v.value<QColor>()); }});
    fields_.push_back({kPageColours, std::string(kStateNames[i]) + "BackColor", state + U(" の背景色"), F::Colour, 0, 0, 0,
                       [at](const Profile& p) { return QVariant(ToQColor(p.StatusBackColor[at])); },
                       [at](Profile& p, const QVariant& v) { p.StatusBackColor[at] = ToRgb(v.value<QColor>()); }});
  }

  fields_.push_back({kPageLog, "DebugFlag", U("詳しいログを書く（デバッグ）"), F::Flag, 0, 0, 0,
                     [](const Profile& p) { return QVariant(p.DebugFlag != 0); },
                     [](Profile& p, const QVariant& v) { p.DebugFlag = v.toBool() ? 1 : 0; }});
  FLAG(kPageLog, LogViewFlag, "起動時にログウインドウを表示する");
#undef FLAG
#undef NUMBER
#undef TEXT

  tabs_ = new QTabWidget(this);
  const char* const pageNames[] = {"全般", "取り込み", "ダウンロードマネージャの色", "ログ"};
  for (int page = 0; page < 4; ++page) {
    auto* area = new QScrollArea;
    area->setWidgetResizable(true);
    auto* content = new QWidget;
    AddFields(content, page);
    area->setWidget(content);
    tabs_->addTab(area, U(pageNames[page]));
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText(U("OK"));
  buttons->button(QDialogButtonBox::Cancel)->setText(U("キャンセル"));
  connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &SettingsDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addWidget(buttons);
  resize(560, 520);
}

SettingsDialog::~SettingsDialog() = default;

void SettingsDialog::AddFields(QWidget* page, int pageIndex) {
  auto* form = new QFormLayout(page);
  if (editors_.size() < fields_.size()) editors_.resize(fields_.size(), nullptr);
  for (size_t i = 0; i < fields_.size(); ++i) {
    const Field& f = fields_[i];
    if (f.page != pageIndex) continue;
    const QVariant value = f.get(base_);
    QWidget* editor = nullptr;
    switch (f.kind) {
      case Field::Flag: {
        auto* box = new QCheckBox(f.label);
        box->setChecked(value.toBool());
        form->addRow(box);
        editor = box;
        break;
      }
      case Field::Number: {
        auto* spin = new QSpinBox;
        spin->setRange(f.min, f.max);
        spin->setValue(std::clamp(value.toInt(), f.min, f.max));
        form->addRow(f.label, spin);
        editor = spin;
        break;
      }
      case Field::Text: {
        auto* line = new QLineEdit(value.toString());
        line->setMaxLength(f.maxLength);
        form->addRow(f.label, line);
        editor = line;
        break;
      }
      case Field::Colour: {
        auto* button = new QPushButton;
        PaintSwatch(button, value.value<QColor>());
        connect(button, &QPushButton::clicked, this, [this, button, label = f.label] {
          const QColor chosen = QColorDialog::getColor(button->property("colour").value<QColor>(), this, label);
          if (chosen.isValid()) PaintSwatch(button, chosen);
        });
        form->addRow(f.label, button);
        editor = button;
        break;
      }
    }
    editor->setObjectName(QString::fromStdString(f.key));
    editors_[i] = editor;
  }
}

void SettingsDialog::ShowPage(Page page) { tabs_->setCurrentIndex(static_cast<int>(page)); }

QWidget* SettingsDialog::Editor(const char* key) const {
  for (size_t i = 0; i < fields_.size(); ++i)
    if (fields_[i].key == key) return editors_[i];
  return nullptr;
}

Profile SettingsDialog::Edited() const {
  Profile p = base_;
  for (size_t i = 0; i < fields_.size(); ++i) {
    const Field& f = fields_[i];
    QWidget* e = editors_[i];
    if (!e) continue;
    switch (f.kind) {
      case Field::Flag: f.set(p, static_cast<QCheckBox*>(e)->isChecked()); break;
      case Field::Number: f.set(p, static_cast<QSpinBox*>(e)->value()); break;
      case Field::Text: f.set(p, static_cast<QLineEdit*>(e)->text()); break;
      case Field::Colour: f.set(p, e->property("colour")); break;
    }
  }
  return p;
}

void SettingsDialog::accept() {
  // The dialog stays open when the settings cannot be taken: nothing typed is lost.
  if (apply_ && !apply_(Edited())) return;
  QDialog::accept();
}

}  // namespace zentu::ui
