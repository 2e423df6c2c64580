// Cookies of the user's web browser for pages behind a login, and files from
// the browser's cache. On Linux the cookies come from a Netscape-format
// "cookies.txt" in the Zentu home (what browsers' cookie-export tools write);
// there is no system cache, so cache look-ups find nothing.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace zentu {

inline constexpr char kCookieFileName[] = "cookies.txt";
// A cookie line of this many characters or more is not sent.
inline constexpr size_t kMaxCookieLine = 5100;

// "%s\\cookies.txt" in the Zentu home.
std::string CookieFilePath();

// The "Cookie: a=b; c=d" line for the URL, or none. The cookies of the last
// host asked for are kept in memory (and read again when the file changes);
// each call picks those that suit the URL's path, scheme and the time. Safe
// from any thread.
std::optional<std::string> GetCookieLine(std::string_view host, std::string_view url);

// Appends the cookies of one cookie file that suit the URL to `soFar` (a
// "Cookie: " line or none) and returns the result; none when it is empty.
std::optional<std::string> ReadCookieFile(std::string_view url, std::string_view path,
                                          std::optional<std::string> soFar);

// Forgets the remembered host and its cookies.
void ClearCookieMemory();

// The browser cache: none on this system. `localPath` is left untouched.
bool FindInBrowserCache(std::string_view url, std::string& localPath);
std::optional<std::string> FindCacheURL(std::string_view localPath);

}  // namespace zentu
