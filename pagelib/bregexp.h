// The regular-expression service: Perl-style "m/pattern/flags" and
// "s/pattern/replacement/flags" over PCRE2. Flags: g (every occurrence),
// i (ignore case), k (the target is Shift_JIS; two-byte characters are never
// split), and Perl's m, s and x. Another delimiter than "/" may follow the m or
// s ("m#a/b#", "s{a}{b}"); a bare "/pattern/" is a match.
//
// Replacement text: $1..$n or ${n} (group n), $& (whole match), $` and $'
// (text before and after the match), \1..\9, \n \r \t \f \e \a \xHH, and "\"
// before any other character for that character ("\/" is "/", "\\" is "\",
// "\$" is "$"). A group that did not take part gives nothing.
//
// A pattern that would backtrack without end (e.g. "m/(a+)+b/" on a long run of
// "a") gives up after a bounded amount of work and reports no match.
#pragma once

namespace zentu {

// Result record owned by the service. Callers read outp after BSubst and
// startp/endp after BMatch: entry 0 is the whole match, entry i group i, ends
// exclusive, all pointing into the caller's target. A group that did not take
// part has startp[i] == endp[i] (both at the target's start).
// One handle serves one thread at a time; each caller owns its handle.
struct BREGEXP {
  char* outp = nullptr;     // BSubst: whole target with replacements, NUL-terminated; null = empty
  char* outendp = nullptr;  // end of outp (its NUL)
  char** startp = nullptr;  // nparens + 1 entries
  char** endp = nullptr;
  int nparens = 0;          // groups in the pattern
};

// Message buffers are this many bytes; the caller zero-fills them. A non-empty
// message after a call means the pattern is bad, whatever the result.
constexpr int kBregexpMessageSize = 80;

// Returns 1 on a match, 0 otherwise. `*rx` is null before the first call and is
// then set; pass it again for further targets (the pattern is compiled again
// only when its text changes) and release it once with BRegfree. A bad pattern
// fills `msg` and leaves a null `*rx` null.
int BMatch(const char* pattern, char* start, char* end, BREGEXP** rx, char* msg);
// Returns the number of replacements made (0 when nothing was replaced). outp
// then holds the whole target with them made (a copy of the target when nothing
// was replaced; null when the result is empty). startp/endp describe the first
// match.
int BSubst(const char* pattern, char* start, char* end, BREGEXP** rx, char* msg);
// Releases a handle; null is ignored.
void BRegfree(BREGEXP* rx);

}  // namespace zentu
