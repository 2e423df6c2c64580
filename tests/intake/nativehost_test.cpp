// The native-messaging host's side of the extension's messages: framing,
// the JSON object, what may be forwarded, and who may start the host.
#include "intake/nativehost.h"
#include "intake/hostmanifest.h"

#include <gtest/gtest.h>

#include <cstring>

#include "os/cp932.h"
#include "os/file.h"
#include "os/path.h"
#include "os/log.h"
#include "tests/support/testhome.h"

namespace zentu::testing {
namespace {

using os::SJ;

// The browser's side of the pipe: everything written up front, read in
// pieces of at most `chunk` bytes.
struct Pipe {
  std::string bytes;
  size_t at = 0;
  size_t chunk = 7;
  long Read(char* buffer, size_t size) {
    size_t n = std::min({size, chunk, bytes.size() - at});
    std::memcpy(buffer, bytes.data() + at, n);
    at += n;
    return static_cast<long>(n);
  }
};

std::string Frame(const std::string& json) { return NativeMessageFrame(json); }

TEST(NativeHost, AcceptedMessagesBecomeChannelTextsInShiftJis) {
  struct Case {
    const char* json;
    uint32_t code;
    std::string text;
  };
  const Case cases[] = {
      {R"({"code":6003,"text":"<!--NoCache-->\nhttp://example.com/a"})", kCommandNoCache,
       "<!--NoCache-->\nhttp://example.com/a"},
      {R"({"text":"<!--ScrapHTML-->\nhttp://example.com/\u65e5","code":6004})", kCommandOther,
       "<!--ScrapHTML-->\nhttp://example.com/" + SJ("日")},
      // Markup keeps what Shift_JIS cannot hold as a reference.
      {R"({"code":6004,"text":"<!--Zentu AddText-->\r\nURL=http://e.example/\r\n<p>\u3042\ud83d\ude00</p>"})",
       kCommandOther, "<!--Zentu AddText-->\r\nURL=http://e.example/\r\n<p>" + SJ("あ") + "&#128512;</p>"},
  };
  for (const Case& c : cases) {
    ChannelCommand command;
    ASSERT_TRUE(ParseNativeMessage(c.json, command)) << c.json;
    EXPECT_EQ(command.code, c.code) << c.json;
    EXPECT_EQ(command.text, c.text) << c.json;
  }
}

TEST(NativeHost, BadMessagesAreRefusedWithALogLine) {
  const std::pair<std::string, const char*> cases[] = {
      {R"({"code":6004,"text":"<!--ScrapHTML-->\nhttp://x/")", "not valid JSON"},  // cut short
      {R"({"code":6004,"text":"<!--ScrapHTML-->\nhttp://x/"} trailing)", "not valid JSON"},
      {"{\"code\":6004,\"text\":\"<!--ScrapHTML-->\\nhttp://x/\xff\"}", "not valid JSON"},  // not UTF-8
      {R"({"code":6004,"text":"<!--ScrapHTML-->\nhttp://x/\ud800"})", "not valid JSON"},   // half a pair
      {R"({"code":6004,"text":"a","text":"b"})", "not valid JSON"},
      {R"({"code":6004,"text":["<!--ScrapHTML-->"]})", "not valid JSON"},
      {R"({"code":6004})", "no text or code"},
      {R"({"code":6004,"text":"<!--ScrapHTML-->\nhttp://x/\u0000"})", "NUL in the text"},
      {R"({"code":6004,"text":"<!--Zentu OpenURL-->\r\nURL=file:///etc/passwd"})", "not a command of the extension"},
      {R"({"code":6004,"text":"<!--NoCache-->\nhttp://x/"})", "not a command of the extension"},  // wrong code
      {R"({"code":6004,"text":"<!--ScrapHTML-->\nhttp://x/\ud83d\ude00"})", "not valid Shift_JIS"},
  };
  for (const auto& [json, why] : cases) {
    log::Clear();
    ChannelCommand command;
    EXPECT_FALSE(ParseNativeMessage(json, command)) << json;
    EXPECT_TRUE(LogContains(std::string("> native host: message refused (") + why + ")")) << json;
    EXPECT_EQ(command.code, 0u);
  }
}

TEST(NativeHost, FramesAreReadWholeAndHugeOrCutFramesStopTheHost) {
  const std::string good = R"({"code":6004,"text":"<!--ScrapHTML-->\nhttp://example.com/"})";
  Pipe pipe{Frame(good) + Frame("not json") + Frame(good)};
  std::vector<std::string> forwarded, replies;
  auto run = [&](Pipe& p) {
    return RunNativeHost([&](char* b, size_t n) { return p.Read(b, n); },
                         [&](std::string_view r) { replies.emplace_back(r.substr(4)); },
                         [&](const ChannelCommand& c) {
                           forwarded.push_back(c.text);
                           return true;
                         });
  };
  EXPECT_EQ(run(pipe), 2);
  EXPECT_EQ(replies, (std::vector<std::string>{R"({"ok":true})", R"({"ok":false})", R"({"ok":true})"}));

  // A length beyond the limit: nothing read after it, nothing forwarded.
  std::string huge(4, '\0');
  uint32_t length = static_cast<uint32_t>(kNativeMessageMaxBytes + 1);
  std::memcpy(huge.data(), &length, 4);
  Pipe big{huge + good};
  forwarded.clear();
  log::Clear();
  EXPECT_EQ(run(big), 0);
  EXPECT_TRUE(LogContains("more than"));
  EXPECT_EQ(big.at, 4u);

  Pipe cut{Frame(good).substr(0, 20)};
  log::Clear();
  EXPECT_EQ(run(cut), 0);
  EXPECT_TRUE(LogContains("> native host: message refused (truncated message)"));
  Pipe shortLength{std::string("\x05\x00", 2)};
  EXPECT_EQ(run(shortLength), 0);
  EXPECT_TRUE(LogContains("truncated length"));
  EXPECT_TRUE(forwarded.empty());
}

TEST(NativeHost, OnlyABrowserStartingItForTheExtensionIsAccepted) {
  const std::vector<std::string> ids = {"abcdefghijklmnop", "zentu@example.org"};
  const std::pair<std::vector<std::string>, bool> cases[] = {
      {{"zentu", "--native-host", "chrome-extension://abcdefghijklmnop/"}, true},
      {{"zentu", "--native-host", "chrome-extension://someoneelse/"}, false},
      {{"/path/zentu.json", "zentu@example.org"}, true},
      {{"zentu", "--native-host"}, false},  // started by hand, not by a browser
  };
  for (const auto& [args, ok] : cases) EXPECT_EQ(IsNativeHostCaller(args, ids), ok) << args.back();
}

class HostManifestTest : public TempHome {};

TEST_F(HostManifestTest, RegistrationWritesOneManifestPerBrowserAndRemovesThem) {
  HostManifestPlaces places = UserHostManifestPlaces(Path("home"), Path("home\\.config"));
  ASSERT_EQ(places.chromium.size(), 2u);
  const std::string program = "/opt/zentu/bin/zen\"tu";
  EXPECT_EQ(RegisterNativeHost(places, program, {"abcdefghijklmnop"}, true), 3);
  std::string chromium, firefox;
  ASSERT_TRUE(os::ReadWholeFile(os::JoinPath(places.chromium[0], "zentu.host.json"), chromium));
  ASSERT_TRUE(os::ReadWholeFile(os::JoinPath(places.firefox[0], "zentu.host.json"), firefox));
  EXPECT_NE(chromium.find(R"("path": "/opt/zentu/bin/zen\"tu")"), std::string::npos) << chromium;
  EXPECT_NE(chromium.find(R"("allowed_origins": ["chrome-extension://abcdefghijklmnop/"])"), std::string::npos);
  EXPECT_NE(firefox.find(R"("allowed_extensions": ["zentu@zentu.invalid"])"), std::string::npos) << firefox;
  EXPECT_NE(firefox.find(R"("name": "zentu.host")"), std::string::npos);
  EXPECT_EQ(RegisterNativeHost(places, program, {}, false), 3);
  EXPECT_FALSE(os::FileExists(os::JoinPath(places.firefox[0], "zentu.host.json")));
  EXPECT_EQ(RegisterNativeHost(places, program, {}, false), 0);
}

}  // namespace
}  // namespace zentu::testing

namespace zentu::testing {
namespace {

// Random damage to real messages (bytes flipped, cut, duplicated, lengths
// changed): the host never crashes, and whatever it forwards is a command
// of the extension, in Shift_JIS the channel can carry.
TEST(NativeHost, FuzzDamagedStreamsForwardOnlyExtensionCommands) {
  const std::string good[] = {
      R"({"code":6004,"text":"<!--Zentu AddText-->\r\nURL=http://e.example/\r\n<p>\u3042</p>"})",
      R"({"code":6003,"text":"<!--NoCache-->\nhttp://example.com/a\nhttp://example.com/b"})",
      R"({"text":"<!--Zentu SiteDownload-->\nURL=http://x/\nTITLE=\u65e5\u672c","code":6004})",
  };
  uint32_t seed = 12345;
  auto next = [&] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) & 0xFFFFFF;
  };
  for (int round = 0; round < 3000; ++round) {
    std::string stream;
    for (int m = 0; m < 3; ++m) {
      std::string frame = NativeMessageFrame(good[next() % 3]);
      const int damage = static_cast<int>(next() % 4);
      for (int d = 0; d < damage; ++d) {
        const size_t at = next() % frame.size();
        switch (next() % 4) {
          case 0: frame[at] = static_cast<char>(next() & 0xFF); break;
          case 1: frame.erase(at, 1 + next() % 8); break;
          case 2: frame.insert(at, frame.substr(at, 1 + next() % 6)); break;
          default: frame.resize(at); break;
        }
        if (frame.empty()) break;
      }
      stream += frame;
    }
    Pipe pipe{stream};
    pipe.chunk = 1 + next() % 64;
    RunNativeHost([&](char* b, size_t n) { return pipe.Read(b, n); }, [](std::string_view) {},
                  [&](const ChannelCommand& c) {
                    EXPECT_TRUE(c.code == kCommandOther || c.code == kCommandNoCache);
                    EXPECT_EQ(c.text.find('\0'), std::string::npos);
                    EXPECT_TRUE(c.text.rfind("<!--", 0) == 0) << c.text;
                    EXPECT_EQ(c.text.find("<!--Zentu OpenURL-->"), std::string::npos);
                    return true;
                  });
  }
}

}  // namespace
}  // namespace zentu::testing
