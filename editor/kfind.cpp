#include "editor/kfind.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "editor/kedit.h"
#include "os/cp932.h"
#include "os/desktop.h"
#include "os/log.h"
#include "pagelib/bregexp.h"

namespace zentu {
namespace {

// One character at `pos` as a Unicode scalar folded for a caseless compare.
// Full-width and half-width forms stay apart: only case is ignored.
char32_t FoldedChar(const char* s, int pos, int length, int& bytes) {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  uint16_t code = b0;
  bytes = 1;
  if (os::IsSjisLeadByte(b0) && pos + 1 < length) {
    code = static_cast<uint16_t>(b0 << 8 | static_cast<unsigned char>(s[pos + 1]));
    bytes = 2;
  }
  if (b0 < 0x80) return static_cast<char32_t>(b0 >= 'A' && b0 <= 'Z' ? b0 + 32 : b0);
  const char32_t u = os::Cp932ToUnicode(code);
  // An unmapped code compares as its own bytes, never equal to a mapped one.
  if (u == 0) return 0x110000u + code;
  return static_cast<char32_t>(u_foldCase(static_cast<UChar32>(u), U_FOLD_CASE_DEFAULT));
}

// "m/%s/k%s" and "s/%s/%s/gk%s", built by hand: a search string may hold
// "%", which must never reach a format.
std::string Pattern(const std::string& search, const std::string* replace, bool matchCase) {
  std::string p = replace ? "s/" : "m/";
  p += search;
  p += '/';
  if (replace) {
    p += *replace;
    p += "/g";
  }
  p += 'k';
  if (!matchCase) p += 'i';
  return p;
}

}  // namespace

CKFind::~CKFind() {
  BRegfree(match_);
  BRegfree(subst_);
}

CKRegExp::~CKRegExp() = default;

void CKFind::SetSearchString(std::string_view text) {
  search_.assign(text);
  hasSearch_ = true;
  matchLength_ = static_cast<int>(search_.size());
  regExp = false;
  replaceMode = false;
  foldedSearch_.clear();
  for (int i = 0, n = static_cast<int>(search_.size()); i < n;) {
    int bytes = 1;
    foldedSearch_.push_back(FoldedChar(search_.data(), i, n, bytes));
    i += bytes;
  }
}

void CKFind::SetReplaceString(std::string_view text) { replace_.assign(text); }

void CKFind::SetReplaceResult(std::string_view text) {
  result_.assign(text.substr(0, kResultSize - 1));
}

int CKFind::Find(const char* bytes, int length) {
  if (!hasSearch_) return -1;
  return regExp ? FindRegExp(bytes, length) : FindPlain(bytes, length);
}

int CKFind::FindPlain(const char* s, int length) {
  const int n = static_cast<int>(search_.size());
  matchLength_ = n;
  if (n == 0) return -1;
  const auto first = static_cast<unsigned char>(search_[0]);
  for (int pos = 0; pos + n <= length;) {
    const auto b = static_cast<unsigned char>(s[pos]);
    const int step = os::IsSjisLeadByte(b) && pos + 1 < length ? 2 : 1;
    if (matchCase) {
      if (b == first && std::memcmp(s + pos, search_.data(), static_cast<size_t>(n)) == 0) return pos;
    } else {
      // Character by character over exactly n bytes, so half a character never matches.
      int at = pos, k = 0;
      const int end = pos + n;
      const int count = static_cast<int>(foldedSearch_.size());
      while (k < count && at < end) {
        int bytes = 1;
        if (FoldedChar(s, at, length, bytes) != foldedSearch_[static_cast<size_t>(k)]) break;
        at += bytes;
        ++k;
      }
      if (k == count && at == end) return pos;
    }
    pos += step;
  }
  return -1;
}

void CKFind::PatternError(const char* message) {
  os::MessageBox(message, os::SJ("無効な正規表現です"));
  WriteLog("regexp error: %s", message);
  refused_ = true;
}

int CKFind::FindRegExp(const char* s, int length) {
  if (length <= 0) return -1;
  const std::string pattern = Pattern(search_, nullptr, matchCase);
  // The service wants a writable, NUL-terminated run.
  std::string run(s, static_cast<size_t>(length));
  char msg[kBregexpMessageSize] = {};
  char* start = run.data();
  const int hit = BMatch(pattern.c_str(), start, start + length, &match_, msg);
  if (msg[0]) {
    PatternError(msg);
    return -1;
  }
  if (!hit || !match_) return -1;
  const int offset = static_cast<int>(match_->startp[0] - start);
  const int len = static_cast<int>(match_->endp[0] - match_->startp[0]);
  matchLength_ = len;
  if (!replaceMode) return offset;

  // The substitution runs on the matched text alone: group references see
  // this match's groups.
  if (len == 0) return -1;
  result_.clear();
  std::string matched = run.substr(static_cast<size_t>(offset), static_cast<size_t>(len));
  const std::string subst = Pattern(search_, &replace_, matchCase);
  char msg2[kBregexpMessageSize] = {};
  (void)BSubst(subst.c_str(), matched.data(), matched.data() + matched.size(), &subst_, msg2);
  if (msg2[0]) {
    PatternError(msg2);
    return offset;
  }
  if (subst_ && subst_->outp) SetReplaceResult(std::string_view(subst_->outp, static_cast<size_t>(subst_->outendp - subst_->outp)));
  return offset;
}

void ShowNotFound() { os::MessageBox(os::SJ("現在位置より下には見つかりませんでした"), os::SJ("検索")); }

bool CKEdit::FindNext(CKFind& finder) {
  finder.ClearRefused();
  KPoint from = KBefore(CaretPos(), AnchorPos()) ? AnchorPos() : CaretPos();
  const int count = LineCount();
  for (int row = from.row; row < count; ++row) {
    const CKEditLine& line = Line(row);
    int start = 0;
    if (row == from.row) {
      start = KPositionOfColumn(line.Text(), line.Width(), from.column, false, row + 1 < count);
      if (start < 0) start = 0;
    }
    const int at = finder.Find(line.Text().data() + start, line.Length() - start);
    if (finder.Refused()) return false;
    if (at < 0) continue;
    const std::string& text = Line(row).Text();
    const int begin = start + at;
    const int end = std::min(begin + finder.MatchLength(), static_cast<int>(text.size()));
    MoveCaretTo(KColumnOfPosition(text, begin), row, false, false);
    MoveCaretTo(KColumnOfPosition(text, end), row, false, true);
    return true;
  }
  return false;
}

bool SetUpFinder(CKFind& finder, std::string_view search, bool matchCase, bool regExp, bool replaceMode) {
  if (search.empty()) return false;
  finder.SetSearchString(search);
  finder.matchCase = matchCase;
  finder.regExp = regExp;
  finder.replaceMode = replaceMode;
  finder.ClearRefused();
  return true;
}

KReplaceSession::Result KReplaceSession::Replace(CKEdit& edit, CKFind& finder) {
  if (pending_) edit.PushUndo(edit.InsertText(finder.Replacement()));
  const bool found = edit.FindNext(finder);
  WriteLog("replace to: %s", finder.ReplaceResult().c_str());
  pending_ = found;
  if (found) return kFound;
  return finder.Refused() ? kRefused : kNotFound;
}

int KReplaceSession::ReplaceAll(CKEdit& edit, CKFind& finder) {
  edit.MoveCaret(kToStart, kToStart, true, false);
  int count = 0;
  while (edit.FindNext(finder)) {
    edit.PushUndo(edit.InsertText(finder.Replacement()));
    ++count;
  }
  return count;
}

}  // namespace zentu
