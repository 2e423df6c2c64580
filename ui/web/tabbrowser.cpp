#include "ui/web/tabbrowser.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QLineEdit>
#include <QMenu>
#include <QStackedWidget>
#include <QStyle>
#include <QTabBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebEngineHistory>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <memory>
#include <mutex>
#include <optional>

#include "browser/lists.h"
#include "intake/channel.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "os/text.h"
#include "pagelib/url.h"
#include "store/configfiles.h"
#include "ui/appwindows.h"
#include "ui/commands.h"
#include "ui/qttext.h"
#include "ui/texteditor.h"
#include "ui/web/blocklistdialog.h"
#include "ui/web/webpage.h"

namespace zentu::ui {
namespace {

// The tab menu's own commands (those shared with the menus and keys are in ui/commands.h).
enum : int {
  kCmdCloseClickedTab = 40248,
  kCmdOpenSavedFolder = 40336,
  kCmdReload = 40498,
  kCmdStop = 40032,
  kCmdBack = 40094,
  kCmdForward = 40095,
  kCmdStartPage = 40247,
  kCmdSearchPage = 40541,
  kCmdAddLink = 40230,
  kCmdAddAndCapture = 40229,
};

const char* kMarkerStyles[2] = {"color: black; background-color: #ffff00;", "color: black; background-color: #fd7007;"};

// The keyword dialog: a keyword and the URL it stands for.
bool KeywordDialog(QWidget* parent, std::string& keyword, std::string& url) {
  QDialog dialog(parent);
  dialog.setWindowTitle(U("キーワードURLの登録"));
  auto* form = new QFormLayout(&dialog);
  auto* k = new QLineEdit(Q(keyword));
  auto* u = new QLineEdit(Q(url));
  k->setMaxLength(511);
  u->setMaxLength(2048);
  form->addRow(U("キーワード"), k);
  form->addRow(U("URL"), u);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  form->addRow(buttons);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  if (dialog.exec() != QDialog::Accepted) return false;
  keyword = S(k->text());
  url = S(u->text());
  return true;
}

bool IsLocalPath(std::string_view s) {
  return (s.size() >= 2 && s[1] == ':') || (s.size() >= 2 && (s[0] == '\\' || s[0] == '/') && s[1] == s[0]);
}

}  // namespace

struct TabBrowser::Tab {
  TabRecord record;
  QWebEngineView* view = nullptr;
  WebPage* page = nullptr;
  QTimer openTimer;  // the open-URL timer of this tab (2000 + number)
  QTimer readTimer;  // the read-flag timer (2100 + number)
  QUrl ownTarget;    // a navigation the program started: no link rules for it
  int number = 0;
  TextEditor* editor = nullptr;  // made when the tab first shows a text
};

QUrl EngineUrl(const std::string& location) {
  std::string loc = location;
  if (os::StartsWithNoCase(loc, "file:///")) loc.erase(0, 8);
  else if (os::StartsWithNoCase(loc, "file://")) loc.erase(0, 7);
  else if (!IsLocalPath(loc)) return QUrl(QString::fromUtf8(os::SjisToUtf8(location)));
  std::string fragment;
  if (size_t hash = loc.find('#'); hash != std::string::npos) {
    fragment = loc.substr(hash + 1);
    loc.resize(hash);
  }
  for (char& c : loc)
    if (c == '/') c = '\\';
  std::optional<std::string> native = os::ToNativePath(loc);
  if (!native) return QUrl(QStringLiteral("about:blank"));
  QUrl url = QUrl::fromLocalFile(QString::fromUtf8(*native));
  if (!fragment.empty()) url.setFragment(QString::fromUtf8(os::SjisToUtf8(fragment)));
  return url;
}

std::string ProgramLocation(const QUrl& url) {
  if (!url.isLocalFile()) return os::Utf8ToSjis(url.toString().toStdString());
  std::string path = os::FromNativePath(url.toLocalFile().toStdString());
  if (url.hasFragment()) path += "#" + os::Utf8ToSjis(url.fragment().toStdString());
  return path;
}

TabBrowser::TabBrowser(QWidget* parent, QWebEngineProfile* engineProfile)
    : QWidget(parent),
      engineProfile_(engineProfile ? engineProfile : QWebEngineProfile::defaultProfile()),
      strip_(new QTabBar),
      stack_(new QStackedWidget),
      address_(new QLineEdit) {
  setObjectName(QStringLiteral("web view"));
  single_ = !CurrentProfile().TabBrowser;
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  address_->setObjectName(QStringLiteral("address box"));
  address_->setFocusPolicy(Qt::ClickFocus);
  layout->addWidget(address_);
  layout->addWidget(strip_);
  layout->addWidget(stack_, 1);
  strip_->setDocumentMode(true);
  strip_->setElideMode(Qt::ElideRight);
  strip_->setUsesScrollButtons(true);
  strip_->setExpanding(false);
  strip_->setContextMenuPolicy(Qt::CustomContextMenu);
  strip_->hide();
  connect(strip_, &QTabBar::currentChanged, this, [this](int index) {
    if (Tab* tab = Find(index)) {
      ShowTab(*tab);
      address_->setText(Q(tab->record.url));
    }
  });
  // A tab the user picks takes the focus; one opened by the program leaves it where it is.
  connect(strip_, &QTabBar::tabBarClicked, this, [this](int index) {
    if (Tab* tab = Find(index)) (tab->record.browserMode ? static_cast<QWidget*>(tab->view) : tab->editor)->setFocus();
  });
  connect(strip_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) { ShowMenu(pos); });
  connect(address_, &QLineEdit::returnPressed, this, [this] { OpenTyped(S(address_->text())); });
  // The first view is made before the window shows: a web view added later
  // makes the toolkit create the window anew (another X window for the same
  // main window). The start list fills this tab first.
  OpenInNewTab("blank", "");
}

TabBrowser::~TabBrowser() { UninitAll(); }

int TabBrowser::Count() const { return static_cast<int>(tabs_.size()); }
int TabBrowser::Current() const { return single_ ? (tabs_.empty() ? -1 : 0) : strip_->currentIndex(); }

TabBrowser::Tab* TabBrowser::Find(int index) const {
  return index >= 0 && index < Count() ? tabs_[static_cast<size_t>(index)].get() : nullptr;
}
int TabBrowser::IndexOf(const Tab* tab) const {
  for (int i = 0; i < Count(); ++i)
    if (tabs_[static_cast<size_t>(i)].get() == tab) return i;
  return -1;
}
const TabRecord* TabBrowser::Record(int tab) const {
  Tab* t = Find(tab);
  return t ? &t->record : nullptr;
}
QWebEngineView* TabBrowser::View(int tab) const {
  Tab* t = Find(tab);
  return t ? t->view : nullptr;
}

bool TabBrowser::Refuse() const {
  if (!single_) return false;
  WriteLog("[error] single browser mode");
  return true;
}

void TabBrowser::Start(const Profile& profile) {
  if (single_) {
    OpenInTab(0, profile.ZentuStartURL);
    return;
  }
  std::string path = os::JoinPath(profile.dirs.config, "start.dat");
  WriteLog("Load Open-URL List [%s]", path.c_str());
  auto open = [this](std::string_view title, std::string_view url) { OpenInNewTab(title, url); };
  LoadStartList(profile, path, open);
  if (profile.OpenLastOpened) LoadLastOpened(ConfigFilePath(profile, ConfigFile::LastOpened), open);
}

void TabBrowser::OpenInNewTab(std::string_view title, std::string_view url) {
  if (single_ && !tabs_.empty()) {
    Refuse();
    OpenInTab(0, url);
    return;
  }
  if (tabs_.size() == 1 && !url.empty()) {
    Tab& only = *tabs_[0];
    if (only.record.openedWith.empty() && !only.record.openPending) {  // the first tab, never used
      only.record.title = std::string(title);
      UpdateStrip(only);
      OpenInTab(0, url);
      return;
    }
  }
  auto tab = std::make_unique<Tab>();
  Tab* t = tab.get();
  t->record.title = std::string(title);
  t->view = new QWebEngineView;
  // A page that loads must not take the keys from the tree or the list.
  t->view->setFocusPolicy(Qt::ClickFocus);
  t->page = new WebPage(
      engineProfile_, t->view, [this, t](const QUrl& u, bool mainFrame) { return BeforeNavigate(*t, u, mainFrame); },
      [this, t] { return NewWindow(*t); });
  t->view->setPage(t->page);
  t->openTimer.setSingleShot(true);
  t->readTimer.setSingleShot(true);
  connect(&t->openTimer, &QTimer::timeout, this, [this, t] {
    WriteLog("Started Open URL : %s", t->record.pendingUrl.c_str());
    t->record.openPending = false;
    Navigate(*t, t->record.pendingUrl);
  });
  connect(t->page, &QWebEnginePage::titleChanged, this, [this, t] { OnTitleChanged(*t); });
  connect(t->page, &QWebEnginePage::urlChanged, this, [this, t] { OnTitleChanged(*t); });
  connect(t->page, &QWebEnginePage::loadFinished, this, [this, t](bool ok) { OnLoadFinished(*t, ok); });
  tabs_.push_back(std::move(tab));
  stack_->addWidget(t->view);
  int index = strip_->addTab(QTitle(TabText(title)));
  t->number = index;
  WriteLogVerbose("Added #%d [%s]", index, std::string(url).c_str());
  UpdateStrip(*t);
  if (!single_) strip_->show();
  strip_->setCurrentIndex(index);
  ShowTab(*t);
  if (!url.empty()) OpenInTab(index, url);
}

void TabBrowser::OpenInTab(int index, std::string_view url) {
  Tab* t = Find(index);
  if (!t) {
    WriteLog(tabs_.empty() ? "Error : Can't start open url method : web component is not found"
                           : "Error : Can't start open url method : parent window is not found");
    return;
  }
  t->record.documentComplete = false;
  t->openTimer.stop();
  t->openTimer.setInterval(std::max(CurrentProfile().WaitTimeForOpenURL, 0));
  t->record.openPending = true;
  t->record.pendingUrl = std::string(url);
  t->openTimer.start();
}

void TabBrowser::Navigate(Tab& tab, const std::string& location) {
  if (!tab.record.browserMode) LeaveEditor(tab);
  WriteLog("# open : %s", location.c_str());
  tab.openTimer.stop();
  tab.record.openPending = false;
  tab.record.documentComplete = false;
  tab.record.openedWith = location;
  tab.record.localCopy = IsLocalLocation(location) ? location : std::string();
  tab.ownTarget = EngineUrl(location);
  tab.view->setUrl(tab.ownTarget);
}

void TabBrowser::StartReadTimer(Tab& tab, TreeNode* item) {
  int delay = ReadFlagDelay(CurrentProfile());
  if (delay < 0 || !item) return;
  tab.readTimer.stop();
  tab.readTimer.disconnect();
  tab.record.readTimer = true;
  tab.record.readItem = item;
  connect(&tab.readTimer, &QTimer::timeout, this, [this, t = &tab] {
    t->record.readTimer = false;
    TreeNode* node = t->record.readItem;
    t->record.readItem = nullptr;
    WriteLog("Read Procedure : %s, %s", t->record.title.c_str(), t->record.url.c_str());
    {
      std::lock_guard lock(TreeMutex());
      if (!IsInCollection(node)) return;  // deleted while the page was shown
      SetUnreadFlag(node, false);
    }
    if (AppWindows* app = AppWindows::Live()) app->Refresh({node});
  });
  tab.readTimer.start(delay);
}

void TabBrowser::OpenLocalCopy(TreeNode* item) {
  const Profile& profile = CurrentProfile();
  TreeNode copy;
  bool unread;
  {
    std::lock_guard lock(TreeMutex());
    copy.title = item->title;
    copy.url = item->url;
    copy.localFile = item->localFile;
    unread = item->unread;
  }
  WriteLog("OpenLocalFile: %s", copy.title.c_str());
  if (tabs_.empty()) {
    WriteLog("Can't detect WebComponent");
    OpenInNewTab("blank", "");  // a closed strip opens again for the item
  }
  Tab* current = Find(Current());
  if (!current) {
    WriteLog("Error : Web component is not found");
    return;
  }
  LocalCopy local = ResolveLocalCopy(copy, profile.dirs.data);
  auto inTab = [&](const std::string& title, const std::string& where) -> Tab* {
    if (profile.OpenItemByNewTab && !single_) {
      OpenInNewTab(title, where);
      return tabs_.back().get();
    }
    current->record.title = title;
    OpenInTab(IndexOf(current), where);
    return current;
  };
  if (local.absolute || local.exists) {
    if (!local.absolute) SavedCopyOrigins().Note(local.path, copy.url);
    Tab* shown = local.absolute ? (OpenInTab(IndexOf(current), local.open), current) : inTab(copy.title, local.open);
    if (unread) StartReadTimer(*shown, item);
    return;
  }
  // No saved copy: the original, and opening it is reading it.
  inTab("Loading...", copy.url);
  std::lock_guard lock(TreeMutex());
  if (IsInCollection(item) && item->unread) SetUnreadFlag(item, false);
}

int TabBrowser::OpenOriginal(std::string_view url) {
  if (tabs_.empty()) OpenInNewTab("blank", "");
  Tab* current = Find(Current());
  if (!current || !current->view) return 0;
  switch (HowToOpenOriginal(CurrentProfile())) {
    case OriginalOpen::NewTab:
      if (!single_) {
        OpenInNewTab("Loading...", url);
        break;
      }
      [[fallthrough]];
    case OriginalOpen::Now:
      Navigate(*current, std::string(url));
      break;
    case OriginalOpen::Deferred:
      OpenInTab(IndexOf(current), url);
      break;
  }
  return 1;
}

std::vector<std::string> TabBrowser::OpenLocations() const {
  std::vector<std::string> out;
  for (const auto& t : tabs_) out.push_back(t->record.openPending ? t->record.pendingUrl : t->record.openedWith);
  return out;
}

void TabBrowser::UninitAll() {
  if (tabs_.empty()) return;
  WriteLog("Uninit All Browser / Editor Window");
  while (!tabs_.empty()) {
    std::unique_ptr<Tab> t = std::move(tabs_.back());
    tabs_.pop_back();
    t->openTimer.stop();
    t->readTimer.stop();
    strip_->removeTab(static_cast<int>(tabs_.size()));
    delete t->editor;  // saves its text first
    stack_->removeWidget(t->view);
    delete t->view;  // the page goes with it
  }
}

bool TabBrowser::BeforeNavigate(Tab& tab, const QUrl& url, bool mainFrame) {
  if (!mainFrame) return true;
  if (!tab.ownTarget.isEmpty() && url == tab.ownTarget) {
    tab.ownTarget.clear();
    return true;
  }
  const Profile& profile = CurrentProfile();
  std::string target = ProgramLocation(url);
  NavigationContext context{&profile, &tab.record, ProgramLocation(tab.page->url())};
  NavigationDecision d = zentu::BeforeNavigate(target, context, tab.record);
  using D = NavigationDecision;
  QPointer<TabBrowser> self(this);
  switch (d.action) {
    case D::Proceed:
      return true;
    case D::Cancel:
    case D::PopupKilled:
      return false;
    case D::OpenLocalHere:
      SavedCopyOrigins().Note(d.target, target);
      QTimer::singleShot(0, this, [this, t = &tab, where = d.target] {
        if (IndexOf(t) >= 0) Navigate(*t, where);
      });
      return false;
    case D::OpenLocalNewTab:
      SavedCopyOrigins().Note(d.target, target);
      [[fallthrough]];
    case D::OpenNewTab:
      QTimer::singleShot(0, this, [this, where = d.target] { OpenInNewTab("Loading...", where); });
      return false;
    case D::OpenLocalOutside:
    case D::OpenOutside:
      QDesktopServices::openUrl(EngineUrl(d.target));
      return false;
  }
  return true;
}

QWebEnginePage* TabBrowser::NewWindow(Tab& tab) {
  switch (zentu::NewWindow(CurrentProfile(), tab.record)) {
    case NewWindowDecision::Allow:
      if (single_) return nullptr;
      OpenInNewTab("Loading...", "");
      return tabs_.back()->page;
    case NewWindowDecision::Cancel:
      return nullptr;
    case NewWindowDecision::ToPopupCatcher:
      return MakePopupCatcher();
  }
  return nullptr;
}

QWebEnginePage* TabBrowser::MakePopupCatcher() {
  // A hidden page per new window: it only hears where the window wants to go,
  // and the rules open that in a tab or drop it.
  auto record = std::make_shared<TabRecord>();
  record->popupCatcher = true;
  auto self = std::make_shared<QPointer<WebPage>>();
  auto* catcher = new WebPage(
      engineProfile_, this,
      [this, record, self](const QUrl& url, bool mainFrame) {
        if (!mainFrame) return false;
        const Profile& profile = CurrentProfile();
        NavigationContext context{&profile, record.get(), {}};
        NavigationDecision d = zentu::BeforeNavigate(ProgramLocation(url), context, *record);
        if (d.action == NavigationDecision::OpenNewTab)
          QTimer::singleShot(0, this, [this, where = d.target] { OpenInNewTab("Loading...", where); });
        if (d.action != NavigationDecision::Cancel)
          QTimer::singleShot(0, this, [self] {
            if (*self) (*self)->deleteLater();
          });
        return false;
      },
      [] { return nullptr; });
  *self = catcher;
  return catcher;
}

void TabBrowser::OnTitleChanged(Tab& tab) {
  tab.record.title = os::Utf8ToSjis(tab.page->title().toStdString());
  tab.record.url = ProgramLocation(tab.page->url());
  if (tab.record.title == tab.record.url || tab.page->title() == tab.page->url().toString()) tab.record.title.clear();
  UpdateStrip(tab);
  if (IndexOf(&tab) == Current()) address_->setText(Q(tab.record.url));
}

void TabBrowser::OnLoadFinished(Tab& tab, bool ok) {
  OnTitleChanged(tab);
  tab.record.documentComplete = true;
  if (CurrentProfile().AutoConvertLocalToOriginal) ConvertLocalToOriginal(tab);
  if (onLoadFinished) onLoadFinished(IndexOf(&tab), ok);
}

void TabBrowser::UpdateStrip(Tab& tab) {
  int index = IndexOf(&tab);
  if (index < 0) return;
  QString title = QTitle(tab.record.title);
  strip_->setTabText(index, QTitle(TabText(tab.record.title)));
  strip_->setTabToolTip(index, title);
  static const QStyle::StandardPixmap pictures[] = {QStyle::SP_FileIcon, QStyle::SP_DriveNetIcon,
                                                     QStyle::SP_DirIcon};
  strip_->setTabIcon(index, style()->standardIcon(pictures[TabImage(tab.record.url)]));
}

void TabBrowser::Renumber() {
  for (int i = 0; i < Count(); ++i) tabs_[static_cast<size_t>(i)]->number = i;
}

void TabBrowser::CloseTab(int index) {
  if (Refuse()) return;
  if (Count() == 1 && index == 0) {
    Navigate(*tabs_[0], "about:blank");
    return;
  }
  Tab* t = Find(index);
  if (!t) {
    os::MessageBox(os::SJ("タブを閉じることができませんでした"), "");
    return;
  }
  // The note first, while the tab is whole: one that cannot be saved keeps
  // its tab, so its text is not lost with the editor.
  if (t->editor && !t->editor->Close()) return;
  WriteLogVerbose("Close Tab: %d", index);
  int current = Current();
  int after = CurrentAfterClose(Count(), index, current);
  std::unique_ptr<Tab> gone = std::move(tabs_[static_cast<size_t>(index)]);
  tabs_.erase(tabs_.begin() + index);
  gone->openTimer.stop();
  gone->readTimer.stop();
  {
    QSignalBlocker block(strip_);
    strip_->removeTab(index);
  }
  delete gone->editor;  // saves its text first
  stack_->removeWidget(gone->view);
  gone->view->hide();
  delete gone->view;
  if (tabs_.empty()) {
    strip_->hide();
    return;
  }
  Renumber();
  strip_->setCurrentIndex(after);
  if (Tab* now = Find(after)) ShowTab(*now);
}

void TabBrowser::CloseOtherTabs(int keep) {
  if (Refuse() || !Find(keep)) return;
  for (int i = Count() - 1; i >= 0; --i)
    if (i != keep) CloseTab(i);
}

void TabBrowser::SelectTab(int index) {
  if (Refuse() || !Find(index)) return;
  strip_->setCurrentIndex(index);
  if (Tab* t = Find(index)) t->view->setFocus();
}

void TabBrowser::PreviousTab() {
  if (!Refuse()) SelectTab(zentu::PreviousTab(Count(), Current()));
}
void TabBrowser::NextTab() {
  if (!Refuse()) SelectTab(zentu::NextTab(Count(), Current()));
}

void TabBrowser::CopyTitle(int index, bool title, bool url) {
  Tab* t = Find(index);
  if (!t) return;
  std::string text;
  if (title) text = t->record.title;
  if (title && url) text += "\r\n";
  if (url) text += t->record.url;
  QGuiApplication::clipboard()->setText(Q(text));
}

void TabBrowser::ShowMenu(const QPoint& pos) {
  int clicked = strip_->tabAt(pos);
  if (clicked < 0) return;
  bool current = clicked == Current();
  QMenu menu(this);
  auto add = [&](QMenu* m, const char* text, int command) {
    connect(m->addAction(U(text)), &QAction::triggered, this, [this, command, clicked] { RunCommand(command, clicked); });
  };
  if (Count() > 1) {
    add(&menu, "閉じる(&C)", current ? kCmdCloseCurrentTab : kCmdCloseClickedTab);
    add(&menu, "このタブ以外全て閉じる(&C)", kCmdCloseOtherTabs);
  }
  add(&menu, "新しいタブを開く(&N)", kCmdNewTab);
  if (current) add(&menu, "保存フォルダを開く(&O)", kCmdOpenSavedFolder);
  menu.addSeparator();
  add(&menu, "更新(&R)", kCmdReload);
  add(&menu, "中止(&P)", kCmdStop);
  QMenu* move = menu.addMenu(U("移動(&M)"));
  add(move, "前に戻る(&B)", kCmdBack);
  add(move, "次に進む(&F)", kCmdForward);
  add(move, "スタートページ(&S)", kCmdStartPage);
  add(move, "検索ページ(&G)", kCmdSearchPage);
  if (current) {
    move->addSeparator();
    add(move, "左のタブに移動(&L)", kCmdLeftTab);
    add(move, "右のタブに移動(&R)", kCmdRightTab);
    menu.addSeparator();
    add(&menu, "リンク登録(&A)", kCmdAddLink);
    add(&menu, "リンク取り込み(&I)", kCmdAddAndCapture);
    add(&menu, "このサイトを取り込む(&W)...", kCmdCaptureSite);
  }
  menu.addSeparator();
  add(&menu, "タイトルをコピー(&T)", kCmdCopyTabTitle);
  add(&menu, "URLをコピー(&U)", kCmdCopyTabUrl);
  add(&menu, "タイトル＋URLをコピー(&B)", kCmdCopyTabTitleUrl);
  menu.exec(strip_->mapToGlobal(pos));
}

void TabBrowser::RunCommand(int command, int clicked) {
  Tab* t = Find(clicked);
  if (!t) return;
  const Profile& profile = CurrentProfile();
  auto sendToChannel = [&](const char* option) {
    std::string url = t->record.url;
    if (IsLocalLocation(url)) url = SavedCopyOrigins().OriginalOf(url, profile.dirs.data);
    if (url.empty()) return;
    ChannelCommand c = SendCommandLine(std::string(option) + " " + url);
    if (c.code) ReceiveCommand(c.code, c.text);
  };
  switch (command) {
    case kCmdCloseCurrentTab: CloseTab(Current()); break;
    case kCmdCloseClickedTab: CloseTab(clicked); break;
    case kCmdCloseOtherTabs: CloseOtherTabs(clicked); break;
    case kCmdNewTab: OpenInNewTab("blank", "about:blank"); break;
    case kCmdOpenSavedFolder:
      if (!t->record.localCopy.empty())
        QDesktopServices::openUrl(EngineUrl(os::DirectoryOf(EngineUrl(t->record.localCopy).isLocalFile()
                                                                  ? ProgramLocation(EngineUrl(t->record.localCopy))
                                                                  : t->record.localCopy)));
      break;
    case kCmdReload: t->view->reload(); break;
    case kCmdStop: t->view->stop(); break;
    case kCmdBack: t->view->back(); break;
    case kCmdForward: t->view->forward(); break;
    case kCmdStartPage: Navigate(*t, profile.ZentuStartURL); break;
    case kCmdSearchPage: OpenTyped("edit"); break;
    case kCmdLeftTab: PreviousTab(); break;
    case kCmdRightTab: NextTab(); break;
    case kCmdAddLink: sendToChannel("-i"); break;
    case kCmdAddAndCapture: sendToChannel("-u"); break;
    case kCmdCaptureSite: {
      // The site download of the page shown, titled like the tab.
      std::string url = t->record.url;
      if (IsLocalLocation(url)) url = SavedCopyOrigins().OriginalOf(url, profile.dirs.data);
      if (url.empty() || url.find("://") == std::string::npos) {
        os::MessageBox(os::SJ("このページはサイトダウンロードできません"), os::SJ("エラー"));
        break;
      }
      std::string text = std::string(kMarkerSiteDownload) + "\nURL=" + url;
      if (!t->record.title.empty()) text += "\nTITLE=" + t->record.title;
      ReceiveCommand(kCommandOther, text);
      break;
    }
    case kCmdCopyTabTitle: CopyTitle(clicked, true, false); break;
    case kCmdCopyTabUrl: CopyTitle(clicked, false, true); break;
    case kCmdCopyTabTitleUrl: CopyTitle(clicked, true, true); break;
    default: break;
  }
}

void TabBrowser::RunBrowserCommand(int command) {
  const Profile& profile = CurrentProfile();
  switch (command) {
    case kCmdMarker1: MarkSelection(1); return;
    case kCmdMarker2: MarkSelection(2); return;
    case kCmdBlockListSettings: EditBlockList(this, ConfigFilePath(profile, ConfigFile::CloseUrl)); return;
    case kCmdOpenKeyword:
      address_->setFocus();
      address_->selectAll();
      return;
    default: break;
  }
  // The rest are tab commands: from a menu they say why nothing happens.
  if (single_) {
    Refuse();
    os::MessageBox(os::SJ("タブブラウザモードでないので利用することができません"), "Zentu");
    return;
  }
  if (command == kCmdNewTab || tabs_.empty()) {
    if (command == kCmdNewTab) OpenInNewTab("blank", "about:blank");
    return;
  }
  RunCommand(command, Current());
}

void TabBrowser::OpenTyped(const std::string& typed) {
  WriteLog("open url by combo box wm ctl coloredit");
  if (typed.empty()) return;
  const Profile& profile = CurrentProfile();
  if (typed.find("://") != std::string::npos || typed.rfind("about:", 0) == 0 || IsLocalLocation(typed)) {
    if (tabs_.empty()) OpenInNewTab("Loading...", typed);
    else Navigate(*Find(Current()), typed);
    return;
  }
  KeywordOpeners openers;
  openers.open = [this, &profile](std::string_view url) {
    if (!single_ && (profile.OpenItemByNewTab || tabs_.empty())) OpenInNewTab("Loading...", url);
    else Navigate(*Find(Current()), std::string(url));
  };
  openers.shellOpen = [](std::string_view program) { QDesktopServices::openUrl(EngineUrl(std::string(program))); };
  openers.dialog = [this](std::string& keyword, std::string& url) { return KeywordDialog(this, keyword, url); };
  OpenKeyword(typed, openers, ConfigFilePath(profile, ConfigFile::Keyword2Url), profile.FlagSave);
}

void TabBrowser::MarkSelection(int marker) {
  Tab* t = Find(Current());
  if (!t) return;
  QString script = QStringLiteral(
                       "(function(){var s=window.getSelection();"
                       "if(!s||s.rangeCount==0||s.isCollapsed)return false;"
                       "var r=s.getRangeAt(0);var f=document.createElement('font');"
                       "f.setAttribute('style','%1');f.appendChild(r.extractContents());"
                       "r.insertNode(f);s.removeAllRanges();return true;})()")
                       .arg(QString::fromLatin1(kMarkerStyles[marker == 2 ? 1 : 0]));
  QPointer<TabBrowser> self(this);
  t->page->runJavaScript(script, [self, t](const QVariant& marked) {
    if (!self || self->IndexOf(t) < 0) return;
    if (!marked.toBool()) {
      WriteLog("not selected");
      return;
    }
    if (CurrentProfile().SaveHtmlAtChange) self->SavePageHtml(*t);
  });
}

void TabBrowser::SavePageHtml(Tab& tab) {
  std::string location = ProgramLocation(tab.page->url());
  if (!IsLocalLocation(location)) return;  // pages on the network are not saved
  if (size_t hash = location.find('#'); hash != std::string::npos) location.resize(hash);
  const std::string data = CurrentProfile().dirs.data;
  // Only saved copies are written back: a page from elsewhere stays as it is.
  if (!IsPathBelow(data, location)) {
    WriteLog("> not saved (outside the data directory): %s", location.c_str());
    return;
  }
  QPointer<TabBrowser> self(this);
  tab.page->runJavaScript(
      QStringLiteral("[document.characterSet, document.documentElement.outerHTML]"),
      [self, location, data](const QVariant& result) {
        QVariantList parts = result.toList();
        if (!self || parts.size() != 2) return;
        QString charset = parts[0].toString().toLower();
        std::string html = parts[1].toString().toStdString();
        if (charset.contains(QStringLiteral("shift")) || charset.contains(QStringLiteral("windows-31j")))
          html = os::Utf8ToSjis(html);
        if (os::PrepareFileBelow(data, location, false) != os::BelowStatus::Ok ||
            !os::WriteFileAtomic(location, html, os::Access::Keep, os::Durability::Replaceable))
          WriteLog("> Can't save html: %s", location.c_str());
      });
}

void TabBrowser::ConvertLocalToOriginal(Tab& tab) {
  QPointer<TabBrowser> self(this);
  Tab* t = &tab;
  tab.page->runJavaScript(
      QStringLiteral("Array.from(document.links).map(function(a){return a.href;})"),
      [self, t](const QVariant& result) {
        if (!self || self->IndexOf(t) < 0) return;
        const std::string data = CurrentProfile().dirs.data;
        QVariantMap map;
        for (const QVariant& v : result.toList()) {
          QUrl href(v.toString());
          if (!href.isLocalFile()) continue;
          // The place on the page goes with the link: looked up without it, added back after.
          QString fragment = href.fragment(QUrl::FullyEncoded);
          href.setFragment(QString());
          std::string original = SavedCopyOrigins().OriginalOf(ProgramLocation(href), data);
          if (original.empty()) continue;
          if (!fragment.isEmpty() && original.find('#') == std::string::npos) original += "#" + S(fragment);
          map.insert(v.toString(), QString::fromUtf8(os::SjisToUtf8(original)));
        }
        if (map.isEmpty()) return;
        QString json = QString::fromUtf8(QJsonDocument::fromVariant(map).toJson(QJsonDocument::Compact));
        t->page->runJavaScript(
            QStringLiteral("(function(m){Array.from(document.links).forEach(function(a){"
                           "if(m[a.href])a.href=m[a.href];});})(%1)")
                .arg(json));
      });
}

// ----- the tabs' editors -----

TextEditor* TabBrowser::EditorOf(Tab& tab) {
  if (tab.editor) return tab.editor;
  tab.editor = new TextEditor;
  stack_->addWidget(tab.editor);
  connect(tab.editor, &TextEditor::titleChanged, this, [this, t = &tab](const QString& title) {
    t->record.title = S(title);
    // A rename moves the note's file: the address box follows it.
    if (t->editor->Text().IsOpen()) t->record.url = t->editor->Text().Path();
    UpdateStrip(*t);
    if (Find(Current()) == t) address_->setText(Q(t->record.url));
  });
  connect(tab.editor, &TextEditor::linkCommand, this,
          [this, t = &tab](int id, const QString& link) { OnEditorLink(*t, id, link); });
  connect(tab.editor, &EditorView::statusText, this, [](const QString& text) { os::GetDesktop().StatusText(S(text)); });
  return tab.editor;
}

void TabBrowser::ShowTab(Tab& tab) {
  if (!tab.record.browserMode && tab.editor) stack_->setCurrentWidget(tab.editor);
  else stack_->setCurrentWidget(tab.view);
}

void TabBrowser::LeaveEditor(Tab& tab) {
  // A note that cannot be saved stays open behind the page: showing the
  // editor again brings the text back as it was.
  if (tab.editor) (void)tab.editor->Close();
  tab.record.browserMode = true;
  ShowTab(tab);
}

void TabBrowser::OpenTextInEditor(std::string_view path, TreeNode* item, bool newTab) {
  if (tabs_.empty() || (newTab && !single_)) OpenInNewTab("blank", "");
  Tab* t = Find(Current());
  if (!t) return;
  t->openTimer.stop();
  t->record.openPending = false;
  TextEditor* editor = EditorOf(*t);
  t->record.browserMode = false;
  ShowTab(*t);
  (void)editor->Open(path, item);
  t->record.url = std::string(path);
  address_->setText(Q(t->record.url));
  editor->setFocus();
}

void TabBrowser::ToggleEditor() {
  Tab* t = Find(Current());
  if (!t) return;
  const Profile& profile = CurrentProfile();
  if (t->record.browserMode) {
    const std::string path = !t->record.localCopy.empty() ? t->record.localCopy : t->record.openedWith;
    if (profile.OpenByDefaultEditor && !path.empty()) {
      QDesktopServices::openUrl(EngineUrl(path));
      return;
    }
    TextEditor* editor = EditorOf(*t);
    t->record.browserMode = false;
    ShowTab(*t);
    (void)editor->Open(IsLocalLocation(path) ? path : std::string(), nullptr);
    editor->setFocus();
    return;
  }
  const std::string path = t->editor ? t->editor->Text().Path() : std::string();
  LeaveEditor(*t);
  if (!t->record.openPending && !path.empty()) Navigate(*t, path);
  t->view->setFocus();
}

int TabBrowser::SaveOpenTexts() {
  int ok = 1;
  for (const auto& t : tabs_)
    if (t->editor && !t->editor->Save(false)) ok = 0;
  return ok;
}

bool TabBrowser::CloseOpenTexts() {
  bool ok = true;
  for (const auto& t : tabs_)
    if (t->editor && !t->editor->Close()) ok = false;
  return ok;
}

TextEditor* TabBrowser::CurrentEditor() {
  Tab* t = Find(Current());
  return t && !t->record.browserMode ? t->editor : nullptr;
}

void TabBrowser::OnEditorLink(Tab& tab, int id, const QString& link) {
  const std::string url = S(link);
  if (url.empty()) return;
  switch (id) {
    case 40293: Navigate(tab, url); break;
    case 40294: OpenInNewTab("Loading...", url); break;
    case 40295:
    case 40301: QDesktopServices::openUrl(QUrl(link)); break;
    case 40298:
    case 40302:
      QDesktopServices::openUrl(QUrl(link.startsWith(QStringLiteral("mailto:")) ? link : QStringLiteral("mailto:") + link));
      break;
    default: break;
  }
}

}  // namespace zentu::ui
