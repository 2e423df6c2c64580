// The search for orphans: the walk, the tree file's references and the link
// analysis of every referred page.
#include <algorithm>
#include <deque>
#include <unordered_map>

#include "capture/rules.h"
#include "cleaner/cleaner.h"
#include "os/cp932.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "os/text.h"
#include "pagelib/codedetect.h"
#include "pagelib/scanner.h"
#include "pagelib/url.h"
#include "store/treefile.h"

namespace zentu::cleaner {
namespace {

constexpr size_t kTreeLineLimit = 65536;

// Path names compare without regard to case; the trail byte of a two-byte
// character is never folded. "." and ".." are walked, so a reference that
// goes round a folder still finds its file.
std::string KeyOf(std::string_view relative) {
  std::vector<std::string> parts;
  std::string part;
  auto flush = [&] {
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    part.clear();
  };
  for (size_t i = 0; i < relative.size(); ++i) {
    char c = relative[i];
    if (os::IsSjisLeadByte(static_cast<unsigned char>(c)) && i + 1 < relative.size()) {
      part += c;
      part += relative[++i];
    } else if (c == '\\' || c == '/') {
      flush();
    } else {
      part += os::AsciiLower(c);
    }
  }
  flush();
  std::string key;
  for (const std::string& p : parts) {
    if (!key.empty()) key += '\\';
    key += p;
  }
  return key;
}

struct Entry {
  std::string path;
  uint64_t size = 0;
  std::time_t modified = 0;
  bool linked = false;
  bool analysed = false;
};

class Analysis {
 public:
  Analysis(const Settings& settings, const Options& options)
      : settings_(settings), options_(options), root_(ModeDirectory(settings, options.mode)) {
    profile_ = LookupProfile(settings.dataDirectory);
    profile_.spaceToUnderscore = false;  // the cleaner keeps spaces
  }

  Result Run() {
    if (!os::DirectoryExists(root_)) return Finish(Outcome::DirectoryMissing);
    WriteLog("--------------------------------------------------");
    WriteLog("Load Files: %s", root_.c_str());
    WriteLog("wait a minutes....");
    WriteLog("Loading...");
    Walk();
    if (Stopped()) return Finish(Outcome::Stopped);
    WriteLog("Loaded.");
    WriteLog("Total File Count: %d", result_.counters.total.count);
    WriteLog("Total File Size: %.2lf MBytes", result_.counters.total.MBytes());
    if (!os::DirectoryExists(root_)) return Finish(Outcome::DirectoryMissing);
    Report();
    if (!LoadTree()) return Finish(Outcome::TreeMissing);
    Report();
    AnalyseQueue();
    if (Stopped()) return Finish(Outcome::Stopped);
    CollectOrphans();
    return Finish(Outcome::Done);
  }

 private:
  bool Stopped() const { return options_.stop && options_.stop->load(); }

  Result Finish(Outcome outcome) {
    result_.outcome = outcome;
    return std::move(result_);
  }

  void Report() {
    if (options_.progress) options_.progress(result_.counters);
  }

  void Walk() {
    std::vector<std::string> folders{""};
    std::vector<os::DirEntry> entries;
    while (!folders.empty() && !Stopped()) {
      std::string relative = std::move(folders.back());
      folders.pop_back();
      std::string folder = relative.empty() ? root_ : os::JoinPath(root_, relative);
      if (!os::ListDirectory(folder, entries)) {
        WriteLog("> can't list %s", folder.c_str());
        result_.folderErrors.push_back(folder);
        continue;
      }
      for (os::DirEntry& e : entries) {
        std::string rel = relative.empty() ? e.name : relative + "\\" + e.name;
        // A linked entry may lead anywhere, and a name the program paths cannot
        // hold cannot be moved by its name: neither is ever a candidate.
        if (e.isLink || e.lossy) continue;
        if (e.isDirectory) {
          folders.push_back(std::move(rel));
          continue;
        }
        Entry entry;
        entry.path = os::JoinPath(root_, rel);
        entry.size = e.size;
        entry.modified = e.modified;
        auto [it, added] = files_.emplace(KeyOf(rel), std::move(entry));
        if (!added) continue;  // two names that differ only in case: the first stands
        result_.counters.total.Add(e.size);
        if (result_.counters.total.count % 1000 == 0)
          WriteLogProgress(1, "Loading... %d files (%.3lf Mbytes)", result_.counters.total.count,
                           result_.counters.total.MBytes());
      }
    }
  }

  bool LoadTree() {
    WriteLog("Load My Zentu : %s", settings_.treeFile.c_str());
    os::File file;
    if (!file.Open(settings_.treeFile, os::File::Mode::Read)) {
      WriteLog("> not found : %s", settings_.treeFile.c_str());
      return false;
    }
    std::string line;
    WriteLog("Loading...");
    while (file.ReadLine(line, kTreeLineLimit)) {
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      size_t start = line.find_first_not_of(" \t");
      if (start == std::string::npos) continue;
      std::string_view s(line.data() + start, line.size() - start);
      if (os::StartsWithNoCase(s, "<VERSION>")) {
        double v = 0;
        if (std::sscanf(line.c_str() + start, "<VERSION>%lf", &v) == 1) WriteLog("Zentu Tree / version %.2lf", v);
        continue;
      }
      if (s.rfind("<LI TYPE=\"", 0) == 0) continue;
      if (s.front() != '<' || s.back() != '>') continue;
      if (s.rfind("<UL>", 0) == 0 || s.rfind("</UL>", 0) == 0 || s.rfind("<HTML>", 0) == 0 ||
          s.rfind("</HTML>", 0) == 0 || s.rfind("<TITLE>", 0) == 0)
        continue;
      ItemLineFields fields;
      if (!ParseItemLine(std::string(s), fields)) {
        WriteLog("# READ ERROR : %s", line.c_str());
        continue;
      }
      ++result_.treeItems;
      if (result_.treeItems % 1000 == 0) WriteLogProgress(1, "Loading... %d items", result_.treeItems);
      if (!fields.localFile.empty()) Mark(fields.localFile);
    }
    WriteLog("Loaded. %d items", result_.treeItems);
    return true;
  }

  // A reference of an item or a link target, as the file of the walk it names.
  Entry* Lookup(std::string_view reference) {
    std::string path = LinkTargetToLocalPath(settings_.dataDirectory, reference);
    auto find = [&](const std::string& p) -> Entry* {
      if (p.size() <= root_.size() || !os::StartsWithNoCase(p, root_) || p[root_.size()] != '\\') return nullptr;
      auto it = files_.find(KeyOf(std::string_view(p).substr(root_.size() + 1)));
      return it == files_.end() ? nullptr : &it->second;
    };
    if (Entry* e = find(path)) return e;
    MapPathInPlace(path, root_);
    return find(path);
  }

  void Mark(std::string_view reference) {
    if (log::DebugFlag()) WriteLogVerbose("checked: %s", std::string(reference).c_str());
    Entry* e = Lookup(reference);
    if (!e || e->linked || e->analysed) return;
    e->linked = true;
    result_.counters.linked.Add(e->size);
    if (CheckFileType(e->path, kDownloadAsBinary) == 2) {
      e->analysed = true;
      result_.counters.checked.Add(e->size);
      return;
    }
    queue_.push_back(e);
  }

  void AnalyseQueue() {
    while (!queue_.empty() && !Stopped()) {
      if (result_.counters.linked.count == result_.counters.total.count) {
        WriteLog("All Files are linked.");
        result_.allLinked = true;
        return;
      }
      Entry* e = queue_.front();
      queue_.pop_front();
      Analyse(*e);
      result_.counters.checked.Add(e->size);
      if (result_.counters.checked.count % 10 == 0) Report();
    }
    if (result_.counters.linked.count == result_.counters.total.count) {
      WriteLog("All Files are linked.");
      result_.allLinked = true;
    }
    Report();
  }

  void Analyse(Entry& e) {
    WriteLogVerbose("analyzing... %s", e.path.c_str());
    e.analysed = true;
    UrlLocation location;
    if (!MapUrlToLocation(e.path, profile_, location)) {
      Unsure(e.path);
      return;
    }
    std::string bytes;
    if (!os::ReadWholeFile(e.path, bytes)) {
      WriteLog("can't read %s", e.path.c_str());
      Unsure(e.path);
      return;
    }
    if (bytes.find('\0') != std::string::npos) return;  // binary: it names nothing
    ReadOptions read;
    read.dataDirectory = settings_.dataDirectory;
    read.location = e.path;
    read.host = location.hostName;
    read.followLinks = options_.followLinks;
    PageReading page;
    if (FileExtension(e.path) == "css") {
      page = ReadStyleSheet(bytes, read);
    } else {
      page = ReadPage(ConvertToSjis(bytes, DetectCode(bytes)), read);
    }
    const std::string folder = os::DirectoryOf(e.path);
    for (const FoundLink& link : page.links) {
      for (const std::string& target : link.targets) Mark(target);
      // Saved copies link to each other as "../host/..." from the host folder;
      // the resolver keeps ".." below the host, so the plain join is marked as
      // well ("." and ".." are walked by the lookup).
      if (IsPlainRelative(link.link)) Mark(folder + "\\" + link.link);
    }
  }

  static bool IsPlainRelative(std::string_view link) {
    if (link.empty() || link[0] == '/' || link[0] == '\\' || link[0] == '#') return false;
    if (link.find(':') != std::string_view::npos) return false;  // a scheme or a drive
    return link.find("..") != std::string_view::npos;
  }

  // A referred file whose links could not be read: what lies beside it may
  // be its pictures, so nothing in its folder (or below, unless that folder
  // is the directory itself) is listed.
  void Unsure(const std::string& path) { unsure_.push_back(os::DirectoryOf(path)); }

  bool Protected(const std::string& path) const {
    for (const std::string& folder : unsure_) {
      if (!os::StartsWithNoCase(path, folder) || path.size() <= folder.size() || path[folder.size()] != '\\')
        continue;
      if (folder.size() != root_.size()) return true;
      if (path.find('\\', folder.size() + 1) == std::string::npos) return true;
    }
    return false;
  }

  void CollectOrphans() {
    WriteLog("update delete file list");
    for (auto& [key, e] : files_) {
      if (e.linked || Protected(e.path)) continue;
      // A file the cleaner cannot even open is not one it can judge.
      os::File probe;
      if (!probe.Open(e.path, os::File::Mode::Read)) continue;
      result_.orphans.push_back({e.path, e.size, e.modified});
    }
    std::sort(result_.orphans.begin(), result_.orphans.end(),
              [](const Orphan& a, const Orphan& b) { return a.path < b.path; });
  }

  const Settings& settings_;
  const Options& options_;
  std::string root_;
  UrlMapProfile profile_;
  std::unordered_map<std::string, Entry> files_;
  std::deque<Entry*> queue_;
  std::vector<std::string> unsure_;
  Result result_;
};

}  // namespace

const std::string& ModeDirectory(const Settings& settings, Mode mode) {
  return mode == Mode::Text ? settings.textDirectory : settings.dataDirectory;
}

Result FindOrphans(const Settings& settings, const Options& options) {
  return Analysis(settings, options).Run();
}

}  // namespace zentu::cleaner
