// URL -> local path mapping: both profiles, the character table, the way up
// to the data directory, extensions, and Shift_JIS names whose trail byte is "\".
#include <gtest/gtest.h>

#include <string>

#include "os/clock.h"
#include "os/log.h"
#include "pagelib/url.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::LogContains;
using testing::SJ;

const std::string kData = "Z:\\tmp\\data";

class UrlMapTest : public testing::TempHome {};

struct CaptureRow {
  const char* url;
  const char* relativePath;  // nullptr: the mapping fails
  const char* hostName;
  int port;
  const char* extra;  // failure: the log line; success: localDirectory when set
};

TEST_F(UrlMapTest, CaptureProfileTable) {
  const CaptureRow rows[] = {
      {"http://server", "server\\index.html", "server", 80, "Z:\\tmp\\data\\server"},
      {"http://server/", "server\\index.html", "server", 80, "Z:\\tmp\\data\\server"},
      {"http://server:8080/a//b/c.html#top", "server;8080\\a\\b\\c.html", "server", 8080,
       "Z:\\tmp\\data\\server;8080\\a\\b"},
      {"http://server/list.cgi?p=2&s=a/b", "server\\list.cgi7p=2&s=a1b.html", "server", 80, nullptr},
      {"http://server/a%20b/x*y.html", "server\\aX20b\\xxy.html", "server", 80, nullptr},
      {"http://server/dir/", "server\\dir\\index.html", "server", 80, "Z:\\tmp\\data\\server\\dir"},
      {"http://ser ver/", nullptr, nullptr, 0, "URL has error. [host name]"},
      {"http://it's/", nullptr, nullptr, 0, "URL has error. [host name]"},
      {"http://", nullptr, nullptr, 0, "URL has error. [http]"},
      {"", nullptr, nullptr, 0, "URL is null"},
      {"file://", nullptr, nullptr, 0, "URL has error. [file]"},
      {"file:///", nullptr, nullptr, 0, "URL is null. [file]"},
      {"file:///Z:/tmp/data", nullptr, nullptr, 0, "URL is null. [file]"},
      {"C:", nullptr, nullptr, 0, "URL is null. [others]"},
      // Spaces and apostrophes are refused only in the host.
      {"http://server/a b.html", "server\\a b.html", "server", 80, nullptr},
      {"http://server/it's.html", "server\\it's.html", "server", 80, nullptr},
      {"HTTPS://Server:443/A.html", "Server;443\\A.html", "Server", 443, nullptr},
      {"http://server:0/", "server;0\\index.html", "server", 80, nullptr},
      {"http://server:80ab/x", "server;80ab\\x", "serverab", 80, nullptr},
      {"http://server:99999999999999/", "server;99999999999999\\index.html", "server", 999999999, nullptr},
      {"http://server:1:2/", "server;1;2\\index.html", "server", 1, nullptr},
      {"http://server/x:y", "server\\x;y", "server", 80, nullptr},
      {"http://server/x:", "server\\x;", "server", 80, nullptr},
      {"http://server/a\"<>|.html", "server\\a'LJ1.html", "server", 80, nullptr},
      {"http://server/#frag", "server\\index.html", "server", 80, nullptr},
      {"http://server/a?b/c#d", "server\\a7b1c.html", "server", 80, nullptr},
      {"http://server/a/\\/b", "server\\a\\b", "server", 80, nullptr},
      {"http://server/a\\/b", "server\\a\\\\b", "server", 80, nullptr},
      // Local files: below the data directory they keep their place.
      {"file:///Z:/tmp/data/server/a.html", "server\\a.html", "server", 80, nullptr},
      {"file://z:\\tmp\\data\\server\\a.html", "server\\a.html", "server", 80, nullptr},
      {"file:///Z:/tmp/database/a.html", "\\tmp\\database\\a.html", "", 80, nullptr},
      {"file:///C:/other/x.html", "\\other\\x.html", "", 80, nullptr},
      {"file:///tmp/x.html", "tmp\\x.html", "tmp", 80, nullptr},
      {"Z:\\tmp\\data\\server\\a.html", "server\\a.html", "server", 80, nullptr},
      {"C:\\other\\x.html", "other\\x.html", "other", 80, nullptr},
      {"C:other", "other\\index.html", "other", 80, nullptr},
      {"server/page.html", "server\\page.html", "server", 80, nullptr},
      // Other schemes map to the data directory itself.
      {"ftp://server/x", "", "", 80, "Z:\\tmp\\data"},
      // Archived copies are stored as the live page; host stays the archive's.
      {"http://web.archive.org/web/20070101000000/http://server/a.html", "server\\a.html",
       "web.archive.org", 80, nullptr},
      {"http://Web.Archive.org/web/2007/https://server/b/", "server\\b\\index.html", "Web.Archive.org", 80,
       nullptr},
      {"http://web.archive.org/web/2007/server/a/b.html", "server\\a\\b.html", "web.archive.org", 80, nullptr},
      {"http://web.archive.org/web/2007", "web.archive.org\\web\\2007", "web.archive.org", 80, nullptr},
      {"http://web.archive.org/webx/2007/http://server/", "web.archive.org\\webx\\2007\\http;\\server\\index.html",
       "web.archive.org", 80, nullptr},
  };
  for (const CaptureRow& r : rows) {
    SCOPED_TRACE(r.url);
    log::Clear();
    UrlLocation loc;
    const bool ok = MapUrlToLocation(r.url, CaptureProfile(kData), loc);
    if (!r.relativePath) {
      EXPECT_FALSE(ok);
      EXPECT_TRUE(LogContains(r.extra));
      continue;
    }
    ASSERT_TRUE(ok);
    EXPECT_TRUE(log::Lines().empty());
    EXPECT_EQ(loc.url, r.url);
    EXPECT_EQ(loc.relativePath, r.relativePath);
    EXPECT_EQ(loc.hostName, r.hostName);
    EXPECT_EQ(loc.port, r.port);
    EXPECT_EQ(loc.localPath, kData + "\\" + r.relativePath);
    if (r.extra) {
      EXPECT_EQ(loc.localDirectory, r.extra);
    }
    const std::string url = r.url;
    EXPECT_EQ(loc.urlNoFragment, url.substr(0, url.find('#')));
    EXPECT_TRUE(loc.title.empty());
  }
}

TEST_F(UrlMapTest, CaptureLocalLinkAndDataDirectory) {
  UrlLocation loc;
  ASSERT_TRUE(MapUrlToLocation("http://server:8080/a//b/c.html#top", CaptureProfile(kData), loc));
  EXPECT_EQ(loc.localLink, "server:8080/a//b/c.html#top");
  // The data directory may be given with a trailing separator.
  ASSERT_TRUE(MapUrlToLocation("http://server/x.gif", CaptureProfile("Z:\\tmp\\data\\"), loc));
  EXPECT_EQ(loc.localPath, "Z:\\tmp\\data\\server\\x.gif");
}

TEST_F(UrlMapTest, AboutBlankIsStoredUnderTheLocalTime) {
  clock.now = os::FromLocal(os::LocalTime{2007, 1, 2, 3, 4, 5, 0});
  for (const UrlMapProfile& profile : {CaptureProfile(kData), LookupProfile(kData)}) {
    UrlLocation loc;
    ASSERT_TRUE(MapUrlToLocation("about:blank", profile, loc));
    EXPECT_EQ(loc.relativePath, "about\\blank\\20070102_030405.html");
    EXPECT_EQ(loc.localPath, "Z:\\tmp\\data\\about\\blank\\20070102_030405.html");
    EXPECT_EQ(loc.localDirectory, "Z:\\tmp\\data\\about\\blank");
    EXPECT_EQ(loc.urlNoFragment, "about:blank");
    EXPECT_EQ(loc.title, "untitled");
    ASSERT_TRUE(loc.hasSavedTime);
    EXPECT_EQ(loc.savedTime.year, 2007);
    EXPECT_EQ(loc.savedTime.second, 5);
  }
}

TEST_F(UrlMapTest, LookupProfileTable) {
  struct Row {
    const char* url;
    const char* relativePath;  // nullptr: fails
    const char* hostName;
  };
  const Row rows[] = {
      {"http://server/a b.html", "server\\a_b.html", "server"},
      {"https://server/x", "server\\x", "server"},
      {"HTTP://server", "server\\index.html", "server"},
      {"http://", nullptr, nullptr},
      {"https://", nullptr, nullptr},
      {"", nullptr, nullptr},
      {"Z:\\tmp\\data\\server\\a.html", "server\\a.html", "server"},
      {"z:/tmp/data/server/a.html", "server\\a.html", "server"},
      {"Z:\\tmp\\data\\", nullptr, nullptr},
      {"Z:\\tmp\\data", nullptr, nullptr},
      {"C:\\abc\\d.html", "abc\\d.html", "abc"},
      {"C:\\", nullptr, nullptr},
      {"file:///Z:/tmp/data/server/a.html", "server\\a.html", "server"},
      {"file:///C:/x/y.html", "x\\y.html", "x"},
      {"file:///C:", nullptr, nullptr},
      {"file:///tmp/x.html", "tmp\\x.html", "tmp"},
      {"file://Z:/tmp/data/s/a.html", "s\\a.html", "s"},
      {"file:///", nullptr, nullptr},
      {"ftp://server/x", "ftp;\\server\\x", "ftp"},
      // No host check and no archive special case.
      {"http://ser ver/x", "ser_ver\\x", "ser ver"},
      {"http://web.archive.org/web/2007/http://server/a.html",
       "web.archive.org\\web\\2007\\http;\\server\\a.html", "web.archive.org"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.url);
    log::Clear();
    UrlLocation loc;
    const bool ok = MapUrlToLocation(r.url, LookupProfile(kData), loc);
    EXPECT_TRUE(log::Lines().empty());  // the lookup profile never logs
    if (!r.relativePath) {
      EXPECT_FALSE(ok);
      continue;
    }
    ASSERT_TRUE(ok);
    EXPECT_EQ(loc.relativePath, r.relativePath);
    EXPECT_EQ(loc.hostName, r.hostName);
    EXPECT_EQ(loc.localPath, kData + "\\" + r.relativePath);
  }
}

TEST_F(UrlMapTest, ProfilesDifferInSpacesAndLength) {
  UrlLocation capture, lookup;
  // The cleaner's lookup keeps spaces.
  UrlMapProfile cleaner = LookupProfile(kData);
  cleaner.spaceToUnderscore = false;
  ASSERT_TRUE(MapUrlToLocation("http://server/a b.html", cleaner, lookup));
  EXPECT_EQ(lookup.relativePath, "server\\a b.html");

  // 245 mapped characters at most in the lookup profile, none in capture.
  const std::string longUrl = "http://server/" + std::string(300, 'a');
  ASSERT_TRUE(MapUrlToLocation(longUrl, LookupProfile(kData), lookup));
  EXPECT_EQ(lookup.relativePath.size(), 245u);
  ASSERT_TRUE(MapUrlToLocation(longUrl, CaptureProfile(kData), capture));
  EXPECT_EQ(capture.relativePath, "server\\" + std::string(300, 'a'));
  // A folder cut at the cap still gets its index file.
  const std::string dirUrl = "http://server/" + std::string(237, 'b') + "/more";
  ASSERT_TRUE(MapUrlToLocation(dirUrl, LookupProfile(kData), lookup));
  EXPECT_EQ(lookup.relativePath, "server\\" + std::string(237, 'b') + "\\index.html");

  // Longer than 2047: the lookup refuses, the capture cuts.
  const std::string huge = "http://server/" + std::string(3000, 'c');
  EXPECT_FALSE(MapUrlToLocation(huge, LookupProfile(kData), lookup));
  ASSERT_TRUE(MapUrlToLocation(huge, CaptureProfile(kData), capture));
  EXPECT_EQ(capture.url.size(), kMaxUrlLength);
  EXPECT_LE(capture.localPath.size(), kMaxUrlLength);
}

TEST_F(UrlMapTest, ArchiveConversionCanBeTurnedOff) {
  UrlMapProfile p = CaptureProfile(kData);
  p.convertArchivePaths = false;
  UrlLocation loc;
  ASSERT_TRUE(MapUrlToLocation("http://web.archive.org/web/1/http://server/a.html", p, loc));
  EXPECT_EQ(loc.relativePath, "web.archive.org\\web\\1\\http;\\server\\a.html");
  EXPECT_EQ(RootPrefix("http://web.archive.org/web/1/http://server/a.html", {}, false), "../../../../../");
}

TEST_F(UrlMapTest, NulEndsTheUrl) {
  const std::string url("http://server/a.html\0/../../etc", 31);
  UrlLocation loc;
  ASSERT_TRUE(MapUrlToLocation(url, CaptureProfile(kData), loc));
  EXPECT_EQ(loc.relativePath, "server\\a.html");
  EXPECT_EQ(loc.url, "http://server/a.html");
}

// A browser reading a saved copy from disk knows its kind by its extension:
// a query must not hide the one the URL names. Every mapping agrees.
TEST_F(UrlMapTest, QueryNamesKeepTheirKindsExtension) {
  const struct {
    const char* url;
    const char* relativePath;
  } rows[] = {
      {"http://h/_static/pydoctheme.css?2022.1", "h\\_static\\pydoctheme.css72022.1.css"},
      {"http://h/a.js?v=3#top", "h\\a.js7v=3.js"},
      {"http://h/Logo.PNG?w=1/2", "h\\Logo.PNG7w=112.png"},
      {"http://h/f.woff2?x", "h\\f.woff27x.woff2"},
      {"http://h/p.html?", "h\\p.html7.html"},
      {"http://h/a.css?b.CSS", "h\\a.css7b.CSS"},   // already ends so
      {"http://h/a.css?b.js", "h\\a.css7b.js.css"},  // the path's kind wins
      // No kind before the query: a page the server makes, saved as one.
      {"http://h/view.php?id=3", "h\\view.php7id=3.html"},
      {"http://h/list.cgi?p=2", "h\\list.cgi7p=2.html"},
      {"http://h/dir/?x", "h\\dir\\7x.html"},
      // Unchanged: no query, or a query that ends in a kind itself.
      {"http://h/a.css", "h\\a.css"},
      {"http://h/a?b.css", "h\\a7b.css"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.url);
    for (const UrlMapProfile& profile : {CaptureProfile(kData), LookupProfile(kData)}) {
      UrlLocation loc;
      ASSERT_TRUE(MapUrlToLocation(r.url, profile, loc));
      EXPECT_EQ(loc.relativePath, r.relativePath);
    }
    // The in-place mapping of the raw name finds the same file.
    std::string raw = kData + "\\" + std::string(r.url).substr(7);
    raw = raw.substr(0, raw.find('#'));
    MapPathInPlace(raw, kData);
    EXPECT_EQ(raw, kData + "\\" + r.relativePath);
  }
  // Kept in "/" form, the fragment stays behind the name.
  EXPECT_EQ(MapPathCharacters("h/a.css?v#f", false), "h/a.css7v.css#f");
  EXPECT_EQ(RootPrefix("http://h/d/a.css?v=1/2"), "../../");
}

TEST(MapPathCharacters, Table) {
  struct Row {
    const char* in;
    bool toLocal;
    bool underscore;
    const char* out;
  };
  const Row rows[] = {
      {"server//a/b?x/y", false, false, "server/a/b7x1y.html"},
      {"server", false, false, "server"},
      {"server/", false, false, "server/index.html"},
      {"server/a.html#x#y", true, false, "server\\a.html#x"},
      {"server/a.html#x", false, false, "server/a.html#x"},
      {"#abc", true, false, "#abc\\index.html"},
      {"C:\\x", true, false, "C:\\x"},
      {"C:/x", true, false, "C:\\x"},
      {"C:x/y", true, false, "C;x\\y"},
      {"a:", true, false, "a;\\index.html"},
      {"a b", false, true, "a_b"},
      {"q?a\\b", true, false, "q7a\\b.html"},
      {"x\\", true, false, "x\\index.html"},
      {"", true, false, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.in);
    EXPECT_EQ(MapPathCharacters(r.in, r.toLocal, r.underscore), r.out);
  }
}

TEST(MapPathInPlace, Table) {
  struct Row {
    const char* in;
    const char* dataDirectory;
    const char* out;
  };
  const Row rows[] = {
      {"Z:\\d\\a b?c/d:e|f", "", "Z:\\d\\a_b7c1d;e1f.html"},
      {"Z:/x//y/", "", "Z:\\x\\\\y\\index.html"},
      {"ab/", "", "ab\\index.html"},
      {"a/", "", "a\\"},
      {"Z:\\d\\%*<>\"", "", "Z:\\d\\XxLJ'"},
      {"x:y", "", "x;y"},
      // The data directory itself is never mapped.
      {"Z:\\my data\\s\\a b.html", "Z:\\my data", "Z:\\my data\\s\\a_b.html"},
      {"Z:\\my data\\s\\a b.html", "", "Z:\\my_data\\s\\a_b.html"},
      {"Z:\\my data", "Z:\\my data", "Z:\\my data"},
      {"Z:\\my data\\", "Z:\\my data", "Z:\\my data\\index.html"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.in);
    std::string path = r.in;
    MapPathInPlace(path, r.dataDirectory);
    EXPECT_EQ(path, r.out);
  }
}

TEST(RootPrefix, CountsTheFoldersOfTheSavedCopy) {
  struct Row {
    const char* url;
    const char* prefix;
  };
  const Row rows[] = {
      {"http://host/a/b.html", "../../"},
      {"https://host/a/b.html", "../../"},
      {"http://server", "../"},  // stored as server\index.html
      {"http://server/", "../"},
      {"http://server/dir/", "../../"},
      {"http://server/a//b/c.html", "../../../"},
      {"http://server/a?x/y/z", "../"},
      {"http://server/a#x/y", "../"},
      {"http://server?x/y", "../"},
      {"http://web.archive.org/web/2007/http://server/a/b.html", "../../"},
      {"http://web.archive.org/web/2007/https://server/a/b.html", "../../"},
      {"http://web.archive.org/web/2007/server/a/b.html", "../../"},
      {"about:blank", "../../"},
      {"ftp://server/a/b", ""},
      {"", ""},
      {"http://", ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.url);
    EXPECT_EQ(RootPrefix(r.url), r.prefix);
  }
  EXPECT_EQ(RootPrefix("file:///Z:/tmp/data/server/a.html", kData), "../");
  EXPECT_EQ(RootPrefix("Z:\\tmp\\data\\server\\a\\b.html", kData), "../../");
}

TEST(FileExtension, Table) {
  struct Row {
    const char* path;
    const char* ext;
    bool known;
  };
  const Row rows[] = {
      {"a.GIF", "gif", true},          {"x.jpeg", "jpeg", true},       {"x/y.JS", "js", true},
      {"x.txt", "txt", false},         {"dir.d/file", "", false},      {"a.html?x=1", "", false},
      {"abcdefghijk", "", false},      {"x.abcdefghi", "abcdefghi", false},
      {"x.abcdefghij", "", false},     {"page.cgi~", "", false},        {".htaccess", "htaccess", false},
      {"a.", "", false},               {"", "", false},                {"a.b c", "", false},
      {"a.html#top", "", false},       {"c:x.css", "css", true},       {"a.b=c", "", false},
      {"x.htm", "htm", true},          {"x.html5", "html5", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.path);
    EXPECT_EQ(FileExtension(r.path), r.ext);
    EXPECT_EQ(IsKnownResourceType(r.path), r.known);
  }
}

// 表 (95 5C), ソ (83 5C) and 能 (94 5C) end in the byte of "\"; ポ (83 7C)
// in that of "|"; ア (83 41) in that of "A".
TEST_F(UrlMapTest, ShiftJisTrailBytesAreNeverSeparatorsOrMapped) {
  const std::string hyo = SJ("表"), so = SJ("ソ"), nou = SJ("能"), po = SJ("ポ"), a = SJ("ア");
  ASSERT_EQ(hyo, "\x95\x5c");
  ASSERT_EQ(so, "\x83\x5c");
  ASSERT_EQ(nou, "\x94\x5c");

  UrlLocation loc;
  ASSERT_TRUE(MapUrlToLocation("http://server/" + hyo + "/" + so + ".html", CaptureProfile(kData), loc));
  EXPECT_EQ(loc.relativePath, "server\\" + hyo + "\\" + so + ".html");
  EXPECT_EQ(loc.localDirectory, kData + "\\server\\" + hyo);

  // A name ending in a trail byte 0x5C is not a folder.
  ASSERT_TRUE(MapUrlToLocation("http://server/" + nou, CaptureProfile(kData), loc));
  EXPECT_EQ(loc.relativePath, "server\\" + nou);
  EXPECT_EQ(loc.localDirectory, kData + "\\server");

  // A host of two-byte characters is a bare host, and ends at the real ":".
  ASSERT_TRUE(MapUrlToLocation("http://" + hyo + so + ":8080", CaptureProfile(kData), loc));
  EXPECT_EQ(loc.hostName, hyo + so);
  EXPECT_EQ(loc.port, 8080);
  EXPECT_EQ(loc.relativePath, hyo + so + ";8080\\index.html");

  // Trail bytes equal to "|" and "A" are left alone.
  EXPECT_EQ(MapPathCharacters("s/" + po + "|", true), "s\\" + po + "1");
  std::string inPlace = kData + "\\s\\" + po + " " + hyo + "?/";
  MapPathInPlace(inPlace, kData);
  EXPECT_EQ(inPlace, kData + "\\s\\" + po + "_" + hyo + "71.html");

  // The lookup cap never splits a character.
  std::string longName = "http://server/x";
  for (int i = 0; i < 150; ++i) longName += hyo;
  ASSERT_TRUE(MapUrlToLocation(longName, LookupProfile(kData), loc));
  EXPECT_EQ(loc.relativePath.size(), 244u);  // "server\x" (8) + 118 characters of 2 bytes

  // Extensions step over trail bytes; "A"-like trail bytes keep their case.
  EXPECT_EQ(FileExtension("a." + so), so);
  EXPECT_EQ(FileExtension("x." + a + "B"), a + "b");
  EXPECT_EQ(FileExtension("dir.x\\" + hyo), "");
  EXPECT_EQ(FileExtension("d/" + hyo + hyo + ".HTML"), "html");

  EXPECT_EQ(RootPrefix("http://server/" + hyo + "/a.html"), "../../");
  EXPECT_EQ(RootPrefix("http://server/" + nou + ".html"), "../");

  // Below a data directory whose name ends in a trail byte 0x5C.
  const std::string data = "Z:\\" + so;
  ASSERT_TRUE(MapUrlToLocation(data + "\\server\\x.html", LookupProfile(data), loc));
  EXPECT_EQ(loc.relativePath, "server\\x.html");
}

// A URL from anywhere (a redirect, a command line, a page, a timer file)
// names a file below the data directory, in the host's folder.
TEST_F(UrlMapTest, HostileDotSegmentsNeverLeaveTheHostFolder) {
  const std::string hyo = SJ("表");
  struct Row {
    std::string url;
    std::string relativePath;  // empty: refused as "URL has error. [host name]"
  };
  const Row rows[] = {
      {"http://h/../../../../home/victim/r1.png", "h\\home\\victim\\r1.png"},
      {"http://h/\\..\\..\\x", "h\\x"},
      {"http://h/a/..\\..\\..\\x", "h\\x"},
      {"http://h/a\\../b/./c/../d.html", "h\\b\\d.html"},
      {"http://h/dir/../../../../home/victim/x.html", "h\\home\\victim\\x.html"},
      {"http://h/a/b/..", "h\\a\\index.html"},
      {"http://h/a/.", "h\\a\\index.html"},
      {"http://h/..", "h\\index.html"},
      {"http://h:8080/../x", "h;8080\\x"},
      // The query keeps its text, but a "\" in it never makes ".." a folder.
      {"http://h/a?x=\\..\\..\\y", "h\\a7x=\\X2EX2E\\X2EX2E\\y.html"},
      {"http://h/a?/../b", "h\\a71..1b.html"},
      // A fragment is no path.
      {"http://h/p.html#/../../x", "h\\p.html"},
      // Escaped dots are names, not folders.
      {"http://h/%2e%2e/x", "h\\X2eX2e\\x"},
      // Two-byte characters whose trail byte is "\" stay names.
      {"http://h/" + hyo + "../x", "h\\" + hyo + "..\\x"},
      {"http://h/a" + hyo + "\\..\\x", "h\\x"},
      // Hosts that would be folders of their own, with or without a proxy.
      {"http://../x", ""},
      {"http://./x", ""},
      {"https://..:8080/x", "..;8080\\x"},
      {"../../x", ""},
      {"..\\..\\x", ""},
      // Local files keep their place; ".." is resolved before the data
      // directory is recognised.
      {"Z:\\tmp\\data\\..\\..\\etc\\passwd", "etc\\passwd"},
      {"Z:\\tmp\\data\\s\\..\\..\\data\\s\\a.html", "s\\a.html"},
      {"file:///Z:/tmp/data/../../../etc/x", "\\etc\\x"},
      {"file:///../../etc/x", ""},
      {"C:..\\x", ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.url);
    for (const UrlMapProfile& profile : {CaptureProfile(kData), LookupProfile(kData)}) {
      const bool lookup = profile.kind == MapProfileKind::Lookup;
      log::Clear();
      UrlLocation loc;
      const bool ok = MapUrlToLocation(r.url, profile, loc);
      if (r.relativePath.empty()) {
        EXPECT_FALSE(ok);
        if (!lookup) {
          EXPECT_TRUE(LogContains("URL has error. [host name]"));
        }
        continue;
      }
      ASSERT_TRUE(ok);
      if (!lookup) {
        EXPECT_EQ(loc.relativePath, r.relativePath);
      }
      EXPECT_EQ(loc.localPath, kData + "\\" + loc.relativePath);
      // No name on the way down is a dot segment, whatever the separator.
      std::string name;
      for (size_t i = 0; i <= loc.relativePath.size(); ++i) {
        const bool sep = i == loc.relativePath.size() || loc.relativePath[i] == '\\' || loc.relativePath[i] == '/';
        if (i > 0 && i < loc.relativePath.size() && static_cast<unsigned char>(loc.relativePath[i - 1]) >= 0x81 &&
            loc.relativePath[i] == '\\' && name.size() % 2 == 1) {
          name += loc.relativePath[i];  // the trail byte of a two-byte character
          continue;
        }
        if (!sep) {
          name += loc.relativePath[i];
          continue;
        }
        EXPECT_NE(name, "..");
        EXPECT_NE(name, ".");
        name.clear();
      }
    }
  }
}

}  // namespace
}  // namespace zentu
