#include "browser/lists.h"

#include <mutex>

#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "store/configfiles.h"

namespace zentu {
namespace {

constexpr size_t kLineLimit = 2048;
constexpr size_t kMaxKeywordBytes = 511;
constexpr size_t kMaxKeywordUrlBytes = 2048;

struct Lists {
  std::mutex mutex;
  std::vector<std::string> blocked;
  std::map<std::string, std::string> keywords;
  std::function<std::vector<std::string>()> openLocations;
};

Lists& State() {
  static Lists* lists = new Lists;  // shutdown saves may run late
  return *lists;
}

// Calls `onLine` with each raw line as text-mode reading gives it (line end
// included, CR LF read as LF). False when the file cannot be opened.
bool ForEachRawLine(const std::string& path, const std::function<void(const std::string&)>& onLine) {
  os::File file;
  if (!os::FileExists(path) || !file.Open(path, os::File::Mode::Read)) return false;
  std::string line;
  while (file.ReadLine(line, kLineLimit)) onLine(line);
  return true;
}

// The line without its line end. The last line of a file may have none; its
// last character is then kept, not dropped as a line end would be.
std::string WithoutLineEnd(const std::string& line) {
  if (!line.empty() && line.back() == '\n') return line.substr(0, line.size() - 1);
  return line;
}

int WriteLines(const std::string& path, const std::string& text) {
  if (std::string dir = os::DirectoryOf(path); !dir.empty() && !os::DirectoryExists(dir))
    (void)os::CreateDirectories(dir);
  return os::WriteCrLfTextFile(path, text) ? 1 : 0;
}

std::string BlockListHeader() {
  std::string text = "# Close URL List\n";
  text += os::SJ("# ポップアップを禁止したいURLを指定してください\n");
  text += os::SJ("# 正規表現はとりあえず今のところ使えません\n");
  text += os::SJ("# 例えば http://*.example.com/* のような書き方は効きません\n");
  text += os::SJ("# http://ads.example.com/ のように URL の一部をそのまま書いてください\n");
  text += os::SJ("# 一行丸まるマッチングに利用します．変なのは書かないでください．\n");
  text += os::SJ("# 一部でも一致したら開かないようにしています\n");
  text += os::SJ("# 行頭が # の場合，コメントアウトとなります．\n");
  return text;
}

int WriteBlockList(const std::string& path, const std::vector<std::string>& entries) {
  std::string text = BlockListHeader();
  for (const std::string& entry : entries) text += entry + "\n";
  text += "\n";
  if (WriteLines(path, text)) return 1;
  WriteLogVerbose("Can't create file %s", path.c_str());
  return 0;
}

bool IsRefusedKeywordField(std::string_view text) { return text.empty() || text.front() == ' '; }

}  // namespace

// --- Start list -------------------------------------------------------------------------

bool LoadStartList(const Profile& profile, const std::string& path, const OpenTabFn& open) {
  if (!os::FileExists(path)) {
    std::string old = os::JoinPath(profile.ProgramDirectory, "start.dat");
    if (old != path && os::FileExists(old)) {
      WriteLog("rename %s => %s", old.c_str(), path.c_str());
      if (std::string dir = os::DirectoryOf(path); !os::DirectoryExists(dir)) (void)os::CreateDirectories(dir);
      if (!os::RenameFile(old, path) && os::CopyFile(old, path)) (void)os::DeleteFile(old);
    }
  }
  WriteLogVerbose("Start [%s]", path.c_str());
  int opened = 0;
  bool exists = ForEachRawLine(path, [&](const std::string& line) {
    if (line.empty() || line[0] == '#' || line.size() < 3) return;
    std::string url = WithoutLineEnd(line);
    WriteLogVerbose("[Start List] %s", url.c_str());
    open("Loading...", url);
    ++opened;
  });
  if (!exists) {
    WriteLogVerbose("Can't open file %s", path.c_str());
    (void)WriteLines(path, "# Start URL List\n" + os::SJ("# 起動時に開くURLのリストを指定してください．\n") +
                               os::SJ("# 行頭が # の場合，コメントアウトとなります．\n") + "\n");
  }
  if (opened > 0) return true;
  const std::string& start = profile.ZentuStartURL;
  open(start == "about:blank" ? "blank" : "Zentu [Start Page]", start);
  return false;
}

// --- Last opened ------------------------------------------------------------------------

int SaveLastOpened(const std::string& path, const std::vector<std::string>& locations, std::string_view startUrl) {
  std::string text;
  for (const std::string& location : locations) {
    if (location.empty() || location == "about:blank" || location == startUrl) continue;
    if (location.find_first_of("\r\n") != std::string::npos) continue;  // would split into two entries
    text += location + "\n";
  }
  return WriteLines(path, text);
}

int LoadLastOpened(const std::string& path, const OpenTabFn& open) {
  WriteLog("Load last opened: %s", path.c_str());
  int opened = 0;
  ForEachRawLine(path, [&](const std::string& line) {
    if (line.size() < 4) return;
    std::string location = WithoutLineEnd(line);
    open(location.find('\\') != std::string::npos ? "" : "Loading...", location);
    ++opened;
  });
  return opened;
}

// --- Pop-up block list ------------------------------------------------------------------

int LoadBlockList(const std::string& path) {
  std::vector<std::string> entries;
  bool exists = ForEachRawLine(path, [&](const std::string& line) {
    if (line.empty() || line[0] == '#' || line.size() < 3) return;
    entries.push_back(WithoutLineEnd(line));
  });
  {
    Lists& s = State();
    std::lock_guard lock(s.mutex);
    s.blocked = entries;
  }
  if (exists) return 1;
  WriteLogVerbose("Can't open file %s", path.c_str());
  WriteBlockList(path, {});
  return 1;
}

int SaveBlockList(const std::string& path) { return WriteBlockList(path, BlockListEntries()); }

int IsUrlAllowed(std::string_view url) {
  Lists& s = State();
  std::lock_guard lock(s.mutex);
  for (const std::string& entry : s.blocked)
    if (!entry.empty() && url.find(entry) != std::string_view::npos) return 0;
  return 1;
}

std::vector<std::string> BlockListEntries() {
  Lists& s = State();
  std::lock_guard lock(s.mutex);
  return s.blocked;
}

void SetBlockListEntries(std::vector<std::string> entries) {
  Lists& s = State();
  std::lock_guard lock(s.mutex);
  std::erase_if(entries, [](const std::string& e) { return e.empty() || e.find_first_of("\r\n") != std::string::npos; });
  s.blocked = std::move(entries);
}

// --- Keywords ---------------------------------------------------------------------------

int LoadKeywords(const std::string& path) {
  if (!os::FileExists(path)) {
    std::string spare = path.substr(0, path.size() - 1) + "_";
    if (!path.empty() && os::FileExists(spare)) {
      WriteLog("Rename: %s -> %s", spare.c_str(), path.c_str());
      (void)os::RenameFile(spare, path);
    }
  }
  std::map<std::string, std::string> keywords;
  bool exists = ForEachRawLine(path, [&](const std::string& line) {
    if (line.size() <= 3) return;
    size_t tab = line.find('\t');
    if (tab == std::string::npos) return;  // no URL: nothing to expand to
    std::string keyword = line.substr(0, tab);
    std::string url = WithoutLineEnd(line.substr(tab + 1));
    if (!url.empty() && url.back() == '\r') url.pop_back();
    if (keyword.empty() || url.empty()) return;
    keywords.emplace(std::move(keyword), std::move(url));  // the first entry wins
  });
  Lists& s = State();
  std::lock_guard lock(s.mutex);
  s.keywords = std::move(keywords);
  if (exists) return 1;
  WriteLog("# file not found : %s", path.c_str());
  return 0;
}

int SaveKeywords(const std::string& path, bool flagSave) {
  if (!flagSave) return 0;
  WriteLog("# Save keyword url file");
  std::string text;
  for (const auto& [keyword, url] : Keywords()) text += keyword + "\t" + url + "\n";
  if (WriteLines(path, text)) return 1;
  WriteLog("# File not found : %s", path.c_str());
  return 0;
}

std::map<std::string, std::string> Keywords() {
  Lists& s = State();
  std::lock_guard lock(s.mutex);
  return s.keywords;
}

int StoreKeywordEntry(std::string_view keyword, std::string_view url, const std::string& path, bool flagSave) {
  // A tab or a line end inside a field would break the line format on saving.
  bool breaks = keyword.find_first_of("\t\r\n") != std::string_view::npos ||
                url.find_first_of("\r\n") != std::string_view::npos;
  if (IsRefusedKeywordField(keyword) || IsRefusedKeywordField(url) || breaks) {
    WriteLog("%s", os::SJ("# 登録できませんでした：キーワードまたはURLが不正です").c_str());
    os::MessageBox(os::SJ("登録できませんでした"), "");
    return 0;
  }
  {
    Lists& s = State();
    std::lock_guard lock(s.mutex);
    s.keywords[std::string(keyword.substr(0, kMaxKeywordBytes))] = std::string(url.substr(0, kMaxKeywordUrlBytes));
  }
  WriteLog("# Save keyword url set");
  if (!path.empty()) SaveKeywords(path, flagSave);
  return 1;
}

int ExpandKeyword(std::string_view typed, std::string& url, const KeywordDialogFn& dialog, const std::string& path,
                  bool flagSave) {
  WriteLogVerbose("# get url from keyword : [%s]", std::string(typed).c_str());
  std::string keyword(typed);
  std::string parameter;
  if (size_t blank = keyword.find(' '); blank != std::string::npos) {
    parameter = keyword.substr(blank + 1);
    keyword.resize(blank);
  }
  if (keyword.empty()) return 0;
  auto ask = [&](std::string prefill) {
    if (!dialog) return false;
    std::string k = std::move(prefill), u;
    if (!dialog(k, u)) return false;
    return StoreKeywordEntry(k, u, path, flagSave) == 1;
  };
  if (keyword == "edit" || keyword == "new") {
    ask("");
    return 0;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::map<std::string, std::string> keywords = Keywords();
    if (auto it = keywords.find(keyword); it != keywords.end()) {
      WriteLogVerbose("# match [%s] -> [%s]", keyword.c_str(), it->second.c_str());
      url = it->second + parameter;
      if (url.size() > 2047) url.resize(2047);
      return 1;
    }
    if (attempt == 0 && !ask(keyword)) return 0;
  }
  return 0;
}

int OpenKeyword(std::string_view typed, const KeywordOpeners& openers, const std::string& path, bool flagSave) {
  std::string url;
  if (ExpandKeyword(typed, url, openers.dialog, path, flagSave) != 1) return 0;
  if (url.size() >= 3 && url.compare(url.size() - 3, 3, "exe") == 0) {
    if (openers.shellOpen) openers.shellOpen(url);
  } else if (openers.open) {
    openers.open(url);
  }
  return 1;
}

void SetOpenLocationsSource(std::function<std::vector<std::string>()> source) {
  Lists& s = State();
  std::lock_guard lock(s.mutex);
  s.openLocations = std::move(source);
}

void InstallBrowserListHooks() {
  SetConfigFileHook(
      ConfigFile::Keyword2Url, [](Profile&, const std::string& path) { LoadKeywords(path); return 1; },
      [](const Profile& p, const std::string& path) { return SaveKeywords(path, p.FlagSave) || !p.FlagSave ? 1 : 0; });
  SetConfigFileHook(
      ConfigFile::CloseUrl, [](Profile&, const std::string& path) { return LoadBlockList(path); },
      [](const Profile&, const std::string& path) { return SaveBlockList(path); });
  SetConfigFileHook(ConfigFile::LastOpened, {},
                    [](const Profile& p, const std::string& path) {
                      if (!p.OpenLastOpened) return 1;
                      std::function<std::vector<std::string>()> source;
                      {
                        Lists& s = State();
                        std::lock_guard lock(s.mutex);
                        source = s.openLocations;
                      }
                      return SaveLastOpened(path, source ? source() : std::vector<std::string>{}, p.ZentuStartURL);
                    });
}

void ResetBrowserLists() {
  Lists& s = State();
  std::lock_guard lock(s.mutex);
  s.blocked.clear();
  s.keywords.clear();
  s.openLocations = nullptr;
}

}  // namespace zentu
