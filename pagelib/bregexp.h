// The regular-expression service: Perl-style "m/pattern/flags" and
// "s/pattern/replacement/flags" over PCRE2. Flags: g (every occurrence),
// i (ignore case), k (the target is Shift_JIS; two-byte characters are never split).
#pragma once

namespace zentu {

// Result record owned by the service. Callers read outp after BSubst and
// startp/endp after BMatch: entry 0 is the whole match, entry i group i, ends
// exclusive; a group that did not take part has endp[i] <= startp[i].
struct BREGEXP {
  char* outp = nullptr;     // BSubst: whole target with replacements, NUL-terminated; null = empty
  char* outendp = nullptr;
  int splitctr = 0;
  char** splitp = nullptr;
  int rsv1 = 0;
  char* parap = nullptr;    // the pattern text this handle was compiled from
  char* paraendp = nullptr;
  char* transtblp = nullptr;
  char** startp = nullptr;  // nparens + 1 entries
  char** endp = nullptr;
  int nparens = 0;
};

// Message buffers are this many bytes; the caller zero-fills them. A non-empty
// message after a call means the pattern is bad, whatever the result.
constexpr int kBregexpMessageSize = 80;

// Returns non-zero on a match. `*rx` is null before the first call and may be
// passed again with the same pattern for further targets.
int BMatch(const char* pattern, char* start, char* end, BREGEXP** rx, char* msg);
// Returns non-zero when something was replaced.
int BSubst(const char* pattern, char* start, char* end, BREGEXP** rx, char* msg);
void BRegfree(BREGEXP* rx);

}  // namespace zentu
