// The site-download settings dialog and the mirror's folder dialog
// ("フォルダに出力"), and the hooks that make the command channel and the
// mirror use them while the windows exist.
#pragma once
#include <QDialog>
#include <string>
#include <string_view>

#include "capture/mirror.h"
#include "intake/channel.h"

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace zentu::ui {

class AppWindows;

// "サイトダウンロード設定": the filter (a URL prefix), the hops to follow and
// the size limit. OK keeps the dialog open, after saying so, while the filter
// leaves the URL's own site.
class SiteDownloadDialog : public QDialog {
 public:
  SiteDownloadDialog(QWidget* parent, std::string_view url, const ChannelHooks::SiteDownload& settings);
  // The settings as shown; the numbers are read whatever the filter says.
  ChannelHooks::SiteDownload Settings() const;
  QLineEdit* filterField() const { return filter_; }
  QComboBox* hopList() const { return hops_; }
  QLineEdit* sizeField() const { return size_; }
  void accept() override;

 private:
  std::string url_;
  QLineEdit* filter_;
  QComboBox* hops_;
  QLineEdit* size_;
};

// "フォルダに出力": the mirror directory (typed, or chosen with "..."), and
// whether pages linked from the saved pages are copied too.
class MirrorDialog : public QDialog {
 public:
  MirrorDialog(QWidget* parent, const MirrorHooks::Dialog& settings);
  MirrorHooks::Dialog Settings() const;  // the directory in its program form
  QLineEdit* directoryField() const { return directory_; }
  QCheckBox* followBox() const { return follow_; }

 private:
  QLineEdit* directory_;
  QCheckBox* follow_;
};

// The directory a field holds, as the program writes paths ("" stays "").
std::string ProgramDirectoryFromField(const QString& text);

// The dialogs take the place of the logged defaults while the windows live.
void InstallSiteHooks(AppWindows& app);
void RemoveSiteHooks();

}  // namespace zentu::ui
