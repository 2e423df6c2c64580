// The page analyzer library. It links its own copy of the page library
// (URL mapping, code detection, the reading scanner); the shared object is
// linked with its static libraries' symbols kept local, so that copy and its
// module state never mix with the host program's.
#include "analyzer/pagesifter.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "os/cp932.h"
#include "os/file.h"
#include "pagelib/codedetect.h"
#include "pagelib/scanner.h"
#include "pagelib/url.h"

namespace {

using namespace zentu;

// What one call works with. Held in module-wide storage for the call, as the
// callers expect; the mutex keeps two calls from sharing it.
struct Call {
  std::string dataDirectory;
  std::string pageLocation;
  std::string host;
  bool scanResources = true;
  bool followLinks = false;
  std::string collector;
};
Call g_call;
std::mutex g_callMutex;

std::string WithoutTrailingSeparator(std::string_view dir) {
  std::string d(dir);
  while (d.size() > 3 && (d.back() == '\\' || d.back() == '/')) d.pop_back();
  return d;
}

void Begin(const char* pagePath, const char* dataDirectory, bool scanResources, bool followLinks) {
  g_call = Call{};
  g_call.dataDirectory = WithoutTrailingSeparator(dataDirectory ? dataDirectory : "");
  g_call.pageLocation = pagePath ? pagePath : "";
  g_call.scanResources = scanResources;
  g_call.followLinks = followLinks;
  // The analyzer maps with the capture table: spaces stay, and no cap on the
  // mapped length (a long saved name is still found).
  UrlMapProfile profile = LookupProfile(g_call.dataDirectory);
  profile.spaceToUnderscore = false;
  profile.mappedLengthCap = 0;
  UrlLocation location;
  if (MapUrlToLocation(g_call.pageLocation, profile, location)) g_call.host = location.hostName;
}

// A relative link read as a path from the page's own folder. Saved copies
// link across hosts ("../../host;8080/s.css" from "host;8080\p\a.html"),
// which the URL rules, never climbing above the host, cannot follow. Only a
// place below the data directory counts.
bool FindFromPageFolder(std::string_view link, std::string& file) {
  if (link.empty() || link.find("://") != std::string_view::npos || link.front() == '/' || link.front() == '\\' ||
      (link.size() >= 2 && link[1] == ':'))
    return false;
  const size_t slash = g_call.pageLocation.rfind('\\');
  if (slash == std::string::npos) return false;
  std::string path = g_call.pageLocation.substr(0, slash + 1);
  const size_t end = link.find_first_of("#?");
  std::string_view rest = link.substr(0, end);
  for (size_t i = 0; i < rest.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(rest[i]);
    if (os::IsSjisLeadByte(c) && i + 1 < rest.size()) {
      path += rest.substr(i, 2);
      ++i;
    } else {
      path += c == '/' ? '\\' : static_cast<char>(c);
    }
  }
  CollapseDotSegments(path);
  if (!IsPathBelow(g_call.dataDirectory, path)) return false;
  return FindLinkedFile(g_call.dataDirectory, path, file);
}

// Each link adds the first of its targets that exists, so a link is listed
// once however many spellings of it ResolveLink hands on.
void Collect(const PageReading& reading) {
  std::string file;
  for (const FoundLink& link : reading.links) {
    bool found = false;
    for (const std::string& target : link.targets) {
      if (!FindLinkedFile(g_call.dataDirectory, target, file) || file.size() <= 1) continue;
      found = true;
      break;
    }
    if (!found) found = FindFromPageFolder(link.link, file) && file.size() > 1;
    if (!found) continue;
    g_call.collector += file;
    g_call.collector += '\n';
  }
}

void Scan(std::string_view text) {
  ReadOptions options;
  options.dataDirectory = g_call.dataDirectory;
  options.location = g_call.pageLocation;
  options.host = g_call.host;
  options.followLinks = g_call.followLinks;
  options.scanResources = g_call.scanResources;
  if (FileExtension(g_call.pageLocation) == "css") {
    // A style sheet's url(), @import and quoted strings count whatever the flags.
    Collect(ReadStyleSheet(text, options));
    return;
  }
  const int code = DetectCode(text);
  Collect(ReadPage(ConvertToSjis(text, code), options));
}

bool Finish(_Pagesifter** result) {
  if (!result || !*result) return false;
  _Pagesifter& record = **result;
  std::free(record.text);
  record.text = nullptr;
  if (g_call.collector.size() <= 1) return false;
  record.text = static_cast<char*>(std::malloc(g_call.collector.size() + 1));
  if (!record.text) return false;
  std::memcpy(record.text, g_call.collector.c_str(), g_call.collector.size() + 1);
  return true;
}

}  // namespace

bool AnalyzeWebEx(const char* pagePath, const char* dataDirectory, bool scanResources, bool followLinks,
                  _Pagesifter** result) {
  std::lock_guard lock(g_callMutex);
  Begin(pagePath, dataDirectory, scanResources, followLinks);
  std::string text;
  // A file that cannot be read, or holds a NUL byte (binary), lists nothing.
  if (pagePath && os::ReadWholeFile(g_call.pageLocation, text) && text.find('\0') == std::string::npos)
    Scan(text);
  return Finish(result);
}

bool AnalyzeWeb(const char* pagePath, const char* dataDirectory, bool followLinks, _Pagesifter** result) {
  return AnalyzeWebEx(pagePath, dataDirectory, true, followLinks, result);
}

void AnalyzeData(const char* pageLocation, const char* pageText, const char* dataDirectory, bool followLinks,
                 _Pagesifter** result) {
  std::lock_guard lock(g_callMutex);
  Begin(pageLocation, dataDirectory, true, followLinks);
  if (pageText) Scan(pageText);
  Finish(result);
}

void FreePagesifterAPI(_Pagesifter** result) {
  if (!result || !*result) return;
  std::free((*result)->text);
  (*result)->text = nullptr;
}
