#include "ui/ruledialogs.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "capture/rules.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/log.h"
#include "store/configfiles.h"
#include "store/profile.h"
#include "ui/qttext.h"

namespace zentu::ui {
namespace {

// The readers take lines of 2047 bytes before the line end.
constexpr size_t kLineBytes = 2047;

struct KindInfo {
  const char* caption;
  const char* note;
  std::vector<const char*> columns;
  ConfigFile file;
};

const KindInfo& Info(RuleListKind kind) {
  static const KindInfo kReject{"取り込み時を無視するURLの設定",
                                "URL がこの正規表現に合うリンクは取り込みません．  例: /\\.gif$/",
                                {"ルール"},
                                ConfigFile::Reject};
  static const KindInfo kConvert{"取り込み時のタグ変換に関する設定",
                                 "取り込んだページのタグを置換します．最初に合ったルールだけが使われます．  例: "
                                 "s/ (TARGET|target)=\"_blank\"//",
                                 {"ルール"},
                                 ConfigFile::Convert};
  static const KindInfo kReferrer{"サイトアクセスに関するリファラの設定",
                                  "この文字列で始まる URL には，指定のリファラを送ります．",
                                  {"URL", "リファラ"},
                                  ConfigFile::Referrer};
  static const KindInfo kPassword{"サイトアクセスに関するユーザ・パスワード設定",
                                  "この URL で始まるページには，このユーザ名とパスワードを使います．",
                                  {"URL", "ユーザ名", "パスワード"},
                                  ConfigFile::Password};
  switch (kind) {
    case RuleListKind::Reject: return kReject;
    case RuleListKind::Convert: return kConvert;
    case RuleListKind::Referrer: return kReferrer;
    case RuleListKind::Password: return kPassword;
  }
  return kReject;
}

bool HasAny(const std::string& text, const char* bytes) { return text.find_first_of(bytes, 0) != std::string::npos; }

bool HasLineBreak(const std::string& text) { return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; }

std::string Message(const char* utf8) { return os::Utf8ToSjis(utf8); }

const std::string& NothingSelected() {
  static const std::string text = os::Utf8ToSjis("何も選択されていませんが・・・");
  return text;
}

std::vector<RuleFields> CurrentEntries(RuleListKind kind) {
  std::vector<RuleFields> out;
  switch (kind) {
    case RuleListKind::Reject:
      for (const std::string& r : GetRejectRules()) out.push_back({r});
      break;
    case RuleListKind::Convert:
      for (const std::string& r : GetConvertRules()) out.push_back({r});
      break;
    case RuleListKind::Referrer:
      for (const ReferrerEntry& e : GetReferrerList()) out.push_back({e.prefix, e.referer});
      break;
    case RuleListKind::Password:
      for (const AccountEntry& e : GetPasswordList()) out.push_back({e.url, e.user, e.password});
      break;
  }
  return out;
}

// The entries into the running capture; returns how many were left out.
int StoreEntries(RuleListKind kind, const std::vector<RuleFields>& entries) {
  switch (kind) {
    case RuleListKind::Reject:
    case RuleListKind::Convert: {
      RuleList rules;
      for (const RuleFields& f : entries) rules.push_back(f.at(0));
      return kind == RuleListKind::Reject ? SetRejectRules(rules) : SetConvertRules(rules);
    }
    case RuleListKind::Referrer: {
      std::vector<ReferrerEntry> list;
      for (const RuleFields& f : entries) list.push_back({f.at(0), f.at(1)});
      return SetReferrerList(list);
    }
    case RuleListKind::Password: {
      std::vector<AccountEntry> list;
      for (const RuleFields& f : entries) list.push_back({f.at(0), f.at(1), f.at(2)});
      return SetPasswordList(list);
    }
  }
  return 0;
}

int SaveEntries(RuleListKind kind, const std::string& path) {
  switch (kind) {
    case RuleListKind::Reject: return SaveRejectRules(path);
    case RuleListKind::Convert: return SaveConvertRules(path);
    case RuleListKind::Referrer: return SaveReferrerList(path);
    case RuleListKind::Password: return SavePasswordList(path);
  }
  return 0;
}

size_t FieldCount(RuleListKind kind) { return Info(kind).columns.size(); }

}  // namespace

QString RuleListCaption(RuleListKind kind) { return U(Info(kind).caption); }

std::string RefuseRuleEntry(RuleListKind kind, const RuleFields& fields) {
  if (fields.size() != FieldCount(kind)) return Message("入力が足りません．");
  for (const std::string& f : fields)
    if (HasLineBreak(f)) return Message("改行を含む項目は登録できません．");
  size_t line = 0;
  for (const std::string& f : fields) line += f.size() + 1;
  // Passwords are stored as two hexadecimal digits a byte.
  if (kind == RuleListKind::Password) line += fields[2].size();
  if (line > kLineBytes + 1) return Message("長すぎます．1行 2047 バイトまでにしてください．");

  const std::string& first = fields[0];
  switch (kind) {
    case RuleListKind::Reject:
    case RuleListKind::Convert: {
      const bool convert = kind == RuleListKind::Convert;
      if (first.empty()) return Message("ルールが入力されていません．");
      if (convert ? !IsConvertRuleLine(first) : !IsRejectRuleLine(first)) {
        return convert ? Message("ルールの書式が正しくありません．\r\n"
                                 "s/変換前文字列/変換後文字列/ の形で書いてください．\r\n"
                                 "文字列の中の / は \\/ と書きます．")
                       : Message("ルールの書式が正しくありません．\r\n"
                                 "/正規表現/ の形で書いてください．\r\n"
                                 "正規表現の中の / は \\/ と書きます．");
      }
      // Three bytes with the line end at least, or the reader skips the line.
      if (first.size() < 2) return Message("ルールが短すぎます．");
      if (std::string error = RulePatternError(first, convert); !error.empty())
        return Message("正規表現に誤りがあります．\r\n") + error;
      return {};
    }
    case RuleListKind::Referrer:
      if (first.empty()) return Message("URLが入力されていません．");
      if (first[0] == '#') return Message("# で始まる URL は登録できません（コメントとして読まれます）．");
      if (HasAny(first, "\t")) return Message("URL にタブは使えません．");
      if (fields[1].empty()) return Message("リファラが入力されていません．");
      return {};
    case RuleListKind::Password:
      if (first.empty()) return Message("URLが入力されていません．");
      if (first[0] == '#') return Message("# で始まる URL は登録できません（コメントとして読まれます）．");
      if (HasAny(first, "\t") || HasAny(fields[1], "\t")) return Message("URL とユーザ名にタブは使えません．");
      if (fields[1].empty()) return Message("ユーザ名が入力されていません．");
      return {};
  }
  return {};
}

// --- One entry ---------------------------------------------------------------------------

RuleEntryDialog::RuleEntryDialog(QWidget* parent, RuleListKind kind, const RuleFields& fields)
    : QDialog(parent), kind_(kind) {
  const KindInfo& info = Info(kind);
  setWindowTitle(RuleListCaption(kind));
  setObjectName(QStringLiteral("rule entry dialog"));
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  for (size_t i = 0; i < info.columns.size(); ++i) {
    auto* edit = new QLineEdit;
    if (i < fields.size()) edit->setText(Q(fields[i]));
    if (kind == RuleListKind::Password && i == 2) edit->setEchoMode(QLineEdit::Password);
    edit->setMinimumWidth(420);
    form->addRow(U(info.columns[i]), edit);
    fields_.push_back(edit);
  }
  layout->addLayout(form);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

RuleFields RuleEntryDialog::Fields() const {
  RuleFields out;
  for (QLineEdit* e : fields_) out.push_back(S(e->text()));
  return out;
}

void RuleEntryDialog::accept() {
  const std::string refusal = RefuseRuleEntry(kind_, Fields());
  if (!refusal.empty()) {
    os::MessageBox(refusal, os::SJ("エラー"));
    return;  // stays open with what was typed
  }
  QDialog::accept();
}

// --- The list --------------------------------------------------------------------------------

RuleListDialog::RuleListDialog(QWidget* parent, RuleListKind kind, std::string path)
    : QDialog(parent), kind_(kind), path_(std::move(path)), list_(new QTreeWidget) {
  const KindInfo& info = Info(kind);
  setWindowTitle(RuleListCaption(kind));
  setObjectName(QStringLiteral("rule list dialog"));
  auto* layout = new QVBoxLayout(this);
  auto* note = new QLabel(U(info.note));
  note->setWordWrap(true);
  note->setTextFormat(Qt::PlainText);
  layout->addWidget(note);

  auto* body = new QHBoxLayout;
  QStringList headers;
  for (const char* c : info.columns) headers << U(c);
  list_->setHeaderLabels(headers);
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setAllColumnsShowFocus(true);
  body->addWidget(list_, 1);
  auto* side = new QVBoxLayout;
  auto* add = new QPushButton(U("追加(&A)..."));
  auto* edit = new QPushButton(U("編集(&E)..."));
  auto* remove = new QPushButton(U("削除(&D)"));
  for (QPushButton* b : {add, edit, remove}) {
    b->setAutoDefault(false);
    side->addWidget(b);
  }
  side->addStretch(1);
  body->addLayout(side);
  layout->addLayout(body, 1);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  layout->addWidget(buttons);
  connect(add, &QPushButton::clicked, this, [this] { AddEntry(); });
  connect(edit, &QPushButton::clicked, this, [this] { EditSelected(); });
  connect(remove, &QPushButton::clicked, this, [this] { DeleteSelected(); });
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { EditSelected(); });
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  entries_ = CurrentEntries(kind);
  Fill(entries_.empty() ? -1 : 0);
  list_->header()->setStretchLastSection(true);
  if (info.columns.size() > 1) list_->setColumnWidth(0, kind == RuleListKind::Password ? 300 : 320);
  resize(kind == RuleListKind::Password ? 660 : 620, 380);
}

void RuleListDialog::Fill(int select) {
  list_->clear();
  for (const RuleFields& f : entries_) {
    auto* row = new QTreeWidgetItem(list_);
    for (size_t i = 0; i < f.size(); ++i) {
      // A password shows as stars of a fixed length: not even its length shows.
      const bool hidden = kind_ == RuleListKind::Password && i == 2;
      row->setText(static_cast<int>(i), hidden ? QStringLiteral("********") : Q(f[i]));
    }
  }
  if (select >= 0 && select < list_->topLevelItemCount()) list_->setCurrentItem(list_->topLevelItem(select));
}

int RuleListDialog::SelectedRow() const {
  QTreeWidgetItem* item = list_->currentItem();
  if (!item || !item->isSelected()) return -1;
  const int row = list_->indexOfTopLevelItem(item);
  return row >= 0 && row < static_cast<int>(entries_.size()) ? row : -1;
}

int RuleListDialog::Place(RuleFields fields, int replace) {
  if (replace >= 0) entries_.erase(entries_.begin() + replace);
  auto at = entries_.end();
  if (kind_ == RuleListKind::Referrer) {
    // After the equal prefixes: the capture keeps them in prefix order, equal ones as listed.
    at = std::upper_bound(entries_.begin(), entries_.end(), fields,
                          [](const RuleFields& a, const RuleFields& b) { return a[0] < b[0]; });
  } else if (replace >= 0) {
    at = entries_.begin() + replace;
  }
  const int row = static_cast<int>(at - entries_.begin());
  entries_.insert(at, std::move(fields));
  return row;
}

bool RuleListDialog::AddEntry() {
  RuleEntryDialog entry(this, kind_, RuleFields(FieldCount(kind_)));
  for (;;) {
    if (entry.exec() != QDialog::Accepted) return false;
    RuleFields fields = entry.Fields();
    const bool duplicate = std::any_of(entries_.begin(), entries_.end(),
                                       [&](const RuleFields& e) { return e[0] == fields[0]; });
    if (!duplicate) {
      Fill(Place(std::move(fields), -1));
      return true;
    }
    // Only the first of two equal entries would ever be used.
    os::MessageBox(Message("同じものがすでに登録されています．"), os::SJ("エラー"));
  }
}

bool RuleListDialog::EditSelected() {
  const int row = SelectedRow();
  if (row < 0) {
    os::MessageBox(NothingSelected(), "Zentu");
    return false;
  }
  RuleEntryDialog entry(this, kind_, entries_[static_cast<size_t>(row)]);
  for (;;) {
    if (entry.exec() != QDialog::Accepted) return false;
    RuleFields fields = entry.Fields();
    bool duplicate = false;
    for (size_t i = 0; i < entries_.size(); ++i)
      if (static_cast<int>(i) != row && entries_[i][0] == fields[0]) duplicate = true;
    if (!duplicate) {
      if (fields == entries_[static_cast<size_t>(row)]) return false;
      Fill(Place(std::move(fields), row));
      return true;
    }
    os::MessageBox(Message("同じものがすでに登録されています．"), os::SJ("エラー"));
  }
}

bool RuleListDialog::DeleteSelected() {
  const int row = SelectedRow();
  if (row < 0) {
    os::MessageBox(NothingSelected(), "Zentu");
    return false;
  }
  static const std::string kAsk =
      os::Utf8ToSjis("ほんとにこのアイテムを削除してもいいですか？\r\n削除したらキャンセルを選んでも戻りません．");
  if (os::MessageBox(kAsk, os::SJ("確認"), os::Buttons::OkCancel, os::IDOK) != os::IDOK) return false;
  // The deletion cannot be taken back, as the question says: it reaches the
  // running list at once, Cancel or not (what else was changed waits for OK).
  std::vector<RuleFields> live = CurrentEntries(kind_);
  if (auto it = std::find(live.begin(), live.end(), entries_[static_cast<size_t>(row)]); it != live.end()) {
    live.erase(it);
    (void)StoreEntries(kind_, live);
  }
  entries_.erase(entries_.begin() + row);
  Fill(std::min(row, static_cast<int>(entries_.size()) - 1));
  return true;
}

void RuleListDialog::accept() {
  const int left = StoreEntries(kind_, entries_);
  if (left > 0) WriteLog("> %d entries left out of %s", left, path_.c_str());
  if ((kind_ == RuleListKind::Referrer || kind_ == RuleListKind::Password) && !CurrentProfile().FlagSave) {
    // Saving is switched off: the list is used, the file stays as it is.
    WriteLog("> not saved (FlagSave=0): %s", path_.c_str());
  } else if (!path_.empty() && !SaveEntries(kind_, path_)) {
    os::MessageBox(os::Utf8ToSjis("設定ファイルに書き込めませんでした．内容はこのまま使われます．\r\nファイル名 = ") + path_,
                   os::SJ("エラー"));
  }
  QDialog::accept();
}

void EditRuleList(QWidget* parent, RuleListKind kind) {
  Profile& profile = CurrentProfile();
  const std::string path = ConfigFilePath(profile, Info(kind).file);
  RuleListDialog dialog(parent, kind, path);
  dialog.exec();
}

}  // namespace zentu::ui
