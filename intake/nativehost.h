// The messages of the browser extension as the native-messaging host reads
// them. The browser starts the host and writes to its standard input; each
// message is a 4-byte length in the machine's byte order and that many bytes
// of UTF-8 JSON, one object: {"code": 6004, "text": "<!--ScrapHTML-->\n..."}.
// The text is a channel text; the host forwards it to the running Zentu.
// Everything here is untrusted: a message that is too long, cut short, not
// JSON, not text the channel can carry, or not a command the extension sends
// is refused with a log line, and nothing else happens.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "intake/channel.h"

namespace zentu {

// Longest message the host reads (the page's selection with its markup).
inline constexpr size_t kNativeMessageMaxBytes = 4u << 20;

enum class NativeRead { Message, End, Refused };
// Reads one framed message through `read` (as read(2): bytes read, 0 at the
// end, negative on failure). Refused: too long or cut short; the stream is
// then out of step and the host stops.
NativeRead ReadNativeMessage(const std::function<long(char* buffer, size_t size)>& read, std::string& json);
// A framed reply for the browser.
std::string NativeMessageFrame(std::string_view json);

// The channel command a message stands for; false (with a log line) when it is refused.
bool ParseNativeMessage(std::string_view json, ChannelCommand& out);

// True when the host was started by a browser for Zentu's extension: Chromium
// passes the caller's origin ("chrome-extension://<id>/"), Firefox the
// manifest's path and the extension's id. `allowedIds` empty: any extension
// the manifest lets through (the browser checks the manifest's list).
bool IsNativeHostCaller(const std::vector<std::string>& args, const std::vector<std::string>& allowedIds);

// Reads messages until the end of input, hands each accepted command to
// `forward` and answers {"ok":true} or {"ok":false}. Returns the count forwarded.
int RunNativeHost(const std::function<long(char*, size_t)>& read, const std::function<void(std::string_view)>& write,
                  const std::function<bool(const ChannelCommand&)>& forward);

}  // namespace zentu
