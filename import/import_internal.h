// What the import files share: the pattern handle, reading a file as lines,
// the damage message and the checks on the target folder.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "import/import.h"
#include "pagelib/bregexp.h"

namespace zentu::importer {

// Imported files larger than this are not read (no bookmark file or list
// comes near it; reading one whole would only exhaust memory).
inline constexpr int64_t kMaxImportFile = 256ll << 20;
// Titles are cut to this many bytes (the tree file reads folder titles up to 512).
inline constexpr size_t kMaxTitle = 512;

// One pattern of the regular-expression service with its own handle.
class Pattern {
 public:
  explicit Pattern(const char* pattern) : pattern_(pattern) {}
  ~Pattern() { BRegfree(rx_); }
  Pattern(const Pattern&) = delete;
  Pattern& operator=(const Pattern&) = delete;

  // Matches inside [start, end); a bad pattern is logged ("regexp error: %s")
  // and counted in `report` and gives no match.
  bool Match(char* start, char* end, ImportReport& report);
  bool Match(std::string& text, ImportReport& report) { return Match(text.data(), text.data() + text.size(), report); }
  // Group i of the last match ("" when it did not take part).
  std::string_view Group(int i) const;
  // Where the whole last match ends.
  char* MatchEnd() const { return rx_ && rx_->nparens >= 0 ? rx_->endp[0] : nullptr; }
  char* MatchStart() const { return rx_ && rx_->nparens >= 0 ? rx_->startp[0] : nullptr; }

 private:
  const char* pattern_;
  BREGEXP* rx_ = nullptr;
};

// The lines of a text, without their line ends (CR LF, LF or a lone CR).
// The strings are copies the patterns may look at in place.
std::vector<std::string> SplitLines(std::string_view text);

// Reads a whole file of at most kMaxImportFile bytes; false when it cannot be
// read. Notes NUL bytes (`report.binary`).
bool ReadImportFile(const std::string& path, std::string& bytes, ImportReport& report);

// True when the node is in the collection now (tree lock held).
bool InCollection(const TreeNode* node);

// Tells the user what went wrong on the way, if anything did: one message
// box naming each kind of damage. Logs the counts in any case.
void TellDamage(const ImportReport& report, std::string_view what);

}  // namespace zentu::importer
