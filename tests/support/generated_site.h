// A generated site of many pages, written to a folder and served by nginx on
// a free loopback port (or by a TestServer for small sizes): pages p/<n>.html
// in a binary tree of links (page n links to 2n+1 and 2n+2), each with
// `imagesPerPage` images of its own (img/<n>.png, img/<n>-<k>.png) and one of
// `icons` shared icons (icon/<i>.png), all sharing one style sheet
// (style.css). With `outsideLink`, page 0 also links to a page outside p/
// ("other/outside.html"), which a site download held to p/ must not fetch.
//
// The site-download benchmark and the end-to-end site check use it.
#pragma once
#include <sys/types.h>

#include <map>
#include <set>
#include <string>

namespace zentu::testing {

class TestServer;

struct GeneratedSiteShape {
  int pages = 10000;
  int icons = 400;
  int imagesPerPage = 1;
  bool outsideLink = false;
};

// Bytes that do not compress to nothing, the same every run.
std::string GeneratedFiller(size_t size, unsigned seed);

class GeneratedSite {
 public:
  explicit GeneratedSite(GeneratedSiteShape shape = {});
  ~GeneratedSite();
  GeneratedSite(const GeneratedSite&) = delete;
  GeneratedSite& operator=(const GeneratedSite&) = delete;

  // Writes the site into a fresh temporary folder; "" when done, else why not.
  std::string Write();
  // Writes the site (when not yet written) and starts nginx on a free loopback
  // port, logging every request; "" when it answers, else why not.
  std::string StartNginx();
  // Serves the written files from `server` instead ("/" + relative path).
  void ServeFrom(TestServer& server) const;

  // The folder the site's files are in (native).
  std::string Root() const { return dir_ + "/site"; }
  // "http://127.0.0.1:<port>" of nginx.
  std::string Origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // The site's own list of files: relative paths ("p/0.html", "img/3.png").
  const std::set<std::string>& Files() const { return files_; }
  // The files a page needs and links to: "p/<n>.html" -> its relative paths.
  std::set<std::string> FilesOfPage(int page) const;
  // The request targets nginx logged, each with its count.
  std::map<std::string, int> NginxRequests() const;
  const GeneratedSiteShape& Shape() const { return shape_; }

 private:
  GeneratedSiteShape shape_;
  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
  std::set<std::string> files_;
};

}  // namespace zentu::testing
