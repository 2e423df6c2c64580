// Reject and convert rules, the wiki-command filter, and the hooks that load
// and save every rule file with the other configuration files.
#include "capture/rules.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <unordered_set>

#include "capture/rulefile_io.h"
#include "capture/rules_internal.h"
#include "os/cp932.h"
#include "os/file.h"
#include "os/log.h"
#include "pagelib/bregexp.h"
#include "store/configfiles.h"
#include "store/profile.h"

namespace zentu {

namespace rulefile {

uint64_t NextGeneration() {
  static std::atomic<uint64_t> generation{0};
  return ++generation;
}

}  // namespace rulefile

namespace {

// A pattern list as the workers use it: the rules as the file holds them, the
// texts handed to the regular-expression service, and which of them the
// service refused when they were loaded (skipped at use, logged once).
struct PatternList {
  mutable std::shared_mutex mu;
  RuleList rules;
  std::vector<std::string> patterns;
  std::vector<char> bad;
  uint64_t generation = 0;
};

PatternList g_reject;
PatternList g_convert;

// URLs refused by a reject rule, so that each is matched only once.
std::mutex g_rejectedMu;
std::unordered_set<std::string> g_rejected;

// Compiled handles of the service, one per rule and thread: a handle keeps
// its results between calls, so threads cannot share one.
class HandleCache {
 public:
  HandleCache() = default;
  HandleCache(const HandleCache&) = delete;
  HandleCache& operator=(const HandleCache&) = delete;
  ~HandleCache() { Reset(0, 0); }

  BREGEXP** Slot(uint64_t generation, size_t index, size_t count) {
    if (generation != generation_ || handles_.size() != count) Reset(generation, count);
    return &handles_[index];
  }

 private:
  void Reset(uint64_t generation, size_t count) {
    for (BREGEXP* h : handles_)
      if (h) BRegfree(h);
    handles_.assign(count, nullptr);
    generation_ = generation;
  }
  uint64_t generation_ = 0;
  std::vector<BREGEXP*> handles_;
};

thread_local HandleCache t_rejectHandles;
thread_local HandleCache t_convertHandles;

enum class PatternKind { Match, Subst };

// Runs the service once over an empty text to learn whether it takes the pattern.
bool PatternCompiles(const std::string& pattern, PatternKind kind, std::string& message) {
  char msg[kBregexpMessageSize] = {};
  char empty[1] = {};
  BREGEXP* rx = nullptr;
  if (kind == PatternKind::Match)
    BMatch(pattern.c_str(), empty, empty, &rx, msg);
  else
    BSubst(pattern.c_str(), empty, empty, &rx, msg);
  if (rx) BRegfree(rx);
  msg[kBregexpMessageSize - 1] = '\0';
  message = msg;
  return message.empty();
}

// Builds the state of a list from rules already known to be well-formed lines.
void Install(PatternList& list, RuleList rules, PatternKind kind) {
  std::vector<std::string> patterns;
  std::vector<char> bad;
  patterns.reserve(rules.size());
  for (const auto& rule : rules) {
    // Reject rules are written without the leading "m" of a match.
    std::string pattern = kind == PatternKind::Match ? "m" + rule : rule;
    std::string message;
    bool ok = PatternCompiles(pattern, kind, message);
    if (!ok) WriteLog("regexp error: %s", message.c_str());
    patterns.push_back(std::move(pattern));
    bad.push_back(ok ? 0 : 1);
  }
  std::unique_lock lock(list.mu);
  list.rules = std::move(rules);
  list.patterns = std::move(patterns);
  list.bad = std::move(bad);
  list.generation = rulefile::NextGeneration();
}

void ForgetRejected() {
  std::lock_guard lock(g_rejectedMu);
  g_rejected.clear();
}

// Reads a pattern file: comments, short lines and lines not of the rule form
// are skipped; malformed rules are logged.
bool ReadPatternFile(std::string_view path, std::string_view start, bool (*isRule)(std::string_view),
                     RuleList& rules) {
  return rulefile::ForEachLine(path, [&](const std::string& line) {
    // Lines shorter than 3 bytes with their line end.
    if (line.empty() || line[0] == '#' || line.size() + 1 < 3) return;
    if (line.compare(0, start.size(), start) != 0) return;
    if (isRule(line))
      rules.push_back(line);
    else
      WriteLogVerbose("rule error = %s", rulefile::Excerpt(line).c_str());
  });
}

int SetPatternList(PatternList& list, const RuleList& rules, bool (*isRule)(std::string_view),
                   PatternKind kind) {
  RuleList kept;
  int left = 0;
  for (const auto& rule : rules) {
    if (isRule(rule) && rule.size() <= rulefile::kMaxLineBytes)
      kept.push_back(rule);
    else
      ++left;
  }
  Install(list, std::move(kept), kind);
  return left;
}

RuleList CopyRules(const PatternList& list) {
  std::shared_lock lock(list.mu);
  return list.rules;
}

int SavePatternFile(std::string_view path, const PatternList& list, const std::string& header) {
  std::string text = header;
  {
    std::shared_lock lock(list.mu);
    for (const auto& rule : list.rules) {
      text += rule;
      text += '\n';
    }
  }
  if (!os::WriteCrLfTextFile(path, text)) {
    WriteLog("# File locked? : %s", std::string(path).c_str());
    return 0;
  }
  return 1;
}

// The fixed headers. The advertising host and the documentation address are ours.
constexpr char kDocumentationUrl[] = "https://www.pcre.org/current/doc/html/pcre2pattern.html";

const std::string& RejectHeader() {
  static const std::string header = os::Utf8ToSjis(
      "# -------------------------------------------------\n"
      "# Reject URL\n"
      "# -------------------------------------------------\n"
      "# Reject する URL のリスト．\n"
      "# gif などの画像を取りこみたくないとき指定すると良いでしょう．\n"
      "# /ad.doubleclick.net/ とかも追加するとよいかも\n"
      "# ある程度の正規表現は使えます(bregexp.dll に依存)\n"
      "#\n"
      "# ↓を参照してくださいな\n"
      "# " + std::string(kDocumentationUrl) + "\n"
      "#\n"
      "# 1行まるごとチェックに利用します．\n"
      "# 後の方に余計な文字列をつけないようお願いします．\n"
      "# エラーチェックしてませんので・・・\n"
      "# \n"
      "# (例)\n"
      "# /\\.gif$/\n"
      "# /\\.jpg$/\n"
      "# -------------------------------------------------\n");
  return header;
}

const std::string& ConvertHeader() {
  static const std::string header = os::Utf8ToSjis(
      "# -------------------------------------------------\n"
      "# Convert\n"
      "# -------------------------------------------------\n"
      "# 文字列の変換を行います．\n"
      "# これを利用することで，target=\"_blank\" などを削除できます．\n"
      "# (ニュースサイトなどIEが勝手にあがるのがめんどかったので・・・)\n"
      "# \n"
      "# そのまま bregexp.dll にかけますので / は \\/ と記述して下さい．\n"
      "# ダブルクォーテーションは \" だけで OK です．\n"
      "# ちなみに，タグ以外のものはいじることができません．\n"
      "#\n"
      "# 1行まるごとチェックに利用します．\n"
      "# 余計な文字列をつけないようお願いします．\n"
      "# \n"
      "# [構文]\n"
      "# s/変換前文字列/変換後文字列/\n"
      "# 詳細は↓を参照してくださいな\n"
      "# " + std::string(kDocumentationUrl) + "\n"
      "# \n"
      "# (例)\n"
      "# s/ (TARGET|target)=\"_blank\"//\n"
      "# s/ (TARGET|target)=\"_top\"//\n"
      "# s/<(a|A) (target|TARGET)=_top /<$1 /\n"
      "# # %7E と ~ の統一のため\n"
      "# s/%7E/~/\n"
      "# -------------------------------------------------\n");
  return header;
}

constexpr char kDefaultConvertRule[] = "s/&amp;/&/g";

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

bool ContainsAny(std::string_view text, std::initializer_list<std::string_view> parts) {
  for (auto part : parts)
    if (Contains(text, part)) return true;
  return false;
}

}  // namespace

// ---- Reject rules

bool IsRejectRuleLine(std::string_view line) {
  return !line.empty() && line[0] == '/' && rulefile::CountDelimiters(line) == 2 &&
         !rulefile::BreaksLine(line, false);
}

int LoadRejectRules(std::string_view path) {
  RuleList rules;
  bool opened = ReadPatternFile(path, "/", IsRejectRuleLine, rules);
  if (!opened) WriteLogVerbose("Can't open file %s", std::string(path).c_str());
  Install(g_reject, std::move(rules), PatternKind::Match);
  // A URL refused by a rule that is gone may be captured again.
  ForgetRejected();
  return opened ? 1 : 0;
}

int SaveRejectRules(std::string_view path) {
  WriteLog("# Save Reject Config File");
  return SavePatternFile(path, g_reject, RejectHeader());
}

RuleList GetRejectRules() { return CopyRules(g_reject); }

int SetRejectRules(const RuleList& rules) {
  int left = SetPatternList(g_reject, rules, IsRejectRuleLine, PatternKind::Match);
  ForgetRejected();
  return left;
}

std::string RulePatternError(std::string_view rule, bool convert) {
  std::string pattern = convert ? std::string(rule) : "m" + std::string(rule);
  std::string message;
  return PatternCompiles(pattern, convert ? PatternKind::Subst : PatternKind::Match, message) ? std::string()
                                                                                               : message;
}

bool IsWikiCommandLink(std::string_view url) {
  if (Contains(url, "cmd=") &&
      ContainsAny(url, {"cmd=backup&", "cmd=edit&", "cmd=search&", "cmd=diff&", "cmd=upload&",
                        "cmd=freeze&", "cmd=unfreeze&"}))
    return true;
  if (Contains(url, "plugin=") &&
      ContainsAny(url, {"plugin=referer&", "plugin=template&", "plugin=rename&", "plugin=newpage&"}))
    return true;
  return Contains(url, "plugin=attach&") &&
         ContainsAny(url, {"cmd=open&", "cmd=info&", "refer=", "delfile="});
}

bool IsLinkAllowed(std::string_view url) {
  std::string key(url);
  {
    std::lock_guard lock(g_rejectedMu);
    if (g_rejected.count(key)) return false;
  }
  if (IsWikiCommandLink(url)) return false;

  std::string target = key;  // the service wants writable text
  bool refused = false;
  {
    std::shared_lock lock(g_reject.mu);
    const size_t count = g_reject.patterns.size();
    for (size_t i = 0; i < count && !refused; ++i) {
      if (g_reject.bad[i]) continue;
      char msg[kBregexpMessageSize] = {};
      BREGEXP** rx = t_rejectHandles.Slot(g_reject.generation, i, count);
      int hit = BMatch(g_reject.patterns[i].c_str(), target.data(), target.data() + target.size(), rx, msg);
      if (msg[0]) {
        msg[kBregexpMessageSize - 1] = '\0';
        WriteLog("regexp error: %s", msg);
        continue;
      }
      refused = hit != 0;
    }
  }
  if (!refused) return true;
  std::lock_guard lock(g_rejectedMu);
  g_rejected.insert(std::move(key));
  return false;
}

// ---- Convert rules

bool IsConvertRuleLine(std::string_view line) {
  return line.size() >= 2 && line[0] == 's' && line[1] == '/' &&
         rulefile::CountDelimiters(line) == 3 && !rulefile::BreaksLine(line, false);
}

int LoadConvertRules(std::string_view path) {
  RuleList rules;
  bool opened = ReadPatternFile(path, "s/", IsConvertRuleLine, rules);
  if (!opened) {
    WriteLogVerbose("Can't open file %s", std::string(path).c_str());
    rules.assign(1, kDefaultConvertRule);
  }
  Install(g_convert, std::move(rules), PatternKind::Subst);
  return opened ? 1 : 0;
}

int SaveConvertRules(std::string_view path) {
  WriteLog("# Save Convert Config File");
  return SavePatternFile(path, g_convert, ConvertHeader());
}

RuleList GetConvertRules() { return CopyRules(g_convert); }

int SetConvertRules(const RuleList& rules) {
  return SetPatternList(g_convert, rules, IsConvertRuleLine, PatternKind::Subst);
}

std::string ApplyConvertRules(std::string_view tag, int& changed) {
  changed = 0;
  std::string target;
  std::shared_lock lock(g_convert.mu);
  const size_t count = g_convert.patterns.size();
  for (size_t i = 0; i < count; ++i) {
    if (g_convert.bad[i]) continue;
    target.assign(tag);
    char msg[kBregexpMessageSize] = {};
    BREGEXP** rx = t_convertHandles.Slot(g_convert.generation, i, count);
    int replaced = BSubst(g_convert.patterns[i].c_str(), target.data(), target.data() + target.size(), rx, msg);
    if (msg[0]) {
      msg[kBregexpMessageSize - 1] = '\0';
      WriteLog("regexp error: %s", msg);
      continue;
    }
    if (!replaced) continue;
    const BREGEXP* result = *rx;
    std::string out;
    try {
      if (result && result->outp) {
        size_t length = result->outendp && result->outendp >= result->outp
                            ? static_cast<size_t>(result->outendp - result->outp)
                            : std::strlen(result->outp);
        out.assign(result->outp, length);
      }
    } catch (const std::bad_alloc&) {
      // Keeping the tag as it was is better than dropping it.
      WriteLog("[Error] Can't allocate memory.");
      return std::string();
    }
    changed = 1;
    return out;
  }
  return std::string();
}

// ---- All rule files

void InstallRuleFileHooks() {
  // A missing file is not a failure for a loader: its list is simply empty
  // (or holds its default).
  SetConfigFileHook(
      ConfigFile::Extension, [](Profile&, const std::string& path) { return LoadExtensionList(path), 1; }, {});
  SetConfigFileHook(
      ConfigFile::Password, [](Profile&, const std::string& path) { return LoadPasswordList(path), 1; },
      [](const Profile& p, const std::string& path) { return p.FlagSave ? rulefile::WritePasswordFile(path) : 1; });
  SetConfigFileHook(
      ConfigFile::Referrer, [](Profile&, const std::string& path) { return LoadReferrerList(path), 1; },
      [](const Profile& p, const std::string& path) { return p.FlagSave ? rulefile::WriteReferrerFile(path) : 1; });
  SetConfigFileHook(
      ConfigFile::Reject, [](Profile&, const std::string& path) { return LoadRejectRules(path), 1; },
      [](const Profile&, const std::string& path) { return SaveRejectRules(path); });
  SetConfigFileHook(
      ConfigFile::Convert, [](Profile&, const std::string& path) { return LoadConvertRules(path), 1; },
      [](const Profile&, const std::string& path) { return SaveConvertRules(path); });
}

void ClearCaptureRules() {
  Install(g_reject, {}, PatternKind::Match);
  Install(g_convert, {}, PatternKind::Subst);
  ForgetRejected();
  rulefile::ClearExtensionLists();
  rulefile::ClearAccountLists();
}

}  // namespace zentu
