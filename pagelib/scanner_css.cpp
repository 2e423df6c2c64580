// Style sheets and script strings: url() and @import constructs, quoted file
// names in scripts, and the downloaded style-sheet file.
#include <string>

#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "pagelib/scanner.h"
#include "pagelib/scanner_internal.h"
#include "pagelib/url.h"

namespace zentu {

using namespace scan;

namespace {

inline bool EndsCssConstruct(char c) { return c == '\0' || c == '\r' || c == '\n' || c == ';' || c == '}'; }

inline bool EndsString(char c, bool atParen) {
  switch (c) {
    case '\0':
    case '\r':
    case '\n':
    case ';':
    case '}':
    case ' ':
    case '\t':
      return true;
    case ')':
      return atParen;
    default:
      return false;
  }
}

// The quoted string opened at text[open]. Returns the index of its closing
// quote, or of the byte that ended it early (text.size() at the end), with
// `closed` telling which. A backslash escapes a quote or a backslash after it;
// a 0x5C that is the trail byte of a two-byte character escapes nothing.
size_t ScanString(std::string_view text, size_t open, bool atParen, bool& closed) {
  const char quote = text[open];
  size_t k = open + 1;
  closed = false;
  while (k < text.size()) {
    if (CharLen(text, k) == 2) {
      k += 2;
      continue;
    }
    const char c = text[k];
    if (c == '\\' && k + 1 < text.size() && (text[k + 1] == quote || text[k + 1] == '\\')) {
      k += 2;
      continue;
    }
    if (c == quote) {
      closed = true;
      return k;
    }
    if (EndsString(c, atParen)) return k;
    ++k;
  }
  return text.size();
}

// A byte that continues a CSS identifier: "url" right after one is part of a
// longer name (myurl(), or new URL() in a script), not the url() function.
inline bool IsIdentifierByte(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         u >= 0x80;
}

// A closed string worth rewriting: 4 characters or more naming a known resource type.
bool IsResourceString(std::string_view inner) { return inner.size() >= 4 && IsKnownResourceType(inner); }

// Index after the url construct starting at text[i] ("url" matched), or npos
// when what follows is not "(" after optional blanks.
size_t UrlConstructEnd(std::string_view text, size_t i) {
  size_t j = i + 3;
  while (j < text.size() && (text[j] == ' ' || text[j] == '\t')) ++j;
  if (j >= text.size() || text[j] != '(') return npos;
  size_t depth = 0;
  for (size_t k = j; k < text.size();) {
    if (CharLen(text, k) == 2) {
      k += 2;
      continue;
    }
    const char c = text[k];
    if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (--depth == 0) return k + 1;
    } else if (EndsCssConstruct(c) && c != ';') {
      // A ";" inside the parentheses belongs to the file name: saved copies
      // link through host folders such as "127.0.0.1;8080".
      return k;
    }
    ++k;
  }
  return text.size();
}

// Index after the @import construct at text[i]; `keywordOnly` when a url
// construct follows the keyword and will be handled on its own.
size_t ImportConstructEnd(std::string_view text, size_t i, bool& keywordOnly) {
  constexpr size_t kKeyword = 7;  // "@import"
  size_t j = i + kKeyword;
  while (j < text.size() && (text[j] == ' ' || text[j] == '\t' || text[j] == '\r' || text[j] == '\n')) ++j;
  keywordOnly = StartsWithI(text.substr(j), "url");
  if (keywordOnly) return i + kKeyword;
  int doubles = 0, singles = 0;
  for (size_t k = i + kKeyword; k < text.size();) {
    if (CharLen(text, k) == 2) {
      k += 2;
      continue;
    }
    const char c = text[k];
    if (c == '"' && ++doubles == 2) return k + 1;
    if (c == '\'' && ++singles == 2) return k + 1;
    // Inside the quotes a ";" is part of the name (a host folder's port).
    if (EndsCssConstruct(c) && !(c == ';' && (doubles == 1 || singles == 1))) return k;
    ++k;
  }
  return text.size();
}

void RewriteStyleText(PageScanner& s, std::string_view text) {
  size_t plain = 0;  // start of text not yet written
  size_t i = 0;
  bool afterIdentifier = false;  // text[i] continues a name
  while (i < text.size()) {
    if (CharLen(text, i) == 2) {
      i += 2;
      afterIdentifier = true;
      continue;
    }
    const char c = text[i];
    size_t end = npos;
    if (c == 'u' || c == 'U') {
      if (!afterIdentifier && StartsWithI(text.substr(i), "url")) end = UrlConstructEnd(text, i);
    } else if (c == '@') {
      if (StartsWithI(text.substr(i), "@import")) {
        bool keywordOnly = false;
        end = ImportConstructEnd(text, i, keywordOnly);
        if (keywordOnly) {
          i = end;  // the keyword stays plain text; the url() after it is its own construct
          afterIdentifier = false;
          continue;
        }
      }
    } else if ((c == '"' || c == '\'') && s.readStyleStrings) {
      bool closed = false;
      size_t k = ScanString(text, i, false, closed);
      if (closed)
        end = k + 1;
      else {
        i = k;
        afterIdentifier = false;
        continue;
      }
    }
    if (end == npos) {
      afterIdentifier = IsIdentifierByte(c);
      ++i;
      continue;
    }
    Write(s, text.substr(plain, i - plain));
    RewriteCssLink(s, text.substr(i, end - i));
    i = plain = end;
    afterIdentifier = false;
  }
  Write(s, text.substr(plain));
}

void RewriteScriptText(PageScanner& s, std::string_view text) {
  size_t plain = 0;
  size_t i = 0;
  while (i < text.size()) {
    if (CharLen(text, i) == 2) {
      i += 2;
      continue;
    }
    const char c = text[i];
    if (c != '"' && c != '\'') {
      ++i;
      continue;
    }
    bool closed = false;
    size_t k = ScanString(text, i, false, closed);
    if (!closed) {
      i = k;  // ended early: written unchanged
      continue;
    }
    // Only the whole string is a link: the style-sheet patterns would find
    // url( and @import inside script text.
    std::string_view inner = text.substr(i + 1, k - i - 1);
    if (IsResourceString(inner)) {
      Write(s, text.substr(plain, i + 1 - plain));  // through the opening quote
      EmitLink(s, inner, kLinkResource);
      plain = k;  // the closing quote stays
    }
    i = k + 1;
  }
  Write(s, text.substr(plain));
}

}  // namespace

void RewriteCss(PageScanner& s, std::string_view text, int mode) {
  if (mode == ModeScript) {
    if (s.settings.ignoreJavaScript && !s.reading)
      Write(s, text);
    else
      RewriteScriptText(s, text);
    return;
  }
  RewriteStyleText(s, text);
}

void RewriteCssLink(PageScanner& s, std::string_view construct) {
  static const char* const kList[] = {pattern::kCssUrl, pattern::kCssImport, pattern::kCssQuoted};
  for (const char* p : kList)
    if (RewriteLinkInTag(s, construct, p, kLinkResource)) return;
  Write(s, construct);
}

void RewriteScriptStrings(PageScanner& s, std::string_view text) {
  if (s.settings.ignoreJavaScript && !s.reading) {
    Write(s, text);
    return;
  }
  size_t plain = 0;
  size_t i = 0;
  while (i < text.size()) {
    if (CharLen(text, i) == 2) {
      i += 2;
      continue;
    }
    const char c = text[i];
    if (c != '"' && c != '\'') {
      ++i;
      continue;
    }
    bool closed = false;
    size_t k = ScanString(text, i, true, closed);
    if (!closed) {
      i = k;
      continue;
    }
    std::string_view inner = text.substr(i + 1, k - i - 1);
    if (IsResourceString(inner)) {
      Write(s, text.substr(plain, i + 1 - plain));  // through the opening quote
      EmitLink(s, inner, kLinkPage);
      plain = k;  // the closing quote stays
    }
    i = k + 1;
  }
  Write(s, text.substr(plain));
}

int RewriteStylesheetFile(PageScanner& s, std::string_view body, int mode) {
  ScanJob& job = Job(s);
  if (ContainsI(body, "<html")) {
    WriteLog("Not css, this is html file.");
    job.message = "Not css, this is html file.";
    return 0;
  }
  const std::string folder = os::DirectoryOf(job.localPath);
  if (folder.empty() || !os::DirectoryExists(folder)) {
    WriteLog("[Error] Can't create file: Folder not found.");
    job.message = "Can't create file: Folder not found.";
    return 0;
  }
  s.out.clear();
  s.out.reserve(body.size() + body.size() / 8);
  RewriteCss(s, body, mode == ModeScript ? ModeScript : ModeStyle);
  // Into the saved file itself where it can (see os::RewriteFileInPlace).
  if (!os::RewriteFileInPlace(job.localPath, s.out) &&
      !os::WriteFileAtomic(job.localPath, s.out, os::Access::Keep, os::Durability::Replaceable)) {
    WriteLog("[Error] Can't create file: %s", job.localPath.c_str());
    job.message = "Can't create file: " + job.localPath;
    return 0;
  }
  return 1;
}

}  // namespace zentu
