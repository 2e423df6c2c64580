#include "tests/support/generated_site.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/support/testserver.h"

namespace zentu::testing {
namespace {

void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

bool Answers(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

std::string ImageName(int page, int k) {
  return "img/" + std::to_string(page) + (k == 0 ? "" : "-" + std::to_string(k)) + ".png";
}

}  // namespace

std::string GeneratedFiller(size_t size, unsigned seed) {
  std::string out(size, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return out;
}

GeneratedSite::GeneratedSite(GeneratedSiteShape shape) : shape_(shape) {}

GeneratedSite::~GeneratedSite() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status;
    ::waitpid(pid_, &status, 0);
  }
  std::error_code ec;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

std::string GeneratedSite::Write() {
  if (!dir_.empty()) return {};
  std::string tmpl = (std::filesystem::temp_directory_path() / "zentu-site-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) return "no temporary folder";
  dir_ = tmpl;
  const std::filesystem::path root = Root();
  const std::string filler(900, 'x');
  auto add = [&](const std::string& rel, const std::string& text) {
    WriteFile(root / rel, text);
    files_.insert(rel);
  };
  for (int n = 0; n < shape_.pages; ++n) {
    std::string page = "<html><head><title>Page " + std::to_string(n) +
                       "</title><link rel=\"stylesheet\" href=\"../style.css\"></head><body>\n";
    for (int child : {2 * n + 1, 2 * n + 2})
      if (child < shape_.pages) page += "<a href=\"" + std::to_string(child) + ".html\">" + std::to_string(child) + "</a>\n";
    if (n == 0 && shape_.outsideLink) page += "<a href=\"../other/outside.html\">outside</a>\n";
    for (int k = 0; k < shape_.imagesPerPage; ++k) page += "<img src=\"../" + ImageName(n, k) + "\">";
    page += "<img src=\"../icon/" + std::to_string(n % shape_.icons) + ".png\">\n<p>" + filler + "</p></body></html>\n";
    add("p/" + std::to_string(n) + ".html", page);
    for (int k = 0; k < shape_.imagesPerPage; ++k)
      add(ImageName(n, k), GeneratedFiller(1024, static_cast<unsigned>(n * 16 + k)));
  }
  for (int i = 0; i < shape_.icons; ++i)
    add("icon/" + std::to_string(i) + ".png", GeneratedFiller(512, static_cast<unsigned>(1000000 + i)));
  add("style.css", "body { margin: 1em; }\n");
  // Not part of the site that is held to p/: it must never be asked for.
  WriteFile(root / "other" / "outside.html", "<html><body>outside</body></html>\n");
  return {};
}

std::set<std::string> GeneratedSite::FilesOfPage(int n) const {
  std::set<std::string> out = {"p/" + std::to_string(n) + ".html", "style.css",
                               "icon/" + std::to_string(n % shape_.icons) + ".png"};
  for (int k = 0; k < shape_.imagesPerPage; ++k) out.insert(ImageName(n, k));
  return out;
}

std::string GeneratedSite::StartNginx() {
  if (access("/usr/sbin/nginx", X_OK) != 0) return "/usr/sbin/nginx is not installed (scripts/dev bench installs it)";
  if (std::string error = Write(); !error.empty()) return error;
  // mkdtemp made the folder for us alone; nginx's workers must read it.
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all | std::filesystem::perms::group_exec |
                                         std::filesystem::perms::others_exec);
  port_ = FreePort();
  const std::string conf = dir_ + "/nginx.conf";
  WriteFile(conf, std::string(geteuid() == 0 ? "user root;\n" : "") + "daemon off;\nworker_processes 1;\npid " + dir_ +
                      "/nginx.pid;\nerror_log " + dir_ +
                      "/error.log;\nevents { worker_connections 1024; }\nhttp {\n"
                      "  log_format plain '$request_uri';\n  access_log " + dir_ + "/access.log plain;\n"
                      "  sendfile on;\n  keepalive_requests 1000000;\n"
                      "  types { text/html html; image/png png; text/css css; }\n"
                      "  default_type application/octet-stream;\n  client_body_temp_path " + dir_ + "/t1;\n"
                      "  proxy_temp_path " + dir_ + "/t2;\n  fastcgi_temp_path " + dir_ + "/t3;\n"
                      "  uwsgi_temp_path " + dir_ + "/t4;\n  scgi_temp_path " + dir_ + "/t5;\n"
                      "  server { listen 127.0.0.1:" + std::to_string(port_) + "; root " + Root() + "; }\n}\n");
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
    execl("/usr/sbin/nginx", "nginx", "-p", dir_.c_str(), "-c", conf.c_str(), "-e", (dir_ + "/error.log").c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 100 && !Answers(port_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return Answers(port_) ? "" : "nginx did not start";
}

void GeneratedSite::ServeFrom(TestServer& server) const {
  auto bodies = std::make_shared<std::map<std::string, std::string>>();
  for (const std::string& rel : files_) {
    std::ifstream in(Root() + "/" + rel, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    (*bodies)["/" + rel] = text.str();
  }
  server.Add(Route{.path = "/*", .handler = [bodies](const TestRequest& request, TestResponse& response) {
                     auto it = bodies->find(request.target);
                     if (it == bodies->end()) {
                       response.status = 404;
                       response.body = "not here";
                       return;
                     }
                     const bool page = request.target.ends_with(".html");
                     const bool sheet = request.target.ends_with(".css");
                     response.headers = {{"Content-Type", page ? "text/html" : sheet ? "text/css" : "image/png"}};
                     response.body = it->second;
                   }});
}

std::map<std::string, int> GeneratedSite::NginxRequests() const {
  std::map<std::string, int> out;
  std::ifstream in(dir_ + "/access.log");
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) ++out[line];
  return out;
}

}  // namespace zentu::testing
