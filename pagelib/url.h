// Where a URL lives on disk. Every captured resource is stored below the data
// directory at a place that follows from its URL alone, so the capture engine,
// the browser, the search, the cleaner and the analyzer all compute the same
// file from the same URL. All text is Shift_JIS; everything that splits at
// "/" or "\" steps over two-byte characters whole (a trail byte may be 0x5C).
#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "os/clock.h"

namespace zentu {

// Caps of the fixed buffers that URLs and paths have always lived in.
constexpr size_t kMaxUrlLength = 2047;
constexpr size_t kMaxPathLength = 259;
// The lookup profile keeps mapped names to this many characters before
// "index.html" is added, so the whole name still fits a path buffer.
constexpr size_t kLookupMappedLength = 245;
// Archived copies of this host are stored where the live page would be.
constexpr std::string_view kArchiveHost = "web.archive.org";

enum class MapProfileKind {
  Capture,  // download jobs: logs why a URL was refused
  Lookup,   // search, cleaner, analyzer: silent, 2047-character input cap
};

// How MapUrlToLocation maps. Use CaptureProfile/LookupProfile and adjust:
// the cleaner keeps spaces, the analyzer uses the capture character table.
struct UrlMapProfile {
  MapProfileKind kind = MapProfileKind::Capture;
  std::string dataDirectory;       // absolute program path, no trailing "\"
  bool spaceToUnderscore = false;  // lookup: a space in a name becomes "_"
  size_t mappedLengthCap = 0;      // lookup: kLookupMappedLength; 0 = no cap
  bool convertArchivePaths = true; // capture: the profile's ConvertPathForArchiveOrg
};

UrlMapProfile CaptureProfile(std::string_view dataDirectory);
UrlMapProfile LookupProfile(std::string_view dataDirectory);

// The location fields that one URL yields. Every field is at most
// kMaxUrlLength characters.
struct UrlLocation {
  std::string url;            // the URL passed in; also the base for relative links
  std::string urlNoFragment;  // up to the first "#": the URL sent to the server
  std::string hostName;       // as written, case kept, without ":port"
  int port = 80;              // 80 when absent or below 1, for every scheme
  std::string localLink;      // the URL without its scheme (and archive prefix):
                              // the text relativePath is mapped from
  std::string relativePath;   // the mapped path below the data directory
  std::string localPath;      // data directory + "\" + relativePath
  std::string localDirectory; // localPath up to its last "\"
  std::string title;          // "untitled" for about:blank, else empty
  bool hasSavedTime = false;  // set only for about:blank
  os::LocalTime savedTime;
};

// Fills `location` from `url`. The capture profile logs why it fails
// ("URL is null", "URL has error. [http]", ...); the lookup profile fails silently.
[[nodiscard]] bool MapUrlToLocation(std::string_view url, const UrlMapProfile& profile,
                                    UrlLocation& location);

// The file name that stands for a URL without its scheme. `toLocal` gives "\"
// separators (and drops a "#" fragment); false keeps "/". `maxLength` (0 = none)
// caps the mapped characters before "index.html" is added.
std::string MapPathCharacters(std::string_view text, bool toLocal, bool spaceToUnderscore = false,
                              size_t maxLength = 0);

// The same character table applied to an existing local path, to find the
// saved name of a file looked for under its raw name. When `dataDirectory` is
// given and the path lies below it, that prefix is kept as it is (a data
// directory may itself hold spaces or other mapped characters).
void MapPathInPlace(std::string& path, std::string_view dataDirectory = {});

// Resolves a link found in a saved page against the page (`base`) and its
// host. Returns the targets in the order they are handed on: an absolute
// http(s) link becomes a path below the data directory and is also handed on
// before its dot segments are collapsed (only when that differs). Empty when
// there is no target, when the link or base is empty or too long, or when the
// final target equals `avoid` (when given).
std::vector<std::string> ResolveLink(std::string_view dataDirectory, std::string_view link,
                                     std::string_view host, std::string_view base,
                                     std::string_view avoid = {});

// The absolute URL a link on the page `base` (or a Location answered for it)
// leads to: network-path, root-relative, query-only, fragment-only and
// relative forms; "\\" is taken as "/"; "." and "name/.." in the path collapse
// (never in the query, and ".." never climbs above the host); the fragment is
// kept. An absolute link is only collapsed. "" when a relative link has no
// absolute base.
std::string ResolveUrl(std::string_view base, std::string_view link);
// An archived URL ("http://web.archive.org/web/<stamp>/http://host/x") as the
// URL it archives; any other URL as it is.
std::string UnwrapArchiveUrl(std::string_view url);

// The local file that a ResolveLink target names: drive and network paths as
// they are, "file://" removed, "http(s)://host/..." as the host folder below
// the data directory, anything else below the data directory; "/" becomes "\"
// and a "#" fragment is cut.
std::string LinkTargetToLocalPath(std::string_view dataDirectory, std::string_view target);
// LinkTargetToLocalPath, then that file or its MapPathInPlace name when it exists.
bool FindLinkedFile(std::string_view dataDirectory, std::string_view target, std::string& file);

// True when `path` names the data directory or a place below it with no "."
// or ".." name on the way: a path read from a file (a timer file, say) is
// trusted only then.
bool IsPathBelow(std::string_view dataDirectory, std::string_view path);

// Normalises a local directory path in place: "." segments and "name\.."
// pairs go, and ".." above the root is dropped. Cut at kMaxPathLength.
void CollapseDotSegments(std::string& path);

// "../" once for each folder level between the saved copy of `url` and the
// data directory (host/a/b.html gives "../../"). Archived pages count as the
// live page they are stored as.
std::string RootPrefix(std::string_view url, std::string_view dataDirectory = {},
                       bool convertArchivePaths = true);

// The extension found within the last 10 characters, lower-cased (A-Z only);
// empty when there is none.
std::string FileExtension(std::string_view path);
// True for the extensions of resources a page embeds (css, gif, jpg, ...).
bool IsKnownResourceType(std::string_view path);

// Looks a URL up in the browser cache; returns true with the cached file.
using CacheLookup = std::function<bool(std::string_view url, std::string& file)>;

// Decides, before the browser follows a link from `currentPage`, whether the
// target should be served from the saved copies. True with `localFile` set to
// the file to open instead.
bool FindLocalFileForLink(std::string_view dataDirectory, std::string_view target,
                          std::string_view currentPage, bool online, std::string& localFile,
                          const CacheLookup& cache = {});

}  // namespace zentu
