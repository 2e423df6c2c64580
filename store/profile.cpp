#include "store/profile.h"

#include <atomic>
#include <climits>
#include <cstdlib>

#include "os/cp932.h"
#include "os/desktop.h"
#include "os/file.h"
#include "os/home.h"
#include "os/log.h"
#include "os/path.h"
#include "os/text.h"
#include "store/profile_keys.h"

namespace zentu {
namespace {

using os::ContainsNoCase;
using os::EqualsNoCase;
using profile_keys::Scope;
using profile_keys::Section;

constexpr size_t kLineLimit = 2048;

std::atomic<int> g_workWidth{1024};
std::atomic<int> g_workHeight{768};

// Addresses the product's pages used to live at; profiles that still point
// there get today's defaults.
constexpr const char* kFormerAddresses[] = {"http://zentu.example.net/", "http://www.zentu.example.net/"};

struct SectionName {
  Section section;
  const char* header;
};
// The headers that switch the reader's section. "[URL]" is written but does
// not switch: its keys are read anywhere.
constexpr SectionName kSectionHeaders[] = {
    {Section::Zentu, "[Zentu]"},   {Section::Tree, "[Tree]"},
    {Section::List, "[List]"},     {Section::Editor, "[Editor]"},
    {Section::LogView, "[LogView]"}, {Section::TabBrowser, "[TabBrowser]"},
    {Section::Scrap, "[Scrap]"},   {Section::DownloadManager, "[DownloadManager]"},
};

const char* HeaderOf(Section s) {
  switch (s) {
    case Section::Zentu: return "[Zentu]";
    case Section::URL: return "[URL]";
    case Section::Tree: return "[Tree]";
    case Section::List: return "[List]";
    case Section::Editor: return "[Editor]";
    case Section::TabBrowser: return "[TabBrowser]";
    case Section::Scrap: return "[Scrap]";
    case Section::DownloadManager: return "[DownloadManager]";
    case Section::LogView: return "[LogView]";
    case Section::None: break;
  }
  return "";
}

// The value of a key line: up to the first CR, LF or NUL.
std::string_view LineValue(std::string_view rest) {
  size_t end = rest.find_first_of(std::string_view("\r\n\0", 3));
  return end == std::string_view::npos ? rest : rest.substr(0, end);
}

// Keeps at most `maxBytes` bytes without splitting a two-byte character.
void CutText(std::string& text, size_t maxBytes) { text.resize(os::SjisCutLength(text, maxBytes)); }

// Index of the last character of a Shift_JIS text, or npos when empty.
size_t LastCharStart(std::string_view text) {
  size_t last = std::string_view::npos;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size(); ++i) {
    last = i;
    if (os::IsSjisLeadByte(p[i]) && i + 1 < text.size()) ++i;
  }
  return last;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A decimal integer as sscanf("%d") reads it: leading blanks, a sign, digits;
// whatever follows the digits is ignored. False when there are no digits or
// the number does not fit.
bool ParseNumber(std::string_view s, size_t& pos, int& out) {
  while (pos < s.size() && IsBlank(s[pos])) ++pos;
  bool negative = false;
  if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) negative = s[pos++] == '-';
  long long value = 0;
  size_t digits = 0;
  while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
    value = value * 10 + (s[pos] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) return false;
    ++pos;
    ++digits;
  }
  if (digits == 0) return false;
  if (negative) value = -value;
  if (value < INT_MIN || value > INT_MAX) return false;
  out = static_cast<int>(value);
  return true;
}

bool ParseInt(std::string_view s, int& out) {
  size_t pos = 0;
  return ParseNumber(s, pos, out);
}

bool Expect(std::string_view s, size_t& pos, char c) {
  while (pos < s.size() && IsBlank(s[pos])) ++pos;
  if (pos < s.size() && s[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

// "(a,b,c,...)" with `count` numbers; the closing parenthesis may be missing.
template <size_t N>
bool ParseTuple(std::string_view s, std::array<int, N>& out) {
  size_t pos = 0;
  if (!Expect(s, pos, '(')) return false;
  for (size_t i = 0; i < N; ++i) {
    if (i > 0 && !Expect(s, pos, ',')) return false;
    if (!ParseNumber(s, pos, out[i])) return false;
  }
  return true;
}

bool ParseColour(std::string_view s, Rgb& out) {
  std::array<int, 3> v{};
  if (!ParseTuple(s, v)) return false;
  for (int c : v)
    if (c < 0 || c > 255) return false;
  out = {v[0], v[1], v[2]};
  return true;
}

bool ParseRect(std::string_view s, WindowRect& out) {
  std::array<int, 4> v{};
  if (!ParseTuple(s, v)) return false;
  out = {v[0], v[1], v[2], v[3]};
  return true;
}

// The column order must name every column once, or the list view would show
// a column twice and lose another.
bool ParseColumnArray(std::string_view s, std::array<int, kListColumnCount>& out) {
  std::array<int, kListColumnCount> v{};
  size_t pos = 0;
  for (int i = 0; i < kListColumnCount; ++i) {
    if (i > 0 && !Expect(s, pos, ',')) return false;
    if (!ParseNumber(s, pos, v[i])) return false;
  }
  unsigned seen = 0;
  for (int c : v) {
    if (c < 0 || c >= kListColumnCount || (seen & (1u << c))) return false;
    seen |= 1u << c;
  }
  out = v;
  return true;
}

// Only the value that differs from the default is recognised.
bool IsFlagForm(std::string_view value, char digit) {
  if (value.empty() || value[0] != digit) return false;
  for (size_t i = 1; i < value.size(); ++i)
    if (!IsBlank(value[i])) return false;
  return true;
}

class Reader {
 public:
  explicit Reader(Profile& p) : p_(p) {}

  void Apply(Section fileSection, std::string_view key, std::string_view value) {
    fileSection_ = fileSection;
    key_ = key;
    value_ = value;
    done_ = false;
    profile_keys::VisitProfileKeys(p_, *this);
  }

  void Begin(Section s) { visiting_ = s; }

  void Flag(std::string_view name, bool& v, bool def, Scope scope, bool = true) {
    if (Accepts(name, scope) && IsFlagForm(value_, def ? '0' : '1')) v = !def;
  }
  void Int(std::string_view name, int& v, Scope scope) {
    int n;
    if (Accepts(name, scope) && ParseInt(value_, n)) v = n;
  }
  void Text(std::string_view name, std::string& v, size_t size, Scope scope, bool = true) {
    if (!Accepts(name, scope)) return;
    v.assign(value_);
    CutText(v, size - 1);
  }
  void Colour(std::string_view name, Rgb& v, Scope scope) {
    if (Accepts(name, scope)) ParseColour(value_, v);
  }
  void Rect(std::string_view name, WindowRect& v, Scope scope) {
    if (Accepts(name, scope)) ParseRect(value_, v);
  }
  void TimeOut(std::string_view name, int& ms) {
    int n;
    if (!Accepts(name, Scope::Any) || !ParseInt(value_, n)) return;
    if (n < 0)
      ms = 60000;
    else if (n <= INT_MAX / 1000)
      ms = n * 1000;
  }
  void UseProxy(std::string_view name, bool& v, const std::string&) {
    if (Accepts(name, Scope::Own)) v = IsFlagForm(value_, '1');
  }
  void ColumnArray(std::string_view name, std::array<int, kListColumnCount>& v) {
    if (Accepts(name, Scope::Any)) ParseColumnArray(value_, v);
  }

 private:
  // The whole key name must match, so that "ZentuFile(Local)" is never taken
  // for "ZentuFile", nor "NameOfMark1" for the column name "NameOfMark".
  bool Accepts(std::string_view name, Scope scope) {
    if (done_ || !EqualsNoCase(name, key_)) return false;
    if (scope == Scope::Own && fileSection_ != visiting_) return false;
    done_ = true;
    return true;
  }

  Profile& p_;
  Section fileSection_ = Section::None;
  Section visiting_ = Section::None;
  std::string_view key_, value_;
  bool done_ = false;
};

// Values never carry a line break into the file: it would start a new key.
std::string_view OneLine(std::string_view text) { return LineValue(text); }

class Writer {
 public:
  std::string out;

  void Begin(Section s) {
    out += HeaderOf(s);
    out += '\n';
  }
  void Flag(std::string_view name, bool& v, bool, Scope, bool written = true) {
    if (written) Line(name, v ? "1" : "0");
  }
  void Int(std::string_view name, int& v, Scope) { Line(name, std::to_string(v)); }
  void Text(std::string_view name, std::string& v, size_t, Scope, bool written = true) {
    if (written) Line(name, OneLine(v));
  }
  void Colour(std::string_view name, Rgb& v, Scope) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "(%d,%d,%d)", v.red, v.green, v.blue);
    Line(name, buf);
  }
  void Rect(std::string_view name, WindowRect& v, Scope) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "(%d,%d,%d,%d)", v.left, v.top, v.width, v.height);
    Line(name, buf);
  }
  void TimeOut(std::string_view name, int& ms) { Line(name, std::to_string(ms / 1000)); }
  void UseProxy(std::string_view name, bool& v, const std::string& server) {
    Line(name, (v && !server.empty()) ? "1" : "0");
  }
  void ColumnArray(std::string_view name, std::array<int, kListColumnCount>& v) {
    std::string text;
    for (int i = 0; i < kListColumnCount; ++i) {
      if (i) text += ',';
      text += std::to_string(v[i]);
    }
    Line(name, text);
  }

 private:
  void Line(std::string_view name, std::string_view value) {
    out.append(name);
    out += '=';
    out.append(value);
    out += '\n';
  }
};

// "D:\Pages\" -> "D:\Pages"; a trail byte 0x5C ("表") is not a separator.
void DropOneTrailingBackslash(std::string& path) {
  size_t last = LastCharStart(path);
  if (last != std::string::npos && last == path.size() - 1 && path[last] == '\\') path.pop_back();
}

bool IsAbsoluteProgramPath(std::string_view path) {
  if (path.size() >= 2 && path[1] == ':') return true;
  return path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/');
}

// File settings may be typed natively ("/srv/t.html") or relative to the program directory.
void ResolveFileSetting(std::string& setting, const std::string& fallback, const std::string& home) {
  if (setting.empty()) {
    setting = fallback;
    return;
  }
  setting = os::NormalizeSettingPath(setting);
  if (!IsAbsoluteProgramPath(setting)) setting = os::JoinPath(home, setting);
}

bool OutsideWindowRange(int v) { return v < -10000 || v > 10000; }

bool OutsideWindowRange(const WindowRect& r) {
  return OutsideWindowRange(r.left) || OutsideWindowRange(r.top) || OutsideWindowRange(r.width) ||
         OutsideWindowRange(r.height);
}

void ReadProfileFile(Profile& p, os::File& file) {
  Reader reader(p);
  Section section = Section::None;
  std::string line;
  bool continuation = false;
  while (file.ReadLine(line, kLineLimit)) {
    bool complete = !line.empty() && line.back() == '\n';
    // The tail of an over-long line is not a line of its own: a value that
    // happens to contain "FlagSave=0" must not switch saving off.
    bool skip = continuation;
    continuation = !complete && line.size() >= kLineLimit - 1;
    if (skip) continue;

    std::string_view text(line);
    if (complete) text.remove_suffix(1);
    bool header = false;
    for (const auto& h : kSectionHeaders) {
      if (EqualsNoCase(text, h.header)) {
        section = h.section;
        header = true;
        break;
      }
    }
    if (header) continue;
    size_t eq = text.find('=');
    if (eq == std::string_view::npos || eq == 0) continue;
    reader.Apply(section, text.substr(0, eq), LineValue(text.substr(eq + 1)));
  }
}

void ApplyFixUps(Profile& p) {
  // The [Tree] and [List] view flags are 0 or 1 by their type already.
  if (p.Editor.empty()) p.Editor = "notepad.exe";
  ResolveDirectories(p);
  Profile defaults;
  for (const char* former : kFormerAddresses) {
    if (ContainsNoCase(p.ZentuStartURL, former)) p.ZentuStartURL = defaults.ZentuStartURL;
    if (ContainsNoCase(p.ZentuOnlineHelpURL, former)) p.ZentuOnlineHelpURL = defaults.ZentuOnlineHelpURL;
  }
  if (p.Protocol.empty()) p.Protocol = "HTTP/1.0";
  if (p.FontTypeFace.empty()) p.FontTypeFace = "FixedSys";
}

void LogProfile(Profile& p) {
  WriteLog("Data Directory = %s", p.dirs.data.c_str());
  WriteLog("Text Data Directory = %s", p.dirs.text.c_str());
  if (p.DebugFlag) WriteLog("Start URL = %s", p.ZentuStartURL.c_str());
  if (p.UseIEProxySetting) {
    p.systemProxy = ReadSystemProxy();
    WriteLog("Proxy Server (IE) = %s:%d", p.systemProxy.host.c_str(), p.systemProxy.port);
  } else if (p.UseProxy) {
    WriteLog("Proxy Server = %s:%d", p.ProxyServer.c_str(), p.ProxyPort);
  }
  if (!profile_keys::TreeFileIsDefault(p)) WriteLog("ZentuFile = %s", p.ZentuFile.c_str());
  if (p.DebugFlag) WriteLog("Group = %s", p.Group.c_str());
}

void CheckRanges(Profile& p) {
  if (p.LimitationOfLinkHop == 20) p.LimitationOfLinkHop = 5;
  for (int* v : {&p.BaseLineSkip, &p.TopMargin, &p.LeftMargin, &p.WaitTimeForAutoSave, &p.WaitTimeForOpenURL,
                 &p.BackupInterval})
    if (*v < 0) *v = 0;
  // Thousands of worker threads would only exhaust the machine.
  for (int* v : {&p.MaxNumberOfCheckThread, &p.MaxNumberOfDownloadThread})
    if (*v < 0 || *v > 100) *v = 1;
  if (p.TypeOfConnectionCheck < kConnectionCheckNone || p.TypeOfConnectionCheck > kConnectionCheckSecond)
    p.TypeOfConnectionCheck = kConnectionCheckNone;
  for (int set = 0; set < 2; ++set) {
    bool allBelowOne = true, anyTooWide = false;
    for (int w : p.ColumnWidth[set]) {
      if (w >= 1) allBelowOne = false;
      if (w > 4999) anyTooWide = true;
    }
    if (allBelowOne || anyTooWide) {
      WriteLog("All ColumnWidth = 0, set default");
      p.ColumnWidth[set] = kDefaultColumnWidth[set];
    }
  }
  if (OutsideWindowRange(p.Xpos) || OutsideWindowRange(p.Ypos) || OutsideWindowRange(p.Width) ||
      OutsideWindowRange(p.Height)) {
    p.Xpos = 10;
    p.Ypos = 10;
    p.Width = 800;
    p.Height = 600;
  }
  if (OutsideWindowRange(p.LogViewWindowSize)) p.LogViewWindowSize = {20, 20, 200, 200};
  if (OutsideWindowRange(p.DownloadManagerWindowSize)) p.DownloadManagerWindowSize = {150, 150, 800, 500};
}

std::string ToCrLf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace

namespace profile_keys {
bool TreeFileIsDefault(const Profile& p) {
  if (p.ZentuFile.empty()) return true;
  const std::string home = p.ProgramDirectory.empty() ? os::ZentuHome() : p.ProgramDirectory;
  return p.ZentuFile == os::JoinPath(home, "default.html");
}
}  // namespace profile_keys

Profile& CurrentProfile() {
  static Profile* profile = [] {
    auto* p = new Profile;  // never destroyed: worker threads may read it during exit
    SetProfileDefaults(*p);
    return p;
  }();
  return *profile;
}

std::string ProfilePath() { return os::JoinPath(os::ZentuHome(), "zentu.ini"); }
std::string DefaultTreeFile() { return os::JoinPath(os::ZentuHome(), "default.html"); }
std::string DefaultLocalIndexFile() { return os::JoinPath(os::ZentuHome(), "local.html"); }

void SetWorkArea(int width, int height) {
  g_workWidth = width;
  g_workHeight = height;
}

void SetProfileDefaults(Profile& p) {
  p = Profile{};
  p.ProgramDirectory = os::ZentuHome();
  p.ZentuFile = os::JoinPath(p.ProgramDirectory, "default.html");
  p.ZentuFileLocal = os::JoinPath(p.ProgramDirectory, "local.html");
  p.Width = g_workWidth - 20;
  p.Height = g_workHeight - 20;
  p.FontTypeFace = os::Utf8ToSjis("ＭＳ ゴシック");
  // Two name formats: one for "no mark", one numbered for marks 1 to 9.
  p.NameOfMark[0] = os::Utf8ToSjis("マークなし");
  const std::string numbered = os::Utf8ToSjis("マーク");
  for (int i = 1; i <= 9; ++i) p.NameOfMark[i] = numbered + std::to_string(i);
  p.NameOfTitle = os::Utf8ToSjis("タイトル");
  p.NameOfURL = "URL";
  p.NameOfSize = os::Utf8ToSjis("サイズ");
  p.NameOfOriginal = os::Utf8ToSjis("元の日付");
  p.NameOfUpdate = os::Utf8ToSjis("更新日");
  p.NameOfMarkColumn = os::Utf8ToSjis("マーク");
  p.NameOfContents = os::Utf8ToSjis("内容");
}

int LoadProfile(Profile& p, std::string_view path) {
  SetProfileDefaults(p);
  os::File file;
  if (os::FileExists(path) && file.Open(path, os::File::Mode::Read)) {
    ReadProfileFile(p, file);
    file.Close();
    // Width and Height were read as sizes of the main window; its right and
    // bottom edges are Xpos + Width and Ypos + Height.
  } else {
    WriteLog("> not found : %s", std::string(path).c_str());
  }
  DropOneTrailingBackslash(p.DataDirectory);
  ResolveFileSetting(p.ZentuFile, os::JoinPath(p.ProgramDirectory, "default.html"), p.ProgramDirectory);
  ResolveFileSetting(p.ZentuFileLocal, os::JoinPath(p.ProgramDirectory, "local.html"), p.ProgramDirectory);

  ApplyFixUps(p);
  LogProfile(p);
  CheckRanges(p);
  return p.ShowWindow;
}

std::string FormatProfile(const Profile& profile) {
  Profile copy = profile;
  Writer writer;
  profile_keys::VisitProfileKeys(copy, writer);
  return std::move(writer.out);
}

int SaveProfile(const Profile& p, std::string_view path) {
  if (!p.FlagSave) return 0;
  // Written beside the old file and renamed over it: a failure at any point
  // keeps the previous settings intact.
  if (!os::WriteFileAtomic(path, ToCrLf(FormatProfile(p)))) {
    static const std::string kCannotOpen = os::Utf8ToSjis("設定ファイルがオープンできません");
    os::MessageBox(kCannotOpen, path);
    return 0;
  }
  WriteLog("SaveProfileData : %s", std::string(path).c_str());
  return 1;
}

}  // namespace zentu
