#include "capture/feeds.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "capture/http.h"
#include "capture/pipeline.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/log.h"
#include "os/path.h"
#include "os/text.h"
#include "pagelib/charref.h"
#include "pagelib/scanner.h"
#include "pagelib/url.h"
#include "store/profile.h"
#include "store/treefile.h"

namespace zentu {
namespace {

using os::SJ;
using os::StartsWithNoCase;

// Raw text gathered for one field before it is cleaned; more is never kept.
constexpr size_t kMaxRawText = 64 * 1024;
constexpr std::string_view kCdataOpen = "<![CDATA[";
constexpr std::string_view kOpmlFolderTitle = "Import OPML";

std::mutex& ResolverMutex() {
  static std::mutex mutex;
  return mutex;
}
FeedLinkResolver& Resolver() {
  static FeedLinkResolver resolver;
  return resolver;
}

std::string ResolveLink(std::string_view url) {
  FeedLinkResolver resolver;
  {
    std::lock_guard lock(ResolverMutex());
    resolver = Resolver();
  }
  return resolver ? resolver(url) : ResolveMovedURL(url);
}

void Append(std::string& to, std::string_view text) {
  if (to.size() >= kMaxRawText) return;
  to.append(text.substr(0, kMaxRawText - to.size()));
}

// The value of an attribute in a tag: the name preceded by a blank or tab; the
// value starts after blanks, tabs, quotes and "=", and ends at a blank, tab,
// quote or ">". Empty when the tag has none.
std::string_view LooseAttribute(std::string_view tag, std::string_view name) {
  for (size_t at = 1; at + name.size() < tag.size(); ++at) {
    if ((tag[at - 1] != ' ' && tag[at - 1] != '\t') || !StartsWithNoCase(tag.substr(at), name)) continue;
    size_t i = at + name.size();
    if (i < tag.size() && tag[i] != '=' && tag[i] != ' ' && tag[i] != '\t') continue;  // a longer name
    while (i < tag.size() && (tag[i] == ' ' || tag[i] == '\t' || tag[i] == '"' || tag[i] == '\'' || tag[i] == '='))
      ++i;
    size_t end = i;
    while (end < tag.size() && tag[end] != ' ' && tag[end] != '\t' && tag[end] != '"' && tag[end] != '\'' &&
           tag[end] != '>')
      ++end;
    return tag.substr(i, end - i);
  }
  return {};
}

// A CDATA section unwrapped, then every "<...>" removed; blanks at both ends
// trimmed.
std::string CleanText(std::string_view raw, size_t limit) {
  std::string text;
  if (size_t open = raw.find(kCdataOpen); open != std::string_view::npos) {
    std::string_view inner = raw.substr(open + kCdataOpen.size());
    size_t close = inner.find("]]>");
    text.append(raw.substr(0, open));
    text.append(inner.substr(0, close));
    if (close != std::string_view::npos) text.append(inner.substr(close + 3));
  } else {
    text.assign(raw);
  }
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '<') {
      size_t gt = text.find('>', i);
      if (gt != std::string::npos) {
        i = gt + 1;
        continue;
      }
    }
    out += text[i++];
  }
  size_t first = out.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  size_t last = out.find_last_not_of(" \t");
  return os::CutSjis(std::string_view(out).substr(first, last - first + 1), limit);
}

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// Which field the scanner's text goes to.
struct FeedScan {
  bool inEntry = false, inTitle = false, inLink = false, inDate = false;
  std::string title, link, date;
  std::vector<FeedEntry> entries;
  size_t dropped = 0;

  void EndEntry() {
    FeedEntry e;
    e.link = CleanText(link, kMaxUrlLength);
    if (!e.link.empty()) {
      if (std::count(e.link.begin(), e.link.end(), '/') == 2) e.link += '/';
      e.title = DecodeTitleReferences(CleanText(title, kMaxFeedText));
      e.date = CleanText(date, kMaxFeedText);
      if (entries.size() < kMaxFeedEntries) entries.push_back(std::move(e));
      else ++dropped;
    }
    title.clear();
    link.clear();
    date.clear();
  }

  void Tag(std::string_view tag) {
    if (StartsWithNoCase(tag, "<title")) {
      inTitle = !(tag.size() >= 3 && tag[tag.size() - 2] == '/');
    } else if (StartsWithNoCase(tag, "</title>")) {
      inTitle = false;
    } else if (StartsWithNoCase(tag, "<items>") || StartsWithNoCase(tag, "</items>")) {
      // the table of contents of an RSS 1.0 channel
    } else if (StartsWithNoCase(tag, "<item") || StartsWithNoCase(tag, "<entry")) {
      inEntry = true;
    } else if (StartsWithNoCase(tag, "</item>") || StartsWithNoCase(tag, "</entry>")) {
      if (inEntry) EndEntry();
      inEntry = inTitle = inLink = inDate = false;
    } else if (StartsWithNoCase(tag, "<link>")) {
      inLink = true;
    } else if (StartsWithNoCase(tag, "</link>")) {
      inLink = false;
    } else if (StartsWithNoCase(tag, "<link")) {
      // Atom gives a link per relation; the page is the alternate one (or
      // one without rel). Appending them all would make one broken URL.
      if (!inEntry || !link.empty()) return;
      std::string_view rel = LooseAttribute(tag, "rel");
      if (!rel.empty() && !os::EqualsNoCase(rel, "alternate")) return;
      Append(link, LooseAttribute(tag, "href"));
    } else if (StartsWithNoCase(tag, "<dc:date>") || StartsWithNoCase(tag, "<modified") ||
               StartsWithNoCase(tag, "<updated") || StartsWithNoCase(tag, "<pubdate>")) {
      inDate = true;
    } else if (StartsWithNoCase(tag, "</dc:date>") || StartsWithNoCase(tag, "</modified") ||
               StartsWithNoCase(tag, "</updated") || StartsWithNoCase(tag, "</pubdate>")) {
      inDate = false;
    }
  }

  void Text(std::string_view text) {
    if (!inEntry || text == "\r\n") return;
    std::string* to = inTitle ? &title : inLink ? &link : inDate ? &date : nullptr;
    if (!to) return;
    const size_t before = to->size();
    Append(*to, text);
    for (size_t i = before; i < to->size(); ++i)
      if ((*to)[i] == '\r' || (*to)[i] == '\n') (*to)[i] = ' ';
  }
};

// Cuts the text into tokens: CDATA sections whole (they may hold "<" and ">"),
// then the page tokenizer's tags and texts. A tag that never ends stops it.
template <class OnTag, class OnText>
void ForEachToken(std::string_view text, OnTag onTag, OnText onText) {
  while (!text.empty()) {
    size_t n;
    bool tag;
    if (text.substr(0, kCdataOpen.size()) == kCdataOpen) {
      size_t close = text.find("]]>", kCdataOpen.size());
      n = close == std::string_view::npos ? text.size() : close + 3;
      tag = false;
    } else {
      n = NextSegment(text, ModeText);
      if (n == 0) return;
      tag = text[0] == '<' && n >= 2 && text[n - 1] == '>';
    }
    const std::string_view token = text.substr(0, n);
    if (tag) onTag(token);
    else onText(token);
    text.remove_prefix(n);
  }
}

// The value of `name="..."` in a tag; names compared without regard to case,
// the value running to the next double quote.
bool QuotedAttribute(std::string_view tag, std::string_view name, std::string& value) {
  for (size_t at = 0; at + name.size() + 2 <= tag.size(); ++at) {
    if (!StartsWithNoCase(tag.substr(at), name) || tag.substr(at + name.size(), 2) != "=\"") continue;
    if (at > 0 && tag[at - 1] != ' ' && tag[at - 1] != '\t' && tag[at - 1] != '\r' && tag[at - 1] != '\n') continue;
    const size_t start = at + name.size() + 2;
    const size_t end = tag.find('"', start);
    if (end == std::string_view::npos) return false;
    value.assign(tag.substr(start, end - start));
    return true;
  }
  return false;
}

void Fail(DownloadJob& job, const char* text) {
  WriteLog("%s", text);
  SetJobMessage(job, "%s", text);
}

// The RSS folder of a feed job: its item, or the first RSS folder of the
// collection with the job's URL. Tree lock held.
TreeNode* FeedFolder(const DownloadJob& job) {
  DownloadManager& m = GetDownloadManager();
  TreeNode* node = job.Node;
  if (node && m.FindJob(job.URL, nullptr)) node = m.JobNode(job.URL);
  if (IsRssFolder(node)) return node;
  TreeNode* root = GetTreeState().root;
  for (TreeNode* n = root; n; n = NextInPreorder(n, root))
    if (IsRssFolder(n) && n->url == job.URL) return n;
  return nullptr;
}

bool IsUrlItem(const TreeNode* n) { return IsItem(n) && n->property == kPropertyUrlItem; }

void RemoveItem(TreeNode* item) {
  (void)GetDownloadManager().DetachSubtree(item);
  DestroyNode(item);
}

}  // namespace

bool IsFeedLink(std::string_view url) {
  return StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://");
}

void SetFeedLinkResolver(FeedLinkResolver resolver) {
  std::lock_guard lock(ResolverMutex());
  Resolver() = std::move(resolver);
}

std::vector<FeedEntry> ScanFeedEntries(std::string_view text) {
  FeedScan scan;
  ForEachToken(
      text, [&](std::string_view tag) { scan.Tag(tag); }, [&](std::string_view t) { scan.Text(t); });
  if (scan.dropped) WriteLog("> feed: %zu entries beyond %zu dropped", scan.dropped, kMaxFeedEntries);
  return std::move(scan.entries);
}

std::vector<OpmlOutline> ScanOpmlOutlines(std::string_view text) {
  std::vector<OpmlOutline> outlines;
  ForEachToken(
      text,
      [&](std::string_view tag) {
        if (!StartsWithNoCase(tag, "<outline") || outlines.size() >= kMaxFeedEntries) return;
        OpmlOutline o;
        if (!QuotedAttribute(tag, "title", o.title) || !QuotedAttribute(tag, "xmlUrl", o.xmlUrl)) return;
        o.title = DecodeTitleReferences(os::CutSjis(o.title, kMaxFeedText));
        std::string url = os::CutSjis(o.xmlUrl, kMaxUrlLength);
        ReplaceAll(url, "&amp;", "&");
        o.xmlUrl = std::move(url);
        outlines.push_back(std::move(o));
      },
      [](std::string_view) {});
  return outlines;
}

int AnalyzeFeed(DownloadJob& job, std::string& text) {
  if (text.empty()) {
    WriteLog("Can't read buffer for Get Data");
    SetJobMessage(job, "Can't read buffer for Get Data");
    return 0;
  }
  {
    std::lock_guard tree(TreeMutex());
    if (!FeedFolder(job)) {
      Fail(job, "Can't detect RSS Folder");
      return 0;
    }
  }

  // The entries and their redirects first, without any lock: a HEAD request
  // per entry must not hold up the windows.
  std::vector<FeedEntry> entries = ScanFeedEntries(text);
  for (FeedEntry& e : entries) {
    ReplaceAll(e.link, "&amp;", "&");
    ReplaceAll(e.link, "&apos;", "'");
    WriteLogVerbose("RSS>> [%s] %s", e.title.c_str(), e.link.c_str());
    if (!IsFeedLink(e.link)) continue;
    for (int hop = 0; hop < 2; ++hop) {
      std::string target = os::CutSjis(ResolveLink(e.link), kMaxUrlLength);
      if (target.empty() || target == e.link || !IsFeedLink(target)) break;
      e.link = std::move(target);
    }
  }

  std::lock_guard tree(TreeMutex());
  TreeNode* folder = FeedFolder(job);  // again: the tree may have changed meanwhile
  if (!folder) {
    Fail(job, "Can't detect RSS Folder");
    return 0;
  }
  DownloadManager& manager = GetDownloadManager();
  const bool feedOnly = folder->feedOnly;
  // Items not met in this feed; the first item of each URL stands for the entry.
  std::unordered_set<TreeNode*> unseen;
  std::unordered_map<std::string, TreeNode*> byUrl;
  for (TreeNode* c = folder->firstChild; c; c = c->next) {
    if (!IsUrlItem(c)) continue;
    unseen.insert(c);
    byUrl.emplace(c->url, c);
  }

  int added = 0, changed = 0, removed = 0;
  for (const FeedEntry& e : entries) {
    if (!IsFeedLink(e.link)) {
      WriteLog("> feed entry refused (no http or https link): %s", e.link.c_str());
      continue;
    }
    if (auto it = byUrl.find(e.link); it != byUrl.end()) {
      TreeNode* item = it->second;
      unseen.erase(item);
      const bool isChanged = !e.date.empty() && e.date != item->originalDate;
      if (isChanged) {
        ++changed;
        SetOriginalDate(item, e.date);
        if (!item->unread) SetUnreadFlag(item, true);
        if (!feedOnly) {
          SetDownloadFlag(item, kDownloadChanged);
          manager.AddJob(e.link, job.URL, false, item);
        }
      } else if (!feedOnly && item->downloadFlag == kDownloadError) {
        // A page that failed while its entry is still in the feed is tried again.
        manager.AddJob(e.link, job.URL, false, item);
      }
      continue;
    }
    TreeNode* item = CreateNode(e.title.empty() ? e.link : e.title, e.link, {}, kNodeItem);
    SetProperty(item, kPropertyUrlItem);
    item->originalDate = e.date;
    if (!Link(item, folder, kLinkLastChild)) {
      DestroyNode(item);
      continue;
    }
    ++added;
    byUrl.emplace(e.link, item);
    if (feedOnly) SetUnreadFlag(item, true);
    else manager.AddJob(e.link, job.URL, false, item);
  }

  if (folder->autoDelete) {
    // Only entries gone from the feed go: an unmarked one that failed or never
    // finished, or one that has been read once its page was kept (or at once
    // in a feed-only folder).
    std::vector<TreeNode*> stale;
    for (TreeNode* c = folder->firstChild; c; c = c->next) {
      if (!unseen.count(c) || c->mark != 0) continue;
      const bool unfinished = c->downloadFlag == kDownloadChanged || c->downloadFlag == kDownloadError;
      const bool readAndKept =
          !c->unread && (feedOnly || c->downloadFlag == kDownloadDone || c->downloadFlag == kDownloadError);
      if (unfinished || readAndKept) stale.push_back(c);
    }
    for (TreeNode* c : stale) RemoveItem(c);
    removed = static_cast<int>(stale.size());
  }
  if (added || changed || removed) MarkTreeModified();
  WriteLog("# RSS %s: %d new, %d changed, %d removed", job.URL.c_str(), added, changed, removed);
  return 1;
}

TreeNode* FindOrCreateOpmlFolder() {
  TreeNode* root = GetTreeState().root;
  if (!root) return nullptr;
  for (TreeNode* c = root->firstChild; c; c = c->next)
    if (IsFolder(c) && c->title == kOpmlFolderTitle) return c;
  TreeNode* folder = CreateNode(kOpmlFolderTitle, {}, {}, kNodeFolder);
  SetProperty(folder, kPropertyImportFolder);
  if (!Link(folder, root, kLinkLastChild)) {
    DestroyNode(folder);
    return nullptr;
  }
  folder->expanded = true;
  MarkTreeModified();
  return folder;
}

TreeNode* CreateRssFolder(TreeNode* parent, std::string_view title, std::string_view url) {
  if (!parent || IsItem(parent)) return nullptr;
  const Profile& p = CurrentProfile();
  TreeNode* folder = CreateNode(title, url, url, kNodeFolder);
  SetProperty(folder, kPropertyRssFolder);
  folder->autoDelete = p.RSSAutoDelete;
  folder->feedOnly = p.RSSDLFeedOnly;
  if (!Link(folder, parent, kLinkLastChild)) {
    DestroyNode(folder);
    return nullptr;
  }
  MarkTreeModified();
  return folder;
}

int AnalyzeOPML(DownloadJob& job, std::string& text) {
  if (text.empty()) {
    Fail(job, "Can't read buffer for Get Data");
    return 0;
  }
  const std::vector<OpmlOutline> outlines = ScanOpmlOutlines(text);
  int created = 0;
  {
    std::lock_guard tree(TreeMutex());
    TreeNode* folder = FindOrCreateOpmlFolder();
    if (!folder) {
      Fail(job, "Can't create the Import OPML folder");
      return 0;
    }
    std::unordered_set<std::string> known;
    for (TreeNode* c = folder->firstChild; c; c = c->next)
      if (IsRssFolder(c)) known.insert(c->url);
    for (const OpmlOutline& o : outlines) {
      if (!IsFeedLink(o.xmlUrl)) {
        WriteLog("> OPML outline refused (no http or https feed): %s", o.xmlUrl.c_str());
        continue;
      }
      if (!known.insert(o.xmlUrl).second) continue;
      if (CreateRssFolder(folder, o.title, o.xmlUrl)) ++created;
    }
  }
  WriteLog("# OPML %s: %zu outlines, %d new RSS folders", job.URL.c_str(), outlines.size(), created);
  if (outlines.empty()) os::MessageBox(SJ("RSSアイテムを検出できませんでした"), "Zentu");
  return 1;
}

int QueueFeed(TreeNode* folder, bool withSource, bool withNode) {
  if (!IsRssFolder(folder)) return 0;
  return GetDownloadManager().AddFeedJob(folder->url, withSource ? folder->localFile : std::string(),
                                         kJobTypeRss, folder->feedSetting, false, withNode ? folder : nullptr);
}

int ImportOPML(std::string_view url) {
  if (!IsFeedLink(url)) return 0;
  {
    std::lock_guard tree(TreeMutex());
    (void)FindOrCreateOpmlFolder();
  }
  return GetDownloadManager().AddFeedJob(os::CutSjis(url, kMaxUrlLength), "", kJobTypeOpml, 0, false, nullptr) > 0
             ? 1
             : 0;
}

void InstallFeeds() {
  SetPipelineHook(&PipelineHooks::analyzeFeed, [](DownloadJob& job, std::string& text) { return AnalyzeFeed(job, text); });
  SetPipelineHook(&PipelineHooks::importOpml, [](DownloadJob& job, std::string& text) { return AnalyzeOPML(job, text); });
}

}  // namespace zentu
