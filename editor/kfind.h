// Find and replace in the editor. A finder holds the search settings and looks
// for its string in one run of bytes (one line: a match never spans a line
// break); CKEdit::FindNext drives it downwards from the caret, never wrapping.
// The search is plain (characters compared whole, with or without case) or a
// regular expression of the regular-expression service with the "k" flag.
#pragma once
#include <string>
#include <string_view>

namespace zentu {

struct BREGEXP;
class CKEdit;

class CKFind {
 public:
  // The replacement result holds at most this many bytes and a NUL.
  static constexpr size_t kResultSize = 10000;

  CKFind() = default;
  virtual ~CKFind();
  CKFind(const CKFind&) = delete;
  CKFind& operator=(const CKFind&) = delete;

  // Keeps a copy; clears the regular-expression and replace-mode flags.
  virtual void SetSearchString(std::string_view text);
  virtual void SetReplaceString(std::string_view text);
  virtual void SetReplaceResult(std::string_view text);
  // The offset of the first match in the run, or -1.
  virtual int Find(const char* bytes, int length);
  virtual int MatchLength() const { return matchLength_; }

  bool regExp = false;
  bool matchCase = true;
  bool replaceMode = false;

  bool HasSearchString() const { return hasSearch_; }
  const std::string& SearchString() const { return search_; }
  const std::string& ReplaceString() const { return replace_; }
  const std::string& ReplaceResult() const { return result_; }
  // What replaces the current match: the substitution's result for a regular
  // expression, else the replacement string as typed.
  const std::string& Replacement() const { return regExp ? result_ : replace_; }
  // Set when the service refused the pattern (the user has been told): the
  // search ends at once, with no not-found message after it.
  bool Refused() const { return refused_; }
  void ClearRefused() { refused_ = false; }

 protected:
  int FindPlain(const char* bytes, int length);
  int FindRegExp(const char* bytes, int length);
  void PatternError(const char* message);

  int matchLength_ = 0;
  bool hasSearch_ = false;
  bool refused_ = false;
  std::string search_, replace_, result_;
  std::u32string foldedSearch_;  // the search string case-folded, per character
  BREGEXP* match_ = nullptr;     // compiled once per pattern text
  BREGEXP* subst_ = nullptr;
};

// The regular-expression finder the editor keeps beside its CKFind. Every
// search uses the CKFind; this one never finds anything.
class CKRegExp : public CKFind {
 public:
  ~CKRegExp() override;
  void SetSearchString(std::string_view text) override { CKFind::SetSearchString(text); }
  int Find(const char*, int) override { return -1; }
};

// "現在位置より下には見つかりませんでした" in a box captioned "検索".
void ShowNotFound();

// The dialogs' set-up of the finder on every button: search string, then the
// two check boxes and the mode. False (nothing changed) for an empty search.
bool SetUpFinder(CKFind& finder, std::string_view search, bool matchCase, bool regExp, bool replaceMode);

// The replace dialog without its window. `Changed` is called when a field or
// a check box changes: the next "置換" press only finds again.
class KReplaceSession {
 public:
  enum Result { kFound = 1, kNotFound = 0, kRefused = -1 };
  void Changed() { pending_ = false; }
  bool Pending() const { return pending_; }
  // "置換(&R)": replaces the match the previous press found, then finds the
  // next. kNotFound means the not-found message is due.
  Result Replace(CKEdit& edit, CKFind& finder);
  // "全て置換(&A)": from the start of the text, every match; the number replaced.
  static int ReplaceAll(CKEdit& edit, CKFind& finder);

 private:
  bool pending_ = false;
};

}  // namespace zentu
