// The editor's text files: CKFile is the buffered file, CKSjisFile reads any of
// the ten encodings (editor/encodings.h) one Shift_JIS character at a time and
// writes Shift_JIS text back in a chosen one. ReadTextFile and WriteTextFile are
// the whole-file forms the editor model uses.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "editor/encodings.h"
#include "editor/keditline.h"
#include "os/file.h"

namespace zentu {

class CKFile {
 public:
  static constexpr size_t kBufferSize = 65535;

  CKFile();
  // An open writer that was never closed is abandoned: the old file stays.
  virtual ~CKFile();
  CKFile(const CKFile&) = delete;
  CKFile& operator=(const CKFile&) = delete;

  // Reading: the file must exist, and the buffer is filled at once. Writing:
  // with `create` the file is made anew or replaced, without it the file must
  // exist. A written file goes to a temporary file beside it until Close, so
  // a crash never leaves half of it.
  [[nodiscard]] bool Open(std::string_view path, bool forReading, bool create);
  size_t Read(void* buffer, size_t n);
  [[nodiscard]] bool Write(const void* bytes, size_t n);
  // Writing: writes the rest of the buffer and puts the file in place; false
  // when any write failed (the old file is then as it was).
  bool Close();
  bool IsOpen() const { return open_; }
  bool IsReading() const { return open_ && reading_; }
  // The size of the file open for reading, -1 when none is.
  int64_t FileSize() const { return IsReading() ? in_.Size() : -1; }

 protected:
  bool Rewind();
  // One byte, -1 at the end.
  int GetByte() {
    if (pos_ < count_) return buffer_[pos_++];
    return Refill() ? buffer_[pos_++] : -1;
  }
  // Gives back the byte GetByte just returned.
  void UngetByte() { --pos_; }
  void PutByte(uint8_t b) {
    if (count_ == kBufferSize) FlushBuffer();
    buffer_[count_++] = b;
  }
  // The unread part of the buffer, for scanning whole runs; Consume moves on.
  const uint8_t* Pending(size_t& n) const {
    n = count_ - pos_;
    return buffer_.get() + pos_;
  }
  void Consume(size_t n) { pos_ += n; }
  bool Refill();

 private:
  void FlushBuffer();
  os::File in_;
  os::AtomicFile out_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t count_ = 0, pos_ = 0;
  bool open_ = false, reading_ = false, failed_ = false;
};

// The line-end counts of a read file.
struct LineEndCounts {
  long crlf = 0, lf = 0, cr = 0;
};

class CKSjisFile : public CKFile {
 public:
  // -1 detects the encoding. Rewinds, clears the counters and the look-ahead
  // and returns the encoding in use.
  int BeginRead(int encoding);
  // The character's length (1 or 2) written to out, 0 at the end. Every kind
  // of line end comes back as LF.
  int ReadChar(char out[2]);
  // Reads from the position to the end of the file as lines (without their
  // line ends), appended to `lines`; the file has one line more than it has
  // line ends. The editor's form makes the model's lines directly.
  void ReadLines(std::vector<std::string>& lines);
  void ReadLines(std::vector<CKEditLine>& lines);
  // The line end that most lines of the read file had; CR LF on a tie or
  // when there was none.
  std::string_view DominantLineEnd() const;
  const LineEndCounts& LineEnds() const { return ends_; }
  // True when reading stopped before the end of the file at a sequence the
  // encoding cannot hold: saving what was read would cut the file short.
  bool Incomplete() const { return incomplete_; }
  int Encoding() const { return encoding_; }

  bool BeginWrite(int encoding);
  bool WriteText(const char* bytes, size_t n);
  bool WriteText(std::string_view text) { return WriteText(text.data(), text.size()); }
  bool EndWrite();

  // Guesses the encoding from the first 16384 bytes and rewinds.
  int DetectEncoding();

 private:
  enum Set : uint8_t { kAscii = 0, kRoman = 1, kKana = 2, kKanji = 3 };
  template <class Line>
  void ReadLinesInto(std::vector<Line>& lines);
  // Room for the lines of the whole file, judged by the buffer at hand.
  template <class Line>
  void ReserveLines(std::vector<Line>& lines);
  int ReadRaw(uint8_t out[2]);
  int ReadIso2022(uint8_t out[2]);
  int ReadUtf7(uint8_t out[2]);
  int ReadUtf8(uint8_t out[2]);
  void ReadEscape();
  void WriteJisOrEuc(const uint8_t* p, size_t n);
  void WriteUnit(char16_t u);
  void CloseUtf7Run(bool minus);
  void SwitchJis(Set set);

  int encoding_ = kEncSjis;
  uint8_t look_[2] = {};
  int lookLen_ = 0;
  LineEndCounts ends_;
  bool incomplete_ = false;
  // ISO 2022 designations and the sets invoked into GL and GR.
  Set g_[4] = {kAscii, kKanji, kKana, kAscii};
  int gl_ = 0, gr_ = 1;
  // UTF-7: inside a base64 run, and the bits not yet used.
  bool inBase64_ = false;
  uint32_t bits_ = 0;
  int bitCount_ = 0;
  Set jisMode_ = kAscii;
  bool writeFailed_ = false;
};

struct TextFileInfo {
  int encoding = kEncSjis;
  LineEndCounts lineEnds;
  std::string lineEnd = "\r\n";  // what a save writes between lines
  bool complete = true;          // false: reading stopped at an unreadable sequence
};

// Reads a whole file as Shift_JIS lines; `encoding` -1 detects it. Returns 1,
// or 0 when the file cannot be opened (lines and info are then untouched).
[[nodiscard]] int ReadTextFile(std::string_view path, std::vector<std::string>& lines, TextFileInfo& info,
                               int encoding = -1);
// Writes the lines in `encoding`, `lineEnd` between them and none after the
// last. Returns 1, or 0 when nothing was written (the old file is untouched).
// Opens a file into the editor: read with `encoding` (-1 detects it), then
// the editor cleared and the lines attached; `firstLine`, when given, comes
// before the file's first line (a note's title). Returns 1, or 0 when the
// file cannot be opened (the editor and info are then untouched). Nothing of
// the load can be undone; the modified flag is cleared.
class CKEdit;
[[nodiscard]] int ReadTextFileIntoEditor(std::string_view path, CKEdit& edit, TextFileInfo& info, int encoding = -1,
                                         const std::string* firstLine = nullptr);
[[nodiscard]] int WriteTextFile(std::string_view path, const std::vector<std::string>& lines, int encoding,
                                std::string_view lineEnd = "\r\n");

}  // namespace zentu
