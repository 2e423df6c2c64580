#include "capture/sitedownload.h"

#include <cctype>
#include <cstdio>

#include "os/cp932.h"
#include "os/desktop.h"
#include "os/log.h"
#include "os/path.h"
#include "os/process.h"
#include "os/text.h"

namespace zentu {
namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

void Refuse(const std::string& text) {
  WriteLog("> external downloader: %s", text.c_str());
  os::GetDesktop().MessageBox(text, os::SJ("エラー"), os::Buttons::Ok, os::IDOK);
}

}  // namespace

std::string SiteBaseUrl(std::string_view url) {
  url = Trimmed(url);
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos || scheme == 0) return {};
  for (size_t i = 0; i < scheme; ++i)
    if (!std::isalnum(static_cast<unsigned char>(url[i])) && url[i] != '+' && url[i] != '-' && url[i] != '.')
      return {};
  const size_t hostStart = scheme + 3;
  size_t hostEnd = url.find_first_of("/?#", hostStart);
  if (hostEnd == std::string_view::npos) hostEnd = url.size();
  if (hostEnd == hostStart) return {};
  return Lower(url.substr(0, hostEnd));
}

bool SiteFilterAccepted(std::string_view url, std::string_view filter) {
  const std::string base = SiteBaseUrl(url);
  filter = Trimmed(filter);
  if (base.empty() || filter.size() < base.size()) return false;
  if (Lower(filter.substr(0, base.size())) != base) return false;
  return filter.size() == base.size() || filter[base.size()] == '/';
}

int StartExternalDownloader(std::string_view downloader, std::string_view url) {
  const std::string name(Trimmed(downloader));
  const std::string target(Trimmed(url));
  const std::string scheme = Lower(target.substr(0, target.find("://") == std::string::npos ? 0 : target.find("://")));
  if (scheme != "http" && scheme != "https" && scheme != "ftp") {
    char text[2400];
    std::snprintf(text, sizeof text, os::SJ("ダウンローダに渡せないURLです．\r\nURL = %s").c_str(), target.c_str());
    Refuse(text);
    return 0;
  }
  const std::string program = os::FindProgram(name);
  if (program.empty()) {
    char text[600];
    std::snprintf(text, sizeof text,
                  os::SJ("ダウンローダが見つかりません．設定を確認してください．\r\nDownloader = %s").c_str(),
                  name.c_str());
    Refuse(text);
    return 0;
  }
  WriteLog("external downloader: %s %s", program.c_str(), target.c_str());
  // The program gets the URL as it stands, as one argument (UTF-8 like every
  // argument the system passes).
  if (!os::StartProgram(program, {os::SjisToUtf8(target)})) {
    char text[600];
    std::snprintf(text, sizeof text, os::SJ("ダウンローダを起動できません．\r\nDownloader = %s").c_str(),
                  program.c_str());
    Refuse(text);
    return 0;
  }
  return 1;
}

}  // namespace zentu
