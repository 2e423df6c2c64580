#include "intake/nativehost.h"

#include <cstring>

#include "os/cp932.h"
#include "os/json.h"
#include "os/log.h"
#include "os/text.h"
#include "pagelib/codedetect.h"

namespace zentu {
namespace {

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
  os::Json message;
  bool flat = os::ParseJson(json, message, os::JsonStrictness::Strict) && message.type == os::Json::Type::Object;
  // A message is one object of plain members; nothing the extension sends nests.
  for (const auto& member : message.members)
    flat = flat && member.second.type != os::Json::Type::Array && member.second.type != os::Json::Type::Object;
  if (!flat) {
    Refuse("not valid JSON");
    return false;
  }
  const os::Json& text = message["text"];
  const os::Json& code = message["code"];
  if (text.type != os::Json::Type::String || code.type != os::Json::Type::Number) {
    Refuse("no text or code");
    return false;
  }
  const std::string& utf8 = text.string;
  if (utf8.find('\0') != std::string::npos) {
    Refuse("NUL in the text");
    return false;
  }
  const Allowed* command = nullptr;
  for (const Allowed& a : kAllowed)
    if (utf8.compare(0, a.marker.size(), a.marker) == 0) command = &a;
  if (!command || code.number != static_cast<double>(command->code)) {
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
