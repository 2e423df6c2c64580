// URL -> local file mapping and the character table behind it.
#include "pagelib/url.h"

#include <cstdio>
#include <vector>

#include "os/log.h"
#include "pagelib/urltext.h"

namespace zentu {

using namespace urltext;

UrlMapProfile CaptureProfile(std::string_view dataDirectory) {
  UrlMapProfile p;
  p.kind = MapProfileKind::Capture;
  p.dataDirectory = std::string(TrimDataDirectory(dataDirectory));
  return p;
}

UrlMapProfile LookupProfile(std::string_view dataDirectory) {
  UrlMapProfile p;
  p.kind = MapProfileKind::Lookup;
  p.dataDirectory = std::string(TrimDataDirectory(dataDirectory));
  p.spaceToUnderscore = true;
  p.mappedLengthCap = kLookupMappedLength;
  return p;
}

namespace {

// Failures are logged only by the capture profile, and never when RootPrefix
// maps quietly.
struct Mapper {
  const UrlMapProfile& profile;
  bool quiet;
  bool Lookup() const { return profile.kind == MapProfileKind::Lookup; }
  bool Fail(const char* message) const {
    if (!Lookup() && !quiet) WriteLog("%s", message);
    return false;
  }
};

// The part of a local path that is mapped: below the data directory when it
// lies there, else without its drive. `separatorAfterDrive` says whether a "\"
// or "/" after a foreign drive goes too.
std::string_view DrivePathRest(std::string_view path, std::string_view dataDirectory,
                               bool separatorAfterDrive) {
  size_t under = UnderDataDirectory(path, dataDirectory);
  if (under != npos) return path.substr(under);
  size_t skip = 2;
  if (separatorAfterDrive && path.size() > 2 && IsSep(path[2])) skip = 3;
  return path.substr(skip);
}

// The lookup profile's "file://" rest: a drive path below the data directory
// loses the directory, another drive path its drive and separator.
std::string_view LookupFileRest(std::string_view rest, std::string_view dataDirectory, std::string& drivePath) {
  if (!HasDriveColon(rest)) return rest;
  drivePath = CollapsePathSegments(rest, 2);
  std::string_view path = drivePath;
  size_t under = UnderDataDirectory(path, dataDirectory);
  if (under != npos) return path.substr(under);
  return path.size() >= 3 ? path.substr(3) : std::string_view{};
}

std::string LocalTimeName(const os::LocalTime& t) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d_%02d%02d%02d.html", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return buf;
}

bool MapUrl(std::string_view urlIn, const UrlMapProfile& profile, UrlLocation& loc, bool quiet) {
  loc = UrlLocation{};
  const Mapper m{profile, quiet};
  const bool lookup = m.Lookup();
  const std::string_view dataDir = TrimDataDirectory(profile.dataDirectory);
  std::string_view url = UpToNul(urlIn);
  if (url.empty()) return m.Fail("URL is null");
  if (url.size() > kMaxUrlLength) {
    if (lookup) return false;
    url = url.substr(0, CutLength(url, kMaxUrlLength));
  }
  loc.url = std::string(url);

  std::string_view rest;
  std::string drivePath;  // a local path with its dot segments resolved; rest may point into it
  const size_t scheme = url.find("://");
  if (scheme != npos) {
    if (lookup) {
      if (StartsWithNoCase(url, "http://"))
        rest = url.substr(7);
      else if (StartsWithNoCase(url, "https://"))
        rest = url.substr(8);
      else if (StartsWithNoCase(url, "file:///"))
        rest = LookupFileRest(url.substr(8), dataDir, drivePath);
      else if (StartsWithNoCase(url, "file://"))
        rest = LookupFileRest(url.substr(7), dataDir, drivePath);
      else
        rest = url;  // ftp and the like are taken whole
      if (rest.empty()) return false;
    } else if (StartsWithNoCase(url, "http")) {  // https too
      rest = url.substr(scheme + 3);
      if (rest.empty()) return m.Fail("URL has error. [http]");
    } else if (StartsWithNoCase(url, "file")) {
      size_t at = scheme + 3;
      if (at >= url.size()) return m.Fail("URL has error. [file]");
      if (url[at] == '/') ++at;  // "file:///"
      rest = url.substr(at);
      if (HasDriveColon(rest)) {
        drivePath = CollapsePathSegments(rest, 2);
        rest = DrivePathRest(drivePath, dataDir, false);
      }
      if (rest.empty()) return m.Fail("URL is null. [file]");
    }
    // Any other scheme maps to the data directory itself; callers decide.
  } else if (HasDriveColon(url)) {
    if (lookup) {
      drivePath = CollapsePathSegments(url, 2);
      size_t under = UnderDataDirectory(drivePath, dataDir);
      if (under != npos)
        rest = std::string_view(drivePath).substr(under);
      else if (drivePath.size() >= 4)
        rest = std::string_view(drivePath).substr(3);
      if (rest.empty()) return false;
    } else {
      drivePath = CollapsePathSegments(url, 2);
      rest = DrivePathRest(drivePath, dataDir, true);
      if (rest.empty()) return m.Fail("URL is null. [others]");
    }
  } else if (StartsWithNoCase(url, "about:blank")) {
    const os::LocalTime now = os::LocalNow();
    loc.urlNoFragment = "about:blank";
    loc.title = "untitled";
    loc.hasSavedTime = true;
    loc.savedTime = now;
    loc.relativePath = "about\\blank\\" + LocalTimeName(now);
    loc.localPath = std::string(dataDir) + "\\" + loc.relativePath;
    loc.localDirectory = std::string(dataDir) + "\\about\\blank";
    CutAt(loc.localPath, kMaxUrlLength);
    CutAt(loc.localDirectory, kMaxUrlLength);
    return true;
  } else {
    rest = url;
  }

  // Host and port: up to the first separator; ":" starts the port, a second
  // ":" or the ninth port digit ends the scan (no int overflow).
  int port = 0;
  int digits = 0;
  bool inPort = false;
  for (size_t i = 0; i < rest.size();) {
    const size_t n = CharLen(rest, i);
    const char c = rest[i];
    if (n == 1) {
      if (IsSep(c)) break;
      if (!lookup && (c == ' ' || c == '\'')) return m.Fail("URL has error. [host name]");
      if (c == ':') {
        if (inPort) break;
        inPort = true;
        ++i;
        continue;
      }
      if (inPort && c >= '0' && c <= '9') {
        port = port * 10 + (c - '0');
        ++i;
        if (++digits == 9) break;
        continue;
      }
    }
    loc.hostName.append(rest.substr(i, n));
    i += n;
  }
  loc.port = port < 1 ? 80 : port;

  // An archived page is stored where the live page would be; host and port
  // stay the archive's.
  if (!lookup && profile.convertArchivePaths) {
    const std::string archive = std::string(kArchiveHost) + "/web/";
    if (StartsWithNoCase(rest, archive)) {
      const size_t from = archive.size();
      size_t k;
      if ((k = rest.find("/http://", from)) != npos)
        rest = rest.substr(k + 8);
      else if ((k = rest.find("/https://", from)) != npos)
        rest = rest.substr(k + 9);
      else if ((k = rest.find('/', from)) != npos)
        rest = rest.substr(k + 1);
    }
  }

  loc.localLink = std::string(rest);
  // The name below the data directory comes from the path with its dot
  // segments resolved: "..", "\" and their mixtures from any source (a
  // redirect, a command line, a timer file) never climb out of the host folder.
  std::string path(rest);
  if (const size_t hash = path.rfind('#'); hash != npos && hash >= 1) path.resize(hash);
  path = CollapsePathSegments(path, HostEnd(path));
  if (IsDotSegment(std::string_view(path).substr(0, HostEnd(path)))) return m.Fail("URL has error. [host name]");
  if (!path.empty())
    loc.relativePath = MapPathCharacters(path, true, profile.spaceToUnderscore, profile.mappedLengthCap);
  loc.localPath = std::string(dataDir) + "\\" + loc.relativePath;
  CutAt(loc.relativePath, kMaxUrlLength);
  CutAt(loc.localPath, kMaxUrlLength);
  size_t last = LastBackslash(loc.localPath);
  loc.localDirectory = loc.localPath.substr(0, last == npos ? 0 : last);
  loc.urlNoFragment = std::string(url.substr(0, url.find('#')));
  CutAt(loc.hostName, kMaxUrlLength);
  return true;
}

}  // namespace

bool MapUrlToLocation(std::string_view url, const UrlMapProfile& profile, UrlLocation& location) {
  return MapUrl(url, profile, location, false);
}

bool urltext::MapUrlQuietly(std::string_view url, const UrlMapProfile& profile,
                            UrlLocation& location) {
  return MapUrl(url, profile, location, true);
}

size_t urltext::HostEnd(std::string_view s) {
  for (size_t i = 0; i < s.size(); i += CharLen(s, i))
    if (IsSep(s[i])) return i;
  return s.size();
}

bool urltext::IsDotSegment(std::string_view segment) { return segment == "." || segment == ".."; }

std::string urltext::CollapsePathSegments(std::string_view s, size_t from) {
  if (from >= s.size()) return std::string(s);
  size_t end = from;
  while (end < s.size() && s[end] != '?') end += CharLen(s, end);
  // Each kept segment with the separator in front of it.
  struct Segment {
    char separator;
    std::string_view name;
  };
  std::vector<Segment> kept;
  bool changed = false;
  size_t i = from;
  if (!IsSep(s[i])) return std::string(s);  // no path: nothing to resolve
  while (i < end) {
    const char separator = s[i++];
    const size_t start = i;
    while (i < end && !(CharLen(s, i) == 1 && IsSep(s[i]))) i += CharLen(s, i);
    const std::string_view name = s.substr(start, i - start);
    if (!IsDotSegment(name)) {
      kept.push_back({separator, name});
      continue;
    }
    changed = true;
    if (name == ".." && !kept.empty()) kept.pop_back();
    // "a/b/.." names the folder a/: keep the separator that ends it.
    if (i >= end) kept.push_back({separator, {}});
  }
  if (!changed) return std::string(s);
  std::string out(s.substr(0, from));
  for (const Segment& seg : kept) {
    out.push_back(seg.separator);
    out.append(seg.name);
  }
  out.append(s.substr(end));
  return out;
}

bool IsPathBelow(std::string_view dataDirectory, std::string_view pathIn) {
  const std::string_view path = UpToNul(pathIn);
  if (path.size() != pathIn.size()) return false;
  const size_t under = UnderDataDirectory(path, dataDirectory);
  if (under == npos) return false;
  size_t start = under;
  for (size_t i = under; i <= path.size(); i += i < path.size() ? CharLen(path, i) : 1) {
    if (i < path.size() && !IsSep(path[i])) continue;
    if (IsDotSegment(path.substr(start, i - start))) return false;
    start = i + 1;
  }
  return true;
}

namespace {

// The file-name form of a one-byte character other than "/": the characters
// a Windows file name cannot hold get stand-ins, and "?" starts the query.
char FileNameChar(std::string_view text, size_t i, bool& inQuery, bool spaceToUnderscore) {
  switch (text[i]) {
    case '?': inQuery = true; return '7';
    case '"': return '\'';
    case '%': return 'X';
    case '*': return 'x';
    case '<': return 'L';
    case '>': return 'J';
    case '|': return '1';
    // Only a drive colon survives.
    case ':': return (i == 1 && i + 1 < text.size() && IsSep(text[i + 1])) ? ':' : ';';
    case ' ': return spaceToUnderscore ? '_' : ' ';
    default: return text[i];
  }
}

// A "." or ".." that is still a whole name here (a "\\" in a query, say) would
// lead the file system elsewhere: it becomes the stand-in of its escaped dots.
void NeutraliseDotSegments(std::string& out) {
  std::string fixed;
  size_t start = 0;
  bool changed = false;
  for (size_t i = 0; i <= out.size(); i += i < out.size() ? CharLen(out, i) : 1) {
    if (i < out.size() && !IsSep(out[i])) continue;
    const std::string_view name = std::string_view(out).substr(start, i - start);
    if (IsDotSegment(name)) {
      fixed.append(name == "." ? "X2E" : "X2EX2E");
      changed = true;
    } else {
      fixed.append(name);
    }
    if (i < out.size()) fixed.push_back(out[i]);
    start = i + 1;
  }
  if (changed) out.swap(fixed);
}

// Extensions by which a browser reading a file from disk knows its kind (a
// style sheet, a script, a page, an image or other media). A URL that names one
// of them before a query keeps it at the end of the saved name: the query's
// "?" becomes "7", and "x.css7v" would be neither CSS nor anything else.
bool IsKindExtension(std::string_view ext) {
  static constexpr std::string_view kKinds[] = {
      "css", "js",   "mjs", "html", "htm", "xhtml", "gif",  "jpg", "jpeg", "png",  "bmp",  "svg",
      "webp", "ico", "avif", "mp3", "mid", "wav",  "ogg",  "mp4", "webm", "swf", "woff", "woff2",
      "ttf", "otf", "json", "xml"};
  for (std::string_view k : kKinds)
    if (ext == k) return true;
  return false;
}

}  // namespace

std::string urltext::KindSuffix(std::string_view text, std::string_view mappedName) {
  size_t query = npos;
  for (size_t i = 0; i < text.size(); i += CharLen(text, i))
    if (text[i] == '?') {
      query = i;
      break;
    }
  if (query == npos) return {};
  const std::string ext = FileExtension(text.substr(0, query));
  if (IsKindExtension(ext)) {
    const std::string suffix = "." + ext;
    return EndsWithNoCase(mappedName, suffix) ? std::string() : suffix;
  }
  // No kind before the query ("view.php?id=3", "search?q=x"): a page made by
  // the server, saved as one, unless the query itself ends in a kind
  // ("show.cgi?f=a.png").
  const std::string last = FileExtension(mappedName);
  return IsKindExtension(last) ? std::string() : ".html";
}

std::string MapPathCharacters(std::string_view textIn, bool toLocal, bool spaceToUnderscore,
                              size_t maxLength) {
  std::string_view text = UpToNul(textIn);
  if (toLocal) {
    // The fragment never names a different file. A "#" in the first place is
    // a name, not a fragment.
    size_t hash = text.rfind('#');
    if (hash != npos && hash >= 1) text = text.substr(0, hash);
  }
  std::string out;
  out.reserve(text.size() + 11);
  bool inQuery = false;
  bool anySeparator = false;
  bool endsWithSeparator = false;
  for (size_t i = 0; i < text.size();) {
    if (maxLength && out.size() >= maxLength) break;
    const size_t n = CharLen(text, i);
    if (n == 2) {
      if (maxLength && out.size() + 2 > maxLength) break;
      out.append(text.substr(i, 2));
      endsWithSeparator = false;
      i += 2;
      continue;
    }
    const char c = text[i];
    char o = c;
    switch (c) {
      case '/':
        if (!inQuery) {
          out.push_back(toLocal ? '\\' : '/');
          anySeparator = endsWithSeparator = true;
          for (++i; i < text.size() && IsSep(text[i]); ++i) {
          }
          continue;
        }
        o = '1';
        break;
      default: o = FileNameChar(text, i, inQuery, spaceToUnderscore); break;
    }
    out.push_back(o);
    endsWithSeparator = IsSep(o);
    anySeparator = anySeparator || endsWithSeparator;
    ++i;
  }
  if (out.empty()) return out;
  NeutraliseDotSegments(out);
  if (toLocal && !anySeparator) {
    out += "\\index.html";  // a bare host
  } else if (endsWithSeparator) {
    out += "index.html";
  } else {
    // Kept in "/" form, the fragment still follows the name.
    size_t nameEnd = out.size();
    std::string_view name = text;
    if (!toLocal) {
      const size_t hash = text.rfind('#');
      if (hash != npos && hash >= 1) {
        name = text.substr(0, hash);
        nameEnd = out.rfind('#');
      }
    }
    if (nameEnd != npos)
      out.insert(nameEnd, KindSuffix(name, std::string_view(out).substr(0, nameEnd)));
  }
  return out;
}

void MapPathInPlace(std::string& path, std::string_view dataDirectory) {
  urltext::MapPathInPlaceAs(path, dataDirectory, true);
}

void urltext::MapPathInPlaceAs(std::string& path, std::string_view dataDirectory, bool kindSuffix) {
  path.resize(UpToNul(path).size());
  size_t start = 0;
  if (!dataDirectory.empty()) {
    size_t under = UnderDataDirectory(path, dataDirectory);
    if (under != npos) start = under;
  }
  std::string out = path.substr(0, start);
  bool inQuery = false;
  bool endsWithSeparator = start > 0 && IsSep(path[start - 1]);
  for (size_t i = start; i < path.size();) {
    const size_t n = CharLen(path, i);
    if (n == 2) {
      out.append(path, i, 2);
      endsWithSeparator = false;
      i += 2;
      continue;
    }
    const char c = path[i];
    char o = c;
    switch (c) {
      case '/': o = inQuery ? '1' : '\\'; break;
      default: o = FileNameChar(path, i, inQuery, true); break;
    }
    out.push_back(o);
    endsWithSeparator = IsSep(o);
    ++i;
  }
  if (out.size() > 2 && endsWithSeparator)
    out += "index.html";
  else if (kindSuffix)
    out += KindSuffix(std::string_view(path).substr(start), out);
  CutAt(out, kMaxUrlLength);
  path.swap(out);
}

std::string RootPrefix(std::string_view url, std::string_view dataDirectory,
                       bool convertArchivePaths) {
  // Counted on the capture mapping itself, so that the way up always matches
  // the folder the page was stored in: a bare host lives in host\index.html,
  // "a//b" is one level, an archived page counts as the live page.
  UrlMapProfile profile = CaptureProfile(dataDirectory);
  profile.convertArchivePaths = convertArchivePaths;
  UrlLocation loc;
  if (!MapUrl(url, profile, loc, true)) return {};
  const std::string& rel = loc.relativePath;
  std::string out;
  bool previousSeparator = true;  // a separator run at the start adds no level
  for (size_t i = 0; i < rel.size(); i += CharLen(rel, i)) {
    const bool sep = IsSep(rel[i]);
    if (sep && !previousSeparator) out += "../";
    previousSeparator = sep;
  }
  return out;
}

std::string FileExtension(std::string_view pathIn) {
  std::string_view path = UpToNul(pathIn);
  // Character starts, found forwards: a trail byte cannot be told from a
  // single byte when walking backwards.
  constexpr int kScan = 10;
  size_t starts[kScan];
  int count = 0;
  for (size_t i = 0; i < path.size(); i += CharLen(path, i)) {
    starts[count % kScan] = i;
    ++count;
  }
  const int scan = count < kScan ? count : kScan;
  for (int k = 0; k < scan; ++k) {
    const size_t i = starts[(count - 1 - k) % kScan];
    if (CharLen(path, i) == 2) continue;
    const char c = path[i];
    if ((c >= ' ' && c <= ')') || c == ',' || c == '/' || c == ':' || c == '=' || c == '?' ||
        c == '\\' || c == '~')
      return {};
    if (c == '.') {
      std::string ext(path.substr(i + 1));
      for (size_t j = 0; j < ext.size(); j += CharLen(ext, j))
        if (CharLen(ext, j) == 1) ext[j] = AsciiLower(ext[j]);
      return ext;
    }
  }
  return {};
}

bool IsKnownResourceType(std::string_view path) {
  static constexpr std::string_view kKnown[] = {"css", "gif", "jpg", "jpeg", "png", "bmp", "js",
                                                "mp3", "mid", "wav", "html", "htm", "swf"};
  const std::string ext = FileExtension(path);
  if (ext.empty()) return false;
  for (std::string_view k : kKnown)
    if (ext == k) return true;
  return false;
}

}  // namespace zentu
