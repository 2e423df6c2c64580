// The referrer map (referrer.dat) and the user and password map (password.dat)
// that the HTTP client consults for each request.
#include <algorithm>
#include <mutex>
#include <shared_mutex>

#include "capture/rulefile_io.h"
#include "capture/rules.h"
#include "capture/rules_internal.h"
#include "os/file.h"
#include "os/log.h"
#include "store/profile.h"

namespace zentu {
namespace {

using rulefile::SJ;

struct ReferrerMap {
  mutable std::shared_mutex mu;
  std::vector<ReferrerEntry> entries;  // sorted by prefix, equal prefixes in file order
};

struct PasswordMap {
  mutable std::shared_mutex mu;
  std::vector<AccountEntry> entries;  // file order
};

ReferrerMap g_referrers;
PasswordMap g_passwords;

bool SavingEnabled() { return CurrentProfile().FlagSave; }

void StoreReferrers(std::vector<ReferrerEntry> entries) {
  std::stable_sort(entries.begin(), entries.end(),
                   [](const ReferrerEntry& a, const ReferrerEntry& b) { return a.prefix < b.prefix; });
  std::unique_lock lock(g_referrers.mu);
  g_referrers.entries = std::move(entries);
}

void StorePasswords(std::vector<AccountEntry> entries) {
  std::unique_lock lock(g_passwords.mu);
  g_passwords.entries = std::move(entries);
}

bool SoundReferrer(const ReferrerEntry& e) {
  return !e.prefix.empty() && e.prefix[0] != '#' && !rulefile::BreaksLine(e.prefix, true) &&
         !rulefile::BreaksLine(e.referer, false) &&
         e.prefix.size() + 1 + e.referer.size() <= rulefile::kMaxLineBytes;
}

bool SoundAccount(const AccountEntry& e) {
  return !(!e.url.empty() && e.url[0] == '#') && !rulefile::BreaksLine(e.url, true) &&
         !rulefile::BreaksLine(e.user, true) &&
         e.url.size() + e.user.size() + 2 * e.password.size() + 2 <= rulefile::kMaxLineBytes;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

namespace rulefile {
void ClearAccountLists() {
  StoreReferrers({});
  StorePasswords({});
}
}  // namespace rulefile

// ---- Referrer map

int LoadReferrerList(std::string_view pathView) {
  const std::string path(pathView);
  if (!os::FileExists(path) && !path.empty()) {
    // A copy left under its old name: the same name with "_" as the last character.
    std::string old = path;
    old.back() = '_';
    if (old != path && os::FileExists(old)) {
      if (os::RenameFile(old, path))
        WriteLog("Rename: %s -> %s", old.c_str(), path.c_str());
      else
        WriteLog("Can't rename file %s", old.c_str());
    }
  }
  std::vector<ReferrerEntry> entries;
  bool opened = rulefile::ForEachLine(path, [&](const std::string& line) {
    if (line.empty() || line[0] == '#' || line.size() + 1 <= 3) return;
    size_t tab = line.find('\t');
    if (tab == std::string::npos || tab == 0) {
      WriteLogVerbose("rule error = %s", rulefile::Excerpt(line).c_str());
      return;
    }
    entries.push_back({line.substr(0, tab), line.substr(tab + 1)});
  });
  if (!opened) WriteLog("# file not found : %s", path.c_str());
  StoreReferrers(std::move(entries));
  return opened ? 1 : 0;
}

int SaveReferrerList(std::string_view path) {
  return SavingEnabled() ? rulefile::WriteReferrerFile(path) : 0;
}

int rulefile::WriteReferrerFile(std::string_view path) {
  std::string text = SJ(
      "# Web Access に Referrer 設定（Referrer設定）が必要なサイトについて\n"
      "# ここで URL と Referer の設定を行ってください．\n"
      "# \n"
      "# [例]\n");
  // The example stays a comment, or every load would add it as an entry.
  text += "# http://www.example.com/members/\thttp://www.example.com/\n";
  {
    std::shared_lock lock(g_referrers.mu);
    for (const auto& e : g_referrers.entries) text += e.prefix + '\t' + e.referer + '\n';
  }
  if (!os::WriteCrLfTextFile(path, text)) {
    WriteLog("# File not found : %s", std::string(path).c_str());
    return 0;
  }
  return 1;
}

std::vector<ReferrerEntry> GetReferrerList() {
  std::shared_lock lock(g_referrers.mu);
  return g_referrers.entries;
}

int SetReferrerList(const std::vector<ReferrerEntry>& entries) {
  std::vector<ReferrerEntry> kept;
  int left = 0;
  for (const auto& e : entries) {
    if (SoundReferrer(e))
      kept.push_back(e);
    else
      ++left;
  }
  StoreReferrers(std::move(kept));
  return left;
}

bool FindReferrer(std::string_view url, std::string& referer) {
  std::shared_lock lock(g_referrers.mu);
  for (const auto& e : g_referrers.entries) {
    if (rulefile::StartsWithNoCase(url, e.prefix)) {
      WriteLogVerbose("# match [%s] -> [%s]", e.prefix.c_str(), e.referer.c_str());
      referer = e.referer;
      return true;
    }
  }
  return false;
}

int AddReferrer(std::string_view url, std::string& header) {
  std::string referer;
  if (!FindReferrer(url, referer)) return 0;
  header += "\r\nReferer: ";
  header += referer;
  return 1;
}

// ---- Password map

std::string EncodePassword(std::string_view plain) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(plain.size() * 2);
  for (char c : plain) {
    unsigned char b = static_cast<unsigned char>(c) ^ 0xFF;
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

bool DecodePassword(std::string_view stored, std::string& plain) {
  if (stored.size() % 2 != 0) return false;
  std::string out;
  out.reserve(stored.size() / 2);
  for (size_t i = 0; i < stored.size(); i += 2) {
    int hi = HexValue(stored[i]);
    int lo = HexValue(stored[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>((hi << 4 | lo) ^ 0xFF);
  }
  plain = std::move(out);
  return true;
}

int LoadPasswordList(std::string_view pathView) {
  const std::string path(pathView);
  std::vector<AccountEntry> entries;
  bool opened = rulefile::ForEachLine(path, [&](const std::string& line) {
    if (line.empty() || line[0] == '#' || line.size() + 1 < 3) return;
    size_t tab1 = line.find('\t');
    size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
    AccountEntry e;
    if (tab2 == std::string::npos ||
        !DecodePassword(std::string_view(line).substr(tab2 + 1), e.password)) {
      // Only the URL: the rest may hold a password.
      WriteLogVerbose("rule error = %s", rulefile::Excerpt(line.substr(0, tab1)).c_str());
      return;
    }
    e.url = line.substr(0, tab1);
    e.user = line.substr(tab1 + 1, tab2 - tab1 - 1);
    entries.push_back(std::move(e));
  });
  if (!opened) WriteLogVerbose("Can't open file %s", path.c_str());
  // Stored passwords are only encoded, not encrypted: nobody else may read them.
  if (opened && os::RestrictToOwner(path)) WriteLog("> password file made private: %s", path.c_str());
  StorePasswords(std::move(entries));
  return opened ? 1 : 0;
}

int SavePasswordList(std::string_view path) {
  return SavingEnabled() ? rulefile::WritePasswordFile(path) : 0;
}

int rulefile::WritePasswordFile(std::string_view path) {
  std::string text = "# URL-USER-PASS LIST\n";
  {
    std::shared_lock lock(g_passwords.mu);
    for (const auto& e : g_passwords.entries)
      text += e.url + '\t' + e.user + '\t' + EncodePassword(e.password) + '\n';
  }
  if (!os::WriteCrLfTextFile(path, text, os::Access::Private)) {
    WriteLogVerbose("Can't open file %s", std::string(path).c_str());
    return 0;
  }
  return 1;
}

std::vector<AccountEntry> GetPasswordList() {
  std::shared_lock lock(g_passwords.mu);
  return g_passwords.entries;
}

int SetPasswordList(const std::vector<AccountEntry>& entries) {
  std::vector<AccountEntry> kept;
  int left = 0;
  for (const auto& e : entries) {
    if (SoundAccount(e))
      kept.push_back(e);
    else
      ++left;
  }
  StorePasswords(std::move(kept));
  return left;
}

bool FindPassword(std::string_view url, std::string& user, std::string& password) {
  // An entry must begin the URL, or the part after its "scheme://", and must
  // not end inside the host name: a fragment found anywhere (in a query, or
  // "example.com" within "example.com.other.org") would hand the account to
  // any site.
  size_t scheme = url.find("://");
  size_t hostStart = scheme == std::string_view::npos ? 0 : scheme + 3;
  size_t hostEnd = url.find_first_of("/?#", hostStart);
  if (hostEnd == std::string_view::npos) hostEnd = url.size();
  auto matchesAt = [&](const std::string& entry, size_t at) {
    if (!url.substr(at).starts_with(entry)) return false;
    size_t end = at + entry.size();
    return end >= hostEnd || (end > hostStart && url[end] == ':');
  };
  std::shared_lock lock(g_passwords.mu);
  for (const auto& e : g_passwords.entries) {
    if (e.url.empty()) continue;
    if (matchesAt(e.url, 0) || (hostStart > 0 && matchesAt(e.url, hostStart))) {
      user = e.user;
      password = e.password;
      return true;
    }
  }
  return false;
}

}  // namespace zentu
