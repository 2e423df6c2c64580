#include "tests/support/testhome.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "os/cp932.h"
#include "os/file.h"
#include "os/home.h"
#include "os/log.h"
#include "os/path.h"
#include "os/registry.h"

namespace zentu::testing {

std::string SJ(const char* utf8) { return os::Utf8ToSjis(utf8); }
std::string U8(const std::string& sjis) { return os::SjisToUtf8(sjis); }

int RecordingDesktop::MessageBox(std::string_view text, std::string_view caption, os::Buttons,
                                 int defaultResult) {
  std::lock_guard lock(mutex);
  messages.push_back({std::string(text), std::string(caption)});
  if (answers.empty()) return defaultResult;
  int a = answers.front();
  answers.erase(answers.begin());
  return a;
}

void TempHome::SetUp() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "zentu-test-XXXXXX").string();
  char* made = ::mkdtemp(tmpl.data());
  ASSERT_NE(made, nullptr);
  nativeHome = made;
  ::setenv("ZENTU_HOME", nativeHome.c_str(), 1);
  os::ResetZentuHome();
  home = os::ZentuHome();
  log::Clear();
  log::SetDebugFlag(false);
  log::SetLogFile("");
  os::SetClock(&clock);
  os::SetDesktop(&desktop);
  os::SetFileFaultAt(0);
}

void TempHome::TearDown() {
  os::SetFileFaultAt(0);
  os::SetClock(nullptr);
  os::SetDesktop(nullptr);
  log::SetLogFile("");
  std::error_code ec;
  if (!::testing::Test::HasFailure() || std::getenv("ZENTU_KEEP_TEST_HOME") == nullptr)
    std::filesystem::remove_all(nativeHome, ec);
}

void TempHome::RegisterOneBrowserEntry() {
  const std::string key = SJ("Software\\Microsoft\\Internet Explorer\\MenuExt\\Zentuでこのページを取り込む(&1)");
  ASSERT_TRUE(os::RegistryCreateKey(os::Hive::CurrentUser, key));
}

std::string TempHome::Path(const std::string& name) const { return os::JoinPath(home, name); }

void TempHome::CopyData(const std::string& sub, const std::string& to) {
  std::filesystem::path from = std::filesystem::path(ZENTU_SOURCE_DIR) / "tests" / "data" / sub;
  std::filesystem::path dest = std::filesystem::path(nativeHome) / to;
  std::filesystem::create_directories(dest);
  std::filesystem::copy(from, dest,
                        std::filesystem::copy_options::recursive |
                            std::filesystem::copy_options::overwrite_existing);
}

void TempHome::WriteNative(const std::string& relative, const std::string& bytes) {
  std::filesystem::path p = std::filesystem::path(nativeHome) / relative;
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

std::string TempHome::ReadNative(const std::string& relative) {
  std::ifstream in(std::filesystem::path(nativeHome) / relative, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool LogContains(const std::string& text) {
  for (const auto& line : log::Lines())
    if (line.find(text) != std::string::npos) return true;
  return false;
}

}  // namespace zentu::testing
