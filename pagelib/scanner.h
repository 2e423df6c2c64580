// The page scanner: cuts an HTML page or a style sheet (Shift_JIS bytes, or the
// page's own encoding) into segments, finds the links in tags, style sheets and
// script strings, and either writes a copy whose links are replaced by what the
// capture pipeline gives for them (the rewriting scanner) or only gathers the
// title and the links (the reading scanner used by search, cleaner and analyzer).
//
// Hostile pages are expected: every routine works on explicit lengths, never
// reads past the end, never splits a two-byte Shift_JIS character, and runs in
// time linear in the page (apart from the patterns of one tag).
#pragma once
#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zentu {

// Scan modes; the mode carries over from one segment to the next.
inline constexpr int ModeText = 1;
inline constexpr int ModeTitle = 2;
inline constexpr int ModeScript = 4;
inline constexpr int ModeStyle = 6;

// Link kinds handed to the pipeline with each link.
inline constexpr int kLinkResource = 0;  // embedded resource, or a link only to be rewritten
inline constexpr int kLinkPage = 1;      // a page link of a site download (a hop)

// Length of the next segment at the start of `text` in `mode`, or 0 when there
// is none (empty text, or a tag or comment without its end).
[[nodiscard]] size_t NextSegment(std::string_view text, int mode);

// Settings the pipeline copies from the profile. All off here; the profile's
// own defaults differ (several are on there).
struct ScanSettings {
  bool cutFrontOfHtmlTag = false;    // "CutFrontOfHtmlTag"
  bool commentOutIFrameTag = false;  // "CommentOutIFrameTag"
  bool commentOutXmlTag = false;     // "CommentOutXMLTag"
  bool forceConvToSjis = false;      // "ForceConvToSJIS"
  bool ignoreJavaScript = false;     // "IgnoreJavaScript"
};

// What the scanner needs of the page's download job, and what it reports back.
struct ScanJob {
  std::string url;            // the page's URL
  bool followLinks = false;   // a site download: a and area links are passed as hops
  bool storedAsSjis = false;  // the copy is Shift_JIS (code 1): declared charsets may be rewritten
  int code = 0;               // detected code of the page, for the title (codedetect.h)
  std::string localPath;      // where RewriteStylesheetFile writes
  // Out (and in, for the title: a placeholder holding "://" is replaced).
  std::string title;
  std::string baseUrl;         // href of the page's base tag, when it has one
  std::string updateContents;  // content of the WWWC meta element
  bool hasUpdateContents = false;
  std::string message;  // failure text for the job's row
};

// The pipeline's answer for one link: the text written in its place (may be
// empty). It also queues the target for download.
using HandleLinkFn = std::function<std::string(ScanJob& job, std::string_view link, int kind)>;
// The pipeline's base handling: told the href of a base tag, returns the text
// written in its place. Without it the base tag is left out of the copy, so the
// copy's rewritten relative links keep working offline.
using HandleBaseFn = std::function<std::string(ScanJob& job, std::string_view href)>;
// The convert rules: may change the tag in place; returns true when a rule applied.
using ConvertTagFn = std::function<bool(std::string& tag)>;

// Where a found link came from; the reading scanner's callers filter by it.
enum class LinkSource {
  Page,      // a and area tags
  Frame,     // frame and iframe tags
  Resource,  // everything else: src, background, applet, param, link, meta refresh,
             // comments, scripts and style sheets
};

struct FoundLink {
  std::string link;                  // as written in the page (group 1 of the pattern)
  std::vector<std::string> targets;  // ResolveLink's answer against the page's location
  int kind = kLinkResource;
  LinkSource source = LinkSource::Resource;
};

// State of one scan. Fill job, settings and the hooks, then call RewritePage,
// RewriteStylesheetFile or the lower routines; the copy accumulates in `out`.
struct PageScanner {
  ScanJob* job = nullptr;
  ScanSettings settings;
  HandleLinkFn handleLink;  // unset: links are written unchanged
  HandleBaseFn handleBase;
  ConvertTagFn convertTag;                  // unset: no convert rules
  const std::atomic<bool>* stop = nullptr;  // the stop-download flag

  std::string out;  // the rewritten copy
  bool inFragment = false;
  bool collectLinks = false;

  // Reading instead of rewriting: nothing is written, links are collected.
  bool reading = false;
  bool readFollowLinks = true;    // a and area links count
  bool readScanResources = true;  // resource tags, comments, scripts and styles count
  std::vector<FoundLink>* found = nullptr;

  // Internal: the job used when `job` is null.
  ScanJob ownJob;
  // Internal: leading white space of the page is still being cut.
  bool cutting = false;
  // Internal: how much of the title is known to hold no "://".
  size_t titleChecked = 0;
  // Internal: a line break was met in the title after its first character.
  bool titleBreak = false;
  // Internal: a style sheet read whole: its quoted strings count as links too.
  bool readStyleStrings = false;
  // Internal: the segments of an HTML comment are being walked.
  bool inComment = false;
  // Internal: the source class of the tag being handled (reading).
  LinkSource currentSource = LinkSource::Resource;
  std::string scratch;  // reused tag buffer
};

// The tag at the start of the segment `tag`: writes it, changed or not, and
// returns the next mode.
int RewriteTag(PageScanner& scanner, std::string_view tag);
// Matches `pattern` against the whole tag; on a match with a non-empty group 1
// writes the tag with that link replaced and returns true. Returns false, having
// written nothing, when nothing matched or the pattern is bad.
bool RewriteLinkInTag(PageScanner& scanner, std::string_view tag, const char* pattern, int kind);
// CSS text (ModeStyle: url() and @import) or script text (ModeScript: quoted
// strings naming known resource types, never url()), written with the links
// replaced. Script text is written unchanged when IgnoreJavaScript is on.
void RewriteCss(PageScanner& scanner, std::string_view text, int mode);
// One url(), @import or quoted-string construct.
void RewriteCssLink(PageScanner& scanner, std::string_view construct);
// The rest of a javascript: tag from its first "(": quoted strings naming known
// resource types are replaced by the pipeline's text for them (kind 1).
void RewriteScriptStrings(PageScanner& scanner, std::string_view text);
// The page walk over a whole page, appending the copy to `out` and gathering
// the title into the job. A tag or comment that never ends is copied as it is
// and ends the walk. Returns 1 when the walk reached the end of the text, 0
// when the stop flag ended it.
int RewritePage(PageScanner& scanner, std::string_view page);
// A downloaded style sheet (ModeStyle) or script (ModeScript): refuses HTML
// ("Not css, this is html file."), otherwise rewrites the body in that mode
// into job->localPath. A script keeps every byte but the links rewritten in its
// strings, and all of them when IgnoreJavaScript is on.
// Returns 1 on success, 0 on failure (logged, and the job's message set).
[[nodiscard]] int RewriteStylesheetFile(PageScanner& scanner, std::string_view body, int mode = ModeStyle);

// The WWWC text as kept on the job: 101 bytes or more are cut to 96 plus "...",
// never splitting a two-byte character.
std::string CutUpdateContents(std::string_view text);

// --- File kinds ---

// A saved page the scanner reads as HTML, by extension: html, htm, shtml, shtm,
// xhtml, xht, and the server-page extensions a saved copy keeps (php, asp,
// aspx, jsp, cgi).
[[nodiscard]] bool IsPageFile(std::string_view path);
// A file the contents search reads: a page, or plain text (txt, text, css, js,
// xml, rss, rdf, csv, log).
[[nodiscard]] bool IsReadableTextFile(std::string_view path);

// --- The reading scanner ---

struct ReadOptions {
  std::string dataDirectory;  // for ResolveLink
  std::string location;       // the page's URL or local path: the base for relative links
  std::string host;           // host for root-relative links ("" = none)
  bool followLinks = true;
  bool scanResources = true;
};

struct PageReading {
  std::string title;
  std::vector<FoundLink> links;  // in page order, not de-duplicated
  std::string wayBack;           // "../" per "/" after "://" of the location (RootPrefix)
};

// Title and links of an HTML page.
PageReading ReadPage(std::string_view text, const ReadOptions& options);
// Links of a style sheet: url() and @import constructs and quoted strings.
PageReading ReadStyleSheet(std::string_view text, const ReadOptions& options);

}  // namespace zentu
