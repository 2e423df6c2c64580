#include "intake/nativehost.h"

#include <cstring>
#include <map>
#include <optional>

#include "os/cp932.h"
#include "os/log.h"
#include "os/text.h"
#include "pagelib/codedetect.h"

namespace zentu {
namespace {

// A JSON value as far as the messages need one: strings, numbers, and the
// rest only recognised so that a whole object can be checked.
struct Json {
  enum Kind { String, Number, Other } kind = Other;
  std::string text;  // UTF-8
  double number = 0;
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view s) : s_(s) {}

  // One object of scalar members; nullopt when the text is not exactly that.
  std::optional<std::map<std::string, Json>> Object() {
    std::map<std::string, Json> out;
    Blank();
    if (!Eat('{')) return std::nullopt;
    Blank();
    if (!Eat('}')) {
      for (;;) {
        Blank();
        std::optional<std::string> key = String();
        Blank();
        if (!key || !Eat(':')) return std::nullopt;
        Blank();
        std::optional<Json> value = Value();
        if (!value || out.count(*key)) return std::nullopt;  // a repeated key is ambiguous
        out.emplace(std::move(*key), std::move(*value));
        Blank();
        if (Eat('}')) break;
        if (!Eat(',')) return std::nullopt;
      }
    }
    Blank();
    if (at_ != s_.size()) return std::nullopt;
    return out;
  }

 private:
  bool Eat(char c) {
    if (at_ < s_.size() && s_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  void Blank() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\r' || s_[at_] == '\n')) ++at_;
  }
  bool Word(std::string_view w) {
    if (s_.substr(at_, w.size()) != w) return false;
    at_ += w.size();
    return true;
  }
  std::optional<Json> Value() {
    Json v;
    if (at_ >= s_.size()) return std::nullopt;
    char c = s_[at_];
    if (c == '"') {
      std::optional<std::string> text = String();
      if (!text) return std::nullopt;
      v.kind = Json::String;
      v.text = std::move(*text);
      return v;
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      size_t start = at_;
      if (c == '-') ++at_;
      while (at_ < s_.size() && ((s_[at_] >= '0' && s_[at_] <= '9') || s_[at_] == '.' || s_[at_] == 'e' ||
                                 s_[at_] == 'E' || s_[at_] == '+' || s_[at_] == '-'))
        ++at_;
      std::string digits(s_.substr(start, at_ - start));
      char* end = nullptr;
      v.number = std::strtod(digits.c_str(), &end);
      if (!end || *end != '\0' || digits == "-") return std::nullopt;
      v.kind = Json::Number;
      return v;
    }
    if (Word("true") || Word("false") || Word("null")) return v;
    return std::nullopt;  // nested values are not part of any message
  }
  std::optional<uint32_t> Hex4() {
    if (at_ + 4 > s_.size()) return std::nullopt;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      char c = s_[at_++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<uint32_t>(c - 'A' + 10);
      else return std::nullopt;
    }
    return v;
  }
  // A string with its escapes resolved; raw bytes must be valid UTF-8.
  std::optional<std::string> String() {
    if (!Eat('"')) return std::nullopt;
    std::string out;
    while (at_ < s_.size()) {
      unsigned char c = static_cast<unsigned char>(s_[at_]);
      if (c == '"') {
        ++at_;
        return out;
      }
      if (c < 0x20) return std::nullopt;
      if (c == '\\') {
        if (++at_ >= s_.size()) return std::nullopt;
        char e = s_[at_++];
        switch (e) {
          case '"': out += '"'; break;
          case '\\': out += '\\'; break;
          case '/': out += '/'; break;
          case 'b': out += '\b'; break;
          case 'f': out += '\f'; break;
          case 'n': out += '\n'; break;
          case 'r': out += '\r'; break;
          case 't': out += '\t'; break;
          case 'u': {
            std::optional<uint32_t> cp = Hex4();
            if (!cp) return std::nullopt;
            if (*cp >= 0xD800 && *cp <= 0xDBFF) {  // a pair's high half: its low half must follow
              if (!Word("\\u")) return std::nullopt;
              std::optional<uint32_t> low = Hex4();
              if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
              *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
            } else if (*cp >= 0xDC00 && *cp <= 0xDFFF) {
              return std::nullopt;
            }
            if (!os::AppendUtf8(out, static_cast<char32_t>(*cp))) return std::nullopt;
            break;
          }
          default: return std::nullopt;
        }
        continue;
      }
      size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
      if (n == 0 || at_ + n > s_.size()) return std::nullopt;
      for (size_t i = 1; i < n; ++i)
        if ((static_cast<unsigned char>(s_[at_ + i]) & 0xC0) != 0x80) return std::nullopt;
      if (n == 2 && c < 0xC2) return std::nullopt;  // overlong
      out.append(s_.substr(at_, n));
      at_ += n;
    }
    return std::nullopt;
  }

  std::string_view s_;
  size_t at_ = 0;
};

void Refuse(const char* why) { WriteLog("> native host: message refused (%s)", why); }

bool ReadExactly(const std::function<long(char*, size_t)>& read, char* buffer, size_t size, bool& any) {
  size_t got = 0;
  while (got < size) {
    long n = read(buffer + got, size - got);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
    any = true;
  }
  return true;
}

// The commands the extension sends, with the code each travels with.
struct Allowed {
  std::string_view marker;
  uint32_t code;
};
constexpr Allowed kAllowed[] = {
    {kMarkerNoCache, kCommandNoCache},
    {kMarkerUseCache, kCommandOther},
    {kMarkerScrapHtml, kCommandOther},
    {kMarkerAddText, kCommandOther},
    {kMarkerAddItemOnly, kCommandOther},
    {kMarkerDownloadOnly, kCommandOther},
    {kMarkerSiteDownload, kCommandOther},
};

}  // namespace

NativeRead ReadNativeMessage(const std::function<long(char*, size_t)>& read, std::string& json) {
  json.clear();
  uint32_t length = 0;
  char header[4];
  bool any = false;
  if (!ReadExactly(read, header, 4, any)) {
    if (!any) return NativeRead::End;
    Refuse("truncated length");
    return NativeRead::Refused;
  }
  std::memcpy(&length, header, 4);
  if (length > kNativeMessageMaxBytes) {
    WriteLog("> native host: message refused (%u bytes, more than %zu)", length, kNativeMessageMaxBytes);
    return NativeRead::Refused;
  }
  json.resize(length);
  if (!ReadExactly(read, json.data(), length, any)) {
    Refuse("truncated message");
    json.clear();
    return NativeRead::Refused;
  }
  return NativeRead::Message;
}

std::string NativeMessageFrame(std::string_view json) {
  uint32_t length = static_cast<uint32_t>(json.size());
  std::string out(4, '\0');
  std::memcpy(out.data(), &length, 4);
  out.append(json);
  return out;
}

bool ParseNativeMessage(std::string_view json, ChannelCommand& out) {
  std::optional<std::map<std::string, Json>> object = JsonReader(json).Object();
  if (!object) {
    Refuse("not valid JSON");
    return false;
  }
  auto text = object->find("text");
  auto code = object->find("code");
  if (text == object->end() || text->second.kind != Json::String || code == object->end() ||
      code->second.kind != Json::Number) {
    Refuse("no text or code");
    return false;
  }
  const std::string& utf8 = text->second.text;
  if (utf8.find('\0') != std::string::npos) {
    Refuse("NUL in the text");
    return false;
  }
  const Allowed* command = nullptr;
  for (const Allowed& a : kAllowed)
    if (utf8.compare(0, a.marker.size(), a.marker) == 0) command = &a;
  if (!command || code->second.number != static_cast<double>(command->code)) {
    Refuse("not a command of the extension");
    return false;
  }
  // A fragment's markup keeps characters outside Shift_JIS as references;
  // anything else (URLs, titles) must convert exactly.
  std::string sjis;
  if (command->marker == kMarkerAddText) {
    size_t body = utf8.find('\n', command->marker.size());
    body = body == std::string::npos ? utf8.size() : body + 1;
    bool lossy = false;
    sjis = os::Utf8ToSjis(std::string_view(utf8).substr(0, body), &lossy);
    if (lossy) {
      Refuse("not valid Shift_JIS");
      return false;
    }
    sjis += ConvertToSjis(std::string_view(utf8).substr(body), kCodeUtf8, Unmapped::Reference);
  } else {
    bool lossy = false;
    sjis = os::Utf8ToSjis(utf8, &lossy);
    if (lossy) {
      Refuse("not valid Shift_JIS");
      return false;
    }
  }
  out.code = command->code;
  out.text = std::move(sjis);
  return true;
}

bool IsNativeHostCaller(const std::vector<std::string>& args, const std::vector<std::string>& allowedIds) {
  // Chromium: the origin; Firefox: the manifest path, then the extension's id.
  std::string id;
  for (const std::string& a : args) {
    if (os::StartsWithNoCase(a, "chrome-extension://")) {
      id = a.substr(19);
      while (!id.empty() && id.back() == '/') id.pop_back();
    }
  }
  if (id.empty() && args.size() >= 2 && args[1].find('@') != std::string::npos) id = args[1];
  if (id.empty()) {
    WriteLog("> native host: not started by a browser");
    return false;
  }
  if (allowedIds.empty()) return true;
  for (const std::string& allowed : allowedIds)
    if (allowed == id) return true;
  WriteLog("> native host: extension %s is not Zentu's", os::CutSjis(id, 128).c_str());
  return false;
}

int RunNativeHost(const std::function<long(char*, size_t)>& read, const std::function<void(std::string_view)>& write,
                  const std::function<bool(const ChannelCommand&)>& forward) {
  int forwarded = 0;
  std::string json;
  for (;;) {
    NativeRead r = ReadNativeMessage(read, json);
    if (r != NativeRead::Message) break;  // a refused frame leaves the stream out of step
    ChannelCommand command;
    bool ok = ParseNativeMessage(json, command) && forward(command);
    forwarded += ok;
    write(NativeMessageFrame(ok ? R"({"ok":true})" : R"({"ok":false})"));
  }
  return forwarded;
}

}  // namespace zentu
