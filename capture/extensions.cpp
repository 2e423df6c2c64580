// The extension lists of extension.dat: which resources are stored as binary
// and which files open in the browser view.
#include <mutex>
#include <shared_mutex>

#include "capture/rulefile_io.h"
#include "capture/rules.h"
#include "capture/rules_internal.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "pagelib/url.h"

namespace zentu {
namespace {

using rulefile::SJ;

struct ExtensionLists {
  mutable std::shared_mutex mu;
  RuleList binary;   // [DOWNLOAD AS BINARY]
  RuleList browser;  // [OPEN BY BROWSER]
};

ExtensionLists g_extensions;

constexpr char kBinarySection[] = "[DOWNLOAD AS BINARY]";
constexpr char kBrowserSection[] = "[OPEN BY BROWSER]";
// The name the file had in early versions.
constexpr char kOldFileName[] = "extention.dat";

const RuleList& DefaultBinary() {
  static const RuleList list{"bmp", "jpg", "jpeg", "gif", "png", "ani", "mid", "midi",
                             "tif", "tiff", "pdf", "ppt", "doc", "wrd", "xls", "wav",
                             "mpg", "mpeg", "avi", "swf", "jar", "lzh", "zip"};
  return list;
}

const RuleList& DefaultBrowser() {
  static const RuleList list{"html", "htm", "mht", "doc", "exe", "lzh", "zip", "bmp", "jpg", "jpeg",
                             "gif", "png", "ani", "mid", "midi", "tif", "tiff", "pdf", "ppt", "doc",
                             "wrd", "xls", "wav", "mpg", "mpeg", "avi", "swf", "jar"};
  return list;
}

// The file text: header, the binary section, the comment before the browser
// section, the browser section. The default file is this with the default lists.
std::string FormatExtensionFile(const RuleList& binary, const RuleList& browser) {
  static const std::string header = SJ(
      "# Extension List\n"
      "# バイナリ，テキストの判別に利用します．\n"
      "# このファイルに記述してある拡張子はすべてバイナリとみなします．\n"
      "# ここに列挙されている拡張子のファイルは文字列処理されません．\n"
      "# 大文字小文字どちらでもOKです．\n"
      "# [DOWNLOAD AS BINARY] セクションがダウンロード用の設定\n"
      "# [OPEN BY BROWSER] セクションが同期ファイルなどの表示用の設定\n");
  static const std::string middle = SJ(
      "# 以下，表示のときにブラウザビューを使うかエディタ部を使うかを定義します．\n"
      "# [OPEN BY BROWSER] 以下に定義してある拡張子はデフォルトブラウザで開きます．\n");
  std::string text = header;
  text += kBinarySection;
  text += '\n';
  for (const auto& e : binary) text += e + '\n';
  text += '\n';
  text += middle;
  text += kBrowserSection;
  text += '\n';
  for (const auto& e : browser) text += e + '\n';
  text += '\n';
  return text;
}

enum class ReadOutcome { Read, CannotOpen, NoSection };

ReadOutcome ReadExtensionFile(const std::string& path, RuleList& binary, RuleList& browser) {
  int section = 0;
  bool sawSection = false;
  bool opened = rulefile::ForEachLine(path, [&](const std::string& line) {
    if (!line.empty() && line[0] == '#') return;
    if (line.compare(0, sizeof kBinarySection - 1, kBinarySection) == 0) {
      section = kDownloadAsBinary;
      sawSection = true;
      return;
    }
    if (line.compare(0, sizeof kBrowserSection - 1, kBrowserSection) == 0) {
      section = kOpenByBrowser;
      sawSection = true;
      return;
    }
    // Lines of 2 or more bytes with their line end; lines before the first section are ignored.
    if (line.empty() || section == 0) return;
    if (section == kDownloadAsBinary) {
      WriteLogVerbose("[Extension List / Download] %s", line.c_str());
      binary.push_back(line);
    } else {
      WriteLogVerbose("[Extension List / Browser] %s", line.c_str());
      browser.push_back(line);
    }
  });
  if (!opened) return ReadOutcome::CannotOpen;
  return sawSection ? ReadOutcome::Read : ReadOutcome::NoSection;
}

void Store(RuleList binary, RuleList browser) {
  std::unique_lock lock(g_extensions.mu);
  g_extensions.binary = std::move(binary);
  g_extensions.browser = std::move(browser);
}

// Writes the default file and reads it back; false when it cannot be written.
bool ReplaceWithDefault(const std::string& path) {
  if (!WriteDefaultExtensionFile(path)) {
    WriteLog("Can't create file %s", path.c_str());
    return false;
  }
  WriteLogVerbose("Reload file %s", path.c_str());
  RuleList binary, browser;
  if (ReadExtensionFile(path, binary, browser) != ReadOutcome::Read) return false;
  Store(std::move(binary), std::move(browser));
  return true;
}

}  // namespace

namespace rulefile {
void ClearExtensionLists() { Store({}, {}); }
}  // namespace rulefile

int LoadExtensionList(std::string_view pathView) {
  const std::string path(pathView);
  Store({}, {});

  if (!os::FileExists(path)) {
    std::string old = os::JoinPath(os::DirectoryOf(path), kOldFileName);
    if (os::FileExists(old)) {
      os::MessageBox(SJ("拡張子の綴りを間違ってました．\r\nextention.dat を extension.dat に変更しました．\r\n"
                        "お恥ずかしい・・・"),
                     SJ("スミマセン"));
      if (!os::RenameFile(old, path)) WriteLog("Can't rename file %s", old.c_str());
    }
  }

  RuleList binary, browser;
  switch (ReadExtensionFile(path, binary, browser)) {
    case ReadOutcome::Read:
      Store(std::move(binary), std::move(browser));
      return 1;
    case ReadOutcome::CannotOpen:
      WriteLogVerbose("Can't open file %s", path.c_str());
      ReplaceWithDefault(path);
      return 0;
    case ReadOutcome::NoSection: {
      os::MessageBox(
          SJ("拡張子定義ファイルが古いものでした．\r\nスミマセンが新しいものに書き換えさせてもらいます．\r\n"
             "編集していた人はすみません．編集しなおしてください．\r\n"
             "ナニソレ？という人はこのメッセージを無視してください．\r\n"
             "一応，extension.dat.bak として保存しておきました．"),
          SJ("スミマセン"));
      // Without its copy the user's file must not be overwritten.
      if (!os::RenameFile(path, path + ".bak")) {
        WriteLog("Can't rename file %s", path.c_str());
        return 0;
      }
      ReplaceWithDefault(path);
      return 0;
    }
  }
  return 0;
}

int ReadExtensionListOnly(std::string_view pathView) {
  std::string path(pathView);
  if (!os::FileExists(path)) {
    std::string old = os::JoinPath(os::DirectoryOf(path), kOldFileName);
    if (os::FileExists(old)) path = old;
  }
  RuleList binary, browser;
  if (ReadExtensionFile(path, binary, browser) == ReadOutcome::Read) {
    Store(std::move(binary), std::move(browser));
    return 1;
  }
  Store(DefaultBinary(), DefaultBrowser());
  return 0;
}

int SaveExtensionList(std::string_view path) {
  std::string text;
  {
    std::shared_lock lock(g_extensions.mu);
    text = FormatExtensionFile(g_extensions.binary, g_extensions.browser);
  }
  if (!os::WriteCrLfTextFile(path, text)) {
    WriteLog("Can't create file %s", std::string(path).c_str());
    return 0;
  }
  return 1;
}

int WriteDefaultExtensionFile(std::string_view path) {
  return os::WriteCrLfTextFile(path, FormatExtensionFile(DefaultBinary(), DefaultBrowser())) ? 1 : 0;
}

RuleList GetExtensionList(int which) {
  std::shared_lock lock(g_extensions.mu);
  if (which == kDownloadAsBinary) return g_extensions.binary;
  if (which == kOpenByBrowser) return g_extensions.browser;
  return {};
}

int SetExtensionList(int which, const RuleList& extensions) {
  if (which != kDownloadAsBinary && which != kOpenByBrowser) return static_cast<int>(extensions.size());
  RuleList kept;
  int left = 0;
  for (const auto& e : extensions) {
    // An entry that looks like a comment or a section would read back as one.
    bool sound = !e.empty() && e[0] != '#' && e[0] != '[' && !rulefile::BreaksLine(e, false) &&
                 e.size() <= rulefile::kMaxLineBytes;
    if (sound)
      kept.push_back(e);
    else
      ++left;
  }
  std::unique_lock lock(g_extensions.mu);
  (which == kDownloadAsBinary ? g_extensions.binary : g_extensions.browser) = std::move(kept);
  return left;
}

int CheckFileType(std::string_view name, int which) {
  WriteLogVerbose("check file type = %s", std::string(name).c_str());
  if (name.empty()) return 0;
  std::string extension = FileExtension(name);
  if (extension.empty()) return 1;
  std::shared_lock lock(g_extensions.mu);
  const RuleList* list = which == kDownloadAsBinary ? &g_extensions.binary
                         : which == kOpenByBrowser  ? &g_extensions.browser
                                                    : nullptr;
  if (!list) return 1;
  for (const auto& entry : *list)
    if (rulefile::EqualsNoCase(entry, extension)) return 2;
  return 1;
}

}  // namespace zentu
