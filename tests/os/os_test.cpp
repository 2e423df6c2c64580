#include <unicode/ucnv.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "os/clock.h"
#include "os/cp932.h"
#include "os/file.h"
#include "os/home.h"
#include "os/log.h"
#include "os/path.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::SJ;
using testing::TempHome;

TEST(PathTest, ConvertsBothWaysAndStepsOverTrailBytes) {
  struct Row {
    const char* program;  // UTF-8 spelling; converted to Shift_JIS
    const char* native;
  } rows[] = {
      {"Z:\\home\\a\\x.html", "/home/a/x.html"},
      {"Z:\\", "/"},
      {"Z:\\表\\ソ能.html", "/表/ソ能.html"},
      {"Z:\\data\\表示\\ソース\\能力", "/data/表示/ソース/能力"},
      {"rel\\表", "rel/表"},
  };
  for (const auto& r : rows) {
    std::string program = SJ(r.program);
    auto native = os::ToNativePath(program);
    ASSERT_TRUE(native) << r.program;
    EXPECT_EQ(*native, r.native);
    EXPECT_EQ(os::FromNativePath(r.native), program) << r.native;
  }
  // 表 is 0x95 0x5C: its trail byte must not become a separator.
  EXPECT_EQ(SJ("表"), "\x95\x5C");
  EXPECT_EQ(os::DirectoryOf(SJ("Z:\\a\\表")), "Z:\\a");
  EXPECT_EQ(os::FileNameOf(SJ("Z:\\a\\表")), SJ("表"));
  EXPECT_EQ(os::JoinPath(SJ("Z:\\ソ"), "x"), SJ("Z:\\ソ\\x"));
  EXPECT_EQ(os::JoinPath("Z:\\a\\", "\\x"), "Z:\\a\\x");
}

TEST(PathTest, OtherDrivesAndBrokenNamesFailCleanly) {
  EXPECT_FALSE(os::ToNativePath("C:\\Windows"));
  EXPECT_FALSE(os::ToNativePath("E:\\data\\x"));
  EXPECT_FALSE(os::ToNativePath("\\\\server\\share"));
  EXPECT_FALSE(os::ToNativePath(""));
  EXPECT_FALSE(os::ToNativePath("Z:relative"));
  EXPECT_FALSE(os::ToNativePath(std::string("Z:\\a\0b", 6)));
  os::File f;
  EXPECT_FALSE(f.Open("C:\\x.txt", os::File::Mode::Write));
  EXPECT_FALSE(os::FileExists("D:\\x"));
  EXPECT_FALSE(os::CreateDirectories("Q:\\x\\y"));
  bool lossy = false;
  std::string p = os::FromNativePath("/tmp/\xF0\x9F\x98\x80.txt", &lossy);  // an emoji
  EXPECT_TRUE(lossy);
  EXPECT_EQ(p, "Z:\\tmp\\&#128512;.txt");
  EXPECT_EQ(os::NormalizeSettingPath("/srv/pages"), "Z:\\srv\\pages");
  EXPECT_EQ(os::NormalizeSettingPath("Data"), "Data");
}

// Native names code page 932 cannot hold keep a program form that leads back
// to the very same name.
TEST(PathTest, NamesOutsideCodePage932RoundTrip) {
  struct Row {
    const char* native;
    const char* program;
    bool lossy;
  } rows[] = {
      {"/d/caf\xC3\xA9.txt", "Z:\\d\\caf&#233;.txt", true},
      {"/d/\xE2\x98\x83", "Z:\\d\\&#9731;", true},
      {"/d/bad\xFF\xC3", "Z:\\d\\bad&#56575;&#56515;", true},
      {"/d/a&#233;", "Z:\\d\\a&#38;#233;", false},
      {"/d/a&b&#x", "Z:\\d\\a&b&#38;#x", false},
      {"/d/\xE6\x97\xA5", "Z:\\d\\\x93\xFA", false},
  };
  for (const Row& r : rows) {
    bool lossy = false;
    EXPECT_EQ(os::FromNativePath(r.native, &lossy), r.program) << r.native;
    EXPECT_EQ(lossy, r.lossy) << r.native;
    EXPECT_EQ(os::ToNativePath(r.program).value_or("?"), r.native) << r.native;
  }
  // A reference to a character Shift_JIS holds is plain text.
  EXPECT_EQ(os::ToNativePath("Z:\\d\\&#65;").value_or("?"), "/d/&#65;");
}

// Every code page 932 code, against ICU's independent windows-31j table.
TEST(Cp932Test, EveryCodeAgreesWithIcuTable) {
  UErrorCode err = U_ZERO_ERROR;
  UConverter* cnv = ucnv_open("windows-31j", &err);
  ASSERT_TRUE(U_SUCCESS(err));
  int compared = 0, mismatches = 0;
  auto check = [&](const char* bytes, int len, uint16_t code) {
    UChar out[4];
    UErrorCode e = U_ZERO_ERROR;
    ucnv_reset(cnv);
    ucnv_setToUCallBack(cnv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &e);
    int32_t n = ucnv_toUChars(cnv, out, 4, bytes, len, &e);
    char32_t ours = os::Cp932ToUnicode(code);
    if (U_FAILURE(e) || n != 1) return;  // unmapped in ICU: nothing to compare
    ++compared;
    if (ours != out[0]) {
      ++mismatches;
      ADD_FAILURE() << std::hex << "code " << code << " ours " << uint32_t(ours) << " icu " << uint32_t(out[0]);
    }
    if (ours != 0) {
      uint16_t back = os::UnicodeToCp932(ours);
      // Round trip holds except for duplicate codes (NEC/IBM rows), which map back to one preferred code.
      EXPECT_EQ(os::Cp932ToUnicode(back), ours) << std::hex << code;
    }
  };
  for (int lead = 0x81; lead <= 0xFC; ++lead) {
    if (!os::IsSjisLeadByte(static_cast<unsigned char>(lead))) continue;
    for (int trail = 0x40; trail <= 0xFC; ++trail) {
      if (!os::IsSjisTrailByte(static_cast<unsigned char>(trail))) continue;
      char b[2] = {static_cast<char>(lead), static_cast<char>(trail)};
      check(b, 2, static_cast<uint16_t>((lead << 8) | trail));
    }
  }
  for (int c = 0x20; c < 0x7F; ++c) {  // ICU swaps 0x7F with a control code; 932 does not
    char b[1] = {static_cast<char>(c)};
    check(b, 1, static_cast<uint16_t>(c));
  }
  for (int c = 0xA1; c <= 0xDF; ++c) {
    char b[1] = {static_cast<char>(c)};
    check(b, 1, static_cast<uint16_t>(c));
  }
  ucnv_close(cnv);
  EXPECT_GT(compared, 7000);
  EXPECT_EQ(mismatches, 0);
  // The characters where plain Shift_JIS tables differ from code page 932.
  EXPECT_EQ(os::Cp932ToUnicode(0x5C), U'\\');
  EXPECT_EQ(os::Cp932ToUnicode(0x7E), U'~');
  EXPECT_EQ(os::Cp932ToUnicode(0x8160), U'\uFF5E');
  EXPECT_EQ(os::Cp932ToUnicode(0x815F), U'\uFF3C');
  EXPECT_EQ(os::UnicodeToCp932(U'\u2252'), 0x81E0);  // NEC row 13 duplicate maps to JIS row 2
  EXPECT_EQ(os::Cp932ToUnicode(0x8740), U'\u2460');   // NEC special: circled 1
}

TEST(Cp932Test, StringsConvertAndMarkLoss) {
  std::string sjis = "\x95\x5C\x83\x5C\x94\x5C" "abc\xB1";  // 表ソ能abcｱ
  EXPECT_EQ(os::SjisToUtf8(sjis), "表ソ能abcｱ");
  EXPECT_EQ(os::Utf8ToSjis("表ソ能abcｱ"), sjis);
  EXPECT_EQ(os::Utf16ToSjis(os::SjisToUtf16(sjis)), sjis);
  bool lossy = false;
  EXPECT_EQ(os::Utf8ToSjis("a\xF0\x9F\x98\x80" "b", &lossy), "a?b");
  EXPECT_TRUE(lossy);
  lossy = false;
  std::string broken = "a\x81";  // lead byte at the end
  EXPECT_EQ(os::SjisToUtf8(broken, &lossy), "a・");
  EXPECT_TRUE(lossy);
  lossy = false;
  EXPECT_EQ(os::Utf8ToSjis("\xC3\x28", &lossy), "?(");  // invalid UTF-8
  EXPECT_TRUE(lossy);
}

class FileTest : public TempHome {};

TEST_F(FileTest, OperationsOverProgramPaths) {
  std::string dir = Path(SJ("表\\ソース"));
  ASSERT_TRUE(os::CreateDirectories(dir));
  EXPECT_TRUE(os::DirectoryExists(dir));
  EXPECT_TRUE(std::filesystem::is_directory(nativeHome + "/表/ソース"));
  std::string file = os::JoinPath(dir, SJ("能.txt"));
  ASSERT_TRUE(os::WriteFileAtomic(file, "one\ntwo"));
  EXPECT_TRUE(os::FileExists(file));
  EXPECT_EQ(os::GetFileSize(file), 7);
  EXPECT_EQ(ReadNative("表/ソース/能.txt"), "one\ntwo");
  ASSERT_TRUE(os::SetFileTime(file, 1000000000));
  std::time_t t = 0;
  ASSERT_TRUE(os::GetFileTime(file, t));
  EXPECT_EQ(t, 1000000000);
  std::vector<os::DirEntry> entries;
  ASSERT_TRUE(os::ListDirectory(dir, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, SJ("能.txt"));
  EXPECT_FALSE(entries[0].isDirectory);
  std::string moved = os::JoinPath(dir, "b.txt");
  ASSERT_TRUE(os::RenameFile(file, moved));
  EXPECT_FALSE(os::FileExists(file));
  ASSERT_TRUE(os::CopyFile(moved, file));
  std::string back;
  ASSERT_TRUE(os::ReadWholeFile(file, back));
  EXPECT_EQ(back, "one\ntwo");
  ASSERT_TRUE(os::DeleteFile(moved));
  EXPECT_FALSE(os::DeleteFile(moved));
  EXPECT_EQ(os::GetFileSize(moved), -1);
  // Names the system gives in UTF-8 come back as Shift_JIS.
  WriteNative("表/ソース/日本語.html", "x");
  ASSERT_TRUE(os::ListDirectory(dir, entries));
  bool found = false;
  for (auto& e : entries) found |= e.name == SJ("日本語.html");
  EXPECT_TRUE(found);
}

TEST_F(FileTest, TextLinesFollowTheLimitAndLineEnds) {
  std::string file = Path("lines.txt");
  WriteNative("lines.txt", "a\r\nb\n" + std::string(3000, 'x') + "\nlast");
  os::File f;
  ASSERT_TRUE(f.Open(file, os::File::Mode::Read));
  std::string line;
  ASSERT_TRUE(f.ReadLine(line));
  EXPECT_EQ(line, "a\n");
  ASSERT_TRUE(f.ReadLine(line));
  EXPECT_EQ(line, "b\n");
  ASSERT_TRUE(f.ReadLine(line));
  EXPECT_EQ(line.size(), 2047u);  // a long line comes in pieces, like fgets
  ASSERT_TRUE(f.ReadLine(line));
  EXPECT_EQ(line, std::string(953, 'x') + "\n");
  ASSERT_TRUE(f.ReadLine(line));
  EXPECT_EQ(line, "last");
  EXPECT_FALSE(f.ReadLine(line));
  f.Close();
  os::File w;
  ASSERT_TRUE(w.Open(file, os::File::Mode::Write));
  ASSERT_TRUE(w.WriteText("x\ny\n"));
  ASSERT_TRUE(w.Close());
  EXPECT_EQ(ReadNative("lines.txt"), "x\r\ny\r\n");
}

TEST_F(FileTest, AtomicWriteLeavesOldOrNewUnderEveryFault) {
  std::string file = Path("tree.html");
  ASSERT_TRUE(os::WriteFileAtomic(file, "old"));
  for (int at = 1; at <= 10; ++at) {
    os::SetFileFaultAt(at);
    bool ok = os::WriteFileAtomic(file, "new content");
    os::SetFileFaultAt(0);
    std::string now = ReadNative("tree.html");
    EXPECT_TRUE(now == "old" || now == "new content") << at;
    if (ok) {
      EXPECT_EQ(now, "new content");
    }
    ASSERT_TRUE(os::WriteFileAtomic(file, "old"));
  }
}

// A rewrite in place keeps the file (its inode and its attribute) and leaves
// exactly the new text, longer or shorter; a second name for the file, a
// symbolic link or a missing file are refused with nothing written.
TEST_F(FileTest, RewriteInPlaceKeepsTheFileAndRefusesOtherNames) {
  const std::string file = Path("page.html");
  const std::string native = nativeHome + "/page.html";
  ASSERT_TRUE(os::WriteFileAtomic(file, "0123456789"));
  ASSERT_TRUE(os::SetFileTimes(file, os::FileTimeFromUnix(1000000000)));
  struct stat before{}, after{};
  ASSERT_EQ(::stat(native.c_str(), &before), 0);
  ASSERT_TRUE(os::RewriteFileInPlace(file, "a longer text than before"));
  EXPECT_EQ(ReadNative("page.html"), "a longer text than before");
  ASSERT_TRUE(os::RewriteFileInPlace(file, "short"));
  EXPECT_EQ(ReadNative("page.html"), "short");
  ASSERT_EQ(::stat(native.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  uint64_t stamp = 0;
  EXPECT_TRUE(os::GetFileCreationTime(file, stamp));
  EXPECT_EQ(stamp, os::FileTimeFromUnix(1000000000));

  ASSERT_EQ(::link(native.c_str(), (nativeHome + "/other.html").c_str()), 0);
  EXPECT_FALSE(os::RewriteFileInPlace(file, "changed"));
  EXPECT_EQ(ReadNative("other.html"), "short");
  ASSERT_EQ(::symlink(native.c_str(), (nativeHome + "/link.html").c_str()), 0);
  EXPECT_FALSE(os::RewriteFileInPlace(Path("link.html"), "changed"));
  EXPECT_FALSE(os::RewriteFileInPlace(Path("missing.html"), "changed"));
  EXPECT_FALSE(os::PathExists(Path("missing.html")));
  EXPECT_EQ(ReadNative("page.html"), "short");
}

// What Zentu makes is the user's alone; a rewrite keeps a mode the user set,
// and a private file never keeps more than 0600.
TEST_F(FileTest, FilesAndFoldersAreMadeForTheUserAlone) {
  namespace fs = std::filesystem;
  auto mode = [&](const std::string& native) {
    return static_cast<int>(fs::status(nativeHome + "/" + native).permissions() & fs::perms::mask);
  };
  ASSERT_TRUE(os::CreateDirectories(Path("a\\b")));
  EXPECT_EQ(mode("a"), 0700);
  EXPECT_EQ(mode("a/b"), 0700);
  ASSERT_TRUE(os::WriteFileAtomic(Path("a\\new.txt"), "x"));
  EXPECT_EQ(mode("a/new.txt"), 0600);
  os::File f;
  ASSERT_TRUE(f.Open(Path("a\\plain.txt"), os::File::Mode::Write));
  f.Close();
  EXPECT_EQ(mode("a/plain.txt"), 0600);

  WriteNative("a/kept.txt", "x");
  ::chmod((nativeHome + "/a/kept.txt").c_str(), 0640);
  ASSERT_TRUE(os::WriteFileAtomic(Path("a\\kept.txt"), "y"));
  EXPECT_EQ(mode("a/kept.txt"), 0640);
  ::chmod((nativeHome + "/a/kept.txt").c_str(), 0400);
  ASSERT_TRUE(os::WriteCrLfTextFile(Path("a\\kept.txt"), "z\n"));
  EXPECT_EQ(mode("a/kept.txt"), 0400);

  WriteNative("password.dat", "x");
  ::chmod((nativeHome + "/password.dat").c_str(), 0644);
  ASSERT_TRUE(os::WriteCrLfTextFile(Path("password.dat"), "secret\n", os::Access::Private));
  EXPECT_EQ(mode("password.dat"), 0600);

  ::chmod(nativeHome.c_str(), 0755);
  ASSERT_TRUE(os::EnsureZentuHome());
  EXPECT_EQ(static_cast<int>(fs::status(nativeHome).permissions() & fs::perms::mask), 0700);
}

// Links and dot segments between a root and the file to be written.
TEST_F(FileTest, HostilePlacesBelowARootAreRefused) {
  namespace fs = std::filesystem;
  const std::string root = Path("Data");
  const std::string outside = nativeHome + "/outside";
  fs::create_directories(outside);
  fs::create_directories(nativeHome + "/Data/host");
  fs::create_directory_symlink(outside, nativeHome + "/Data/host/sub");
  { std::ofstream(outside + "/victim") << "keep"; }
  fs::create_symlink(outside + "/victim", nativeHome + "/Data/host/file.html");
  // The root itself may be a link the user made.
  fs::create_directory_symlink(nativeHome + "/Data", nativeHome + "/Linked");

  const struct {
    std::string path;
    os::BelowStatus want;
  } rows[] = {
      {root + "\\host\\new\\deeper\\a.html", os::BelowStatus::Ok},
      {root + "\\host\\sub\\a.html", os::BelowStatus::Link},
      {root + "\\host\\sub\\x\\a.html", os::BelowStatus::Link},
      {root + "\\host\\..\\..\\a.html", os::BelowStatus::Outside},
      {root + "\\host\\.\\a.html", os::BelowStatus::Outside},
      {Path("elsewhere\\a.html"), os::BelowStatus::Outside},
      {Path("Database\\a.html"), os::BelowStatus::Outside},
      {root, os::BelowStatus::Outside},
      {root + "\\host\\file.html", os::BelowStatus::Ok},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.path);
    EXPECT_EQ(os::PrepareFileBelow(root, r.path), r.want);
  }
  EXPECT_TRUE(fs::is_directory(nativeHome + "/Data/host/new/deeper"));
  // The file link was taken away, its target left alone.
  EXPECT_FALSE(fs::exists(fs::symlink_status(nativeHome + "/Data/host/file.html")));
  EXPECT_EQ(ReadNative("outside/victim"), "keep");
  EXPECT_EQ(os::PrepareFileBelow(Path("Linked"), Path("Linked\\host\\b.html")), os::BelowStatus::Ok);
  EXPECT_EQ(os::PrepareFolderBelow(root, root), os::BelowStatus::Ok);
  EXPECT_EQ(os::PrepareFolderBelow(root, root + "\\host\\sub"), os::BelowStatus::Link);
  // A write never follows a link in the file's own place.
  fs::create_symlink(outside + "/victim", nativeHome + "/Data/host/again.html");
  os::File w;
  EXPECT_FALSE(w.Open(root + "\\host\\again.html", os::File::Mode::Write));
  EXPECT_EQ(ReadNative("outside/victim"), "keep");
}

class HomeTest : public TempHome {};

TEST_F(HomeTest, HomeComesFromEnvironmentAndIsCreated) {
  std::string sub = nativeHome + "/nested/home";
  ::setenv("ZENTU_HOME", sub.c_str(), 1);
  os::ResetZentuHome();
  EXPECT_EQ(os::ZentuHome(), os::FromNativePath(sub));
  ASSERT_TRUE(os::EnsureZentuHome());
  EXPECT_TRUE(std::filesystem::is_directory(sub));
  ::setenv("ZENTU_HOME", nativeHome.c_str(), 1);
  os::ResetZentuHome();
}

class LogTest : public TempHome {};

TEST_F(LogTest, LinesGoToListAndToFileOnlyWhenDebugging) {
  log::SetLogFile(Path("zentu.log"));
  WriteLog("# step %d", 1);
  WriteLog(nullptr);
  WriteLog("%s", "");  // an empty line is still a line
  EXPECT_FALSE(std::filesystem::exists(nativeHome + "/zentu.log"));
  log::SetDebugFlag(true);
  WriteLog("> result %s", "ok");
  WriteLogVerbose("verbose");
  log::SetDebugFlag(false);
  WriteLogVerbose("hidden");
  EXPECT_EQ(ReadNative("zentu.log"), "> result ok\r\nverbose\r\n");
  auto lines = log::Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "# step 1");
  WriteLogProgress(0, "10%%");
  WriteLogProgress(1, "20%%");
  EXPECT_EQ(log::Lines().back(), "20%");
  EXPECT_EQ(log::Lines().size(), 5u);
}

// Short lines are formatted on the stack, longer ones at their size: both
// must come out whole, and only what passes the line limit is cut.
TEST_F(LogTest, LinesOfAnyLengthUpToTheLimit) {
  for (size_t size : {size_t{511}, size_t{512}, size_t{513}, size_t{4000}, size_t{65535}, size_t{70000}}) {
    const std::string text(size, 'x');
    WriteLog("[%s]", text.c_str());
    const std::string line = log::Lines().back();
    const std::string whole = "[" + text + "]";
    EXPECT_EQ(line, whole.substr(0, 65535)) << size;
  }
}

TEST_F(LogTest, ManyThreadsNeverInterleave) {
  std::atomic<int> seen{0};
  int id = log::AddObserver([&](const std::string&, int) { ++seen; });
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 500; ++i) WriteLog("thread %d line %d", t, i);
    });
  for (auto& th : threads) th.join();
  log::RemoveObserver(id);
  auto lines = log::Lines();
  EXPECT_EQ(lines.size(), 4000u);
  EXPECT_EQ(seen.load(), 4000);
  for (auto& l : lines) EXPECT_EQ(l.rfind("thread ", 0), 0u);
}

}  // namespace
}  // namespace zentu
