// RSS, Atom and OPML. An RSS folder stands for one feed: its children are the
// feed's entries. A feed job (Type 2) downloads the feed through the pipeline,
// and its analysis adds items for new entries, marks changed ones, queues their
// pages and removes stale ones. An OPML job (Type 3) makes RSS folders.
//
// The reader is a tolerant tag scanner over the page tokenizer, not an XML
// parser: entities are never expanded (so no entity can loop or grow), unknown
// tags are skipped, and every text it keeps is cut to a fixed size. Dates are
// compared as text and never parsed.
//
// The analysis runs on the analysis thread. Redirect checks of the entries'
// links go out without any lock; the tree changes are made afterwards under
// TreeMutex() in one step.
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/job.h"
#include "store/tree.h"

namespace zentu {

struct FeedEntry {
  std::string title;  // Shift_JIS, markup removed, character references kept
  std::string link;
  std::string date;
};

// Entries beyond this many in one feed are dropped (logged): no real feed
// comes close, and each entry becomes an item and a job.
inline constexpr size_t kMaxFeedEntries = 20000;
// A title or date longer than this is cut; links are cut to kMaxUrlLength.
inline constexpr size_t kMaxFeedText = 1023;

// The entries of a feed text (Shift_JIS), in order: items and entries with
// links as text or href, entries without a link dropped.
std::vector<FeedEntry> ScanFeedEntries(std::string_view text);

struct OpmlOutline {
  std::string title;
  std::string xmlUrl;
};
// The outlines of an OPML text that carry both a title and an xmlUrl.
std::vector<OpmlOutline> ScanOpmlOutlines(std::string_view text);

// The analysis of a feed job: 1 done, 0 failed (message on the job).
int AnalyzeFeed(DownloadJob& job, std::string& text);
// The analysis of an OPML job: 1 done, 0 failed.
int AnalyzeOPML(DownloadJob& job, std::string& text);

// The top-level "Import OPML" folder, made when missing. Tree lock held.
TreeNode* FindOrCreateOpmlFolder();
// A new RSS folder with the profile's auto-delete and feed-only settings,
// appended to `parent`; nullptr when the link was refused. Tree lock held.
TreeNode* CreateRssFolder(TreeNode* parent, std::string_view title, std::string_view url);
// Queues an OPML list for import (the menu command after its dialog). 1 when
// queued; 0 for a URL that is no http or https URL.
int ImportOPML(std::string_view url);
// Queues the feed of an RSS folder. Tree lock held.
int QueueFeed(TreeNode* folder, bool withSource, bool withNode);

// True for the links a feed may hand to the capture: http and https only
// (a local path would copy a file of this machine into the collection).
bool IsFeedLink(std::string_view url);

// How an entry's link is checked for a redirect; the target or the link
// itself. Unset: a HEAD request (ResolveMovedURL). Tests and benchmarks set
// their own.
using FeedLinkResolver = std::function<std::string(std::string_view url)>;
void SetFeedLinkResolver(FeedLinkResolver resolver);

// Installs the feed and OPML analyses into the pipeline.
void InstallFeeds();

}  // namespace zentu
