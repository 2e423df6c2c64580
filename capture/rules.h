// The rule files that steer capture, all in the configuration directory:
// reject.dat (links not to capture), convert.dat (substitutions over tags),
// extension.dat (binary and open-by-browser extensions), referrer.dat (Referer
// per URL prefix) and password.dat (accounts per URL).
//
// Each list lives inside this module behind its own reader-writer lock:
// capture workers read them while the user may replace them from a settings
// dialog. Texts are Shift_JIS; paths are program paths.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace zentu {

// An ordered list of pattern strings read from a rule file.
using RuleList = std::vector<std::string>;

inline constexpr char kRejectFileName[] = "reject.dat";
inline constexpr char kConvertFileName[] = "convert.dat";
inline constexpr char kExtensionFileName[] = "extension.dat";
inline constexpr char kReferrerFileName[] = "referrer.dat";
inline constexpr char kPasswordFileName[] = "password.dat";

// ---- Reject rules: "/pattern/flags", matched against whole URLs.

// Replaces the list with the rules of the file and forgets the URLs rejected
// so far. Returns 1 when the file was read, 0 when it could not be opened
// (the list is then empty).
int LoadRejectRules(std::string_view path);
// Writes the fixed header and the rules. Returns 1 when written; a file that
// cannot be written is left as it was.
int SaveRejectRules(std::string_view path);
RuleList GetRejectRules();
// Replaces the list (settings dialog). Lines that would not load back as rules
// are left out; returns how many were.
int SetRejectRules(const RuleList& rules);
// True when the line is a rule: it begins with "/" and holds exactly two
// unescaped slashes.
bool IsRejectRuleLine(std::string_view line);
// "" when the regular-expression service takes the rule's pattern (a reject
// rule, or with `convert` a convert rule), else the service's message.
std::string RulePatternError(std::string_view rule, bool convert);

// False when the link must not be captured: it was refused before, it is a
// wiki command, or a reject rule matches it.
[[nodiscard]] bool IsLinkAllowed(std::string_view url);
// The fixed wiki-command filter: edit, diff, backup ... pages of wiki engines.
bool IsWikiCommandLink(std::string_view url);

// ---- Convert rules: "s/before/after/flags", applied to the tags of a page.

// Replaces the list. A file that cannot be opened gives the single rule
// "s/&amp;/&/g" and returns 0.
int LoadConvertRules(std::string_view path);
int SaveConvertRules(std::string_view path);
RuleList GetConvertRules();
int SetConvertRules(const RuleList& rules);
// True when the line begins with "s/" and holds exactly three unescaped slashes.
bool IsConvertRuleLine(std::string_view line);

// Runs the rules in order over the tag; the first one that replaces anything
// wins. Returns its result with `changed` = 1 (an empty result means: leave
// the tag out), or "" with `changed` = 0 when no rule applied.
std::string ApplyConvertRules(std::string_view tag, int& changed);

// ---- Extension lists.

enum ExtensionListKind : int {
  kDownloadAsBinary = 1,  // stored as it arrives, never scanned
  kOpenByBrowser = 2,     // opened in the browser view rather than the editor
};

// Reads both lists. A missing file (or one in the old format without section
// headers, which is kept as "<name>.bak") is replaced by the default file and
// read again. Returns 1 when lists were read from a file.
int LoadExtensionList(std::string_view path);
// Reads both lists and never writes anything: the program that only looks
// (the cleaner) keeps the default lists in memory when the file is missing,
// unreadable or in the old format. Returns 1 when lists were read from a file.
int ReadExtensionListOnly(std::string_view path);
// Writes the lists in the layout of the default file. Returns 1 when written.
int SaveExtensionList(std::string_view path);
// Writes the default extension.dat. Returns 1 when written.
int WriteDefaultExtensionFile(std::string_view path);
RuleList GetExtensionList(int which);
// Entries that would not survive a save (empty, line breaks) are left out;
// returns how many were.
int SetExtensionList(int which, const RuleList& extensions);
// 0 for an empty name, 2 when the name's extension is in the chosen list
// (case ignored), 1 otherwise.
int CheckFileType(std::string_view name, int which);

// ---- Referrer map: a Referer value per URL prefix, kept in prefix order.

struct ReferrerEntry {
  std::string prefix;
  std::string referer;
  bool operator==(const ReferrerEntry&) const = default;
};

int LoadReferrerList(std::string_view path);
// Written only when saving is enabled (FlagSave). Returns 1 when written.
int SaveReferrerList(std::string_view path);
std::vector<ReferrerEntry> GetReferrerList();
// Entries with an empty prefix, a tab in the prefix or a line break in either
// text are left out; returns how many were.
int SetReferrerList(const std::vector<ReferrerEntry>& entries);
// The Referer of the first entry in prefix order whose prefix begins the URL
// (case ignored).
bool FindReferrer(std::string_view url, std::string& referer);
// Appends "\r\nReferer: " and the value to the request header text when an
// entry matches. Returns 1 when it did, else 0.
int AddReferrer(std::string_view url, std::string& header);

// ---- Password map: user and password per URL, in file order.

struct AccountEntry {
  std::string url;
  std::string user;
  std::string password;  // plain; the file holds it scrambled
  bool operator==(const AccountEntry&) const = default;
};

int LoadPasswordList(std::string_view path);
// Written only when saving is enabled (FlagSave). Returns 1 when written.
int SavePasswordList(std::string_view path);
std::vector<AccountEntry> GetPasswordList();
int SetPasswordList(const std::vector<AccountEntry>& entries);
// The account of the first entry (file order) that begins the URL, either
// whole or after its "scheme://" (so "example.com/members" serves
// "http://example.com/members/a.html"), and does not end inside the host name
// ("example.com" does not serve "http://example.com.other.org/"). An entry
// with an empty URL matches nothing.
bool FindPassword(std::string_view url, std::string& user, std::string& password);
// The stored form: each byte XOR 0xFF as two lowercase hex digits.
std::string EncodePassword(std::string_view plain);
// False when the text is not an even run of hex digits.
bool DecodePassword(std::string_view stored, std::string& plain);

// ---- All of them.

// Plugs the loaders and savers of the rule files into the configuration-file
// table of the store (LoadConfigFiles, LoadWindowConfigFiles,
// SaveConfigFiles). The referrer and password files are saved only when the
// profile's FlagSave is on; extension.dat is never saved at shutdown.
void InstallRuleFileHooks();
// Empties every list and the set of rejected URLs (tests, re-initialisation).
void ClearCaptureRules();

}  // namespace zentu
