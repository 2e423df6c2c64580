// Starting a helper program beside the executable: no shell, and a clean
// refusal for what is not a program.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "os/file.h"
#include "os/path.h"
#include "os/process.h"
#include "tests/support/testhome.h"

namespace zentu::testing {
namespace {

class ProcessTest : public TempHome {};

TEST_F(ProcessTest, StartsProgramsWithTheirArgumentsAndRefusesTheRest) {
  EXPECT_FALSE(os::ExecutableDirectory().empty());
  EXPECT_TRUE(os::DirectoryExists(os::ExecutableDirectory()));
  EXPECT_FALSE(os::StartProgram(home + "\\missing"));
  WriteNative("plain.txt", "not a program");
  EXPECT_FALSE(os::StartProgram(home + "\\plain.txt"));
  EXPECT_FALSE(os::StartProgram("C:\\Windows\\notepad.exe"));
  // The arguments reach the program as they are: a shell would have run the ";" part.
  const std::string made = nativeHome + "/made";
  ASSERT_TRUE(os::StartProgram("Z:\\usr\\bin\\touch", {made + ";", made + "-b; touch " + made + "-shell"}));
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!std::filesystem::exists(made + ";") && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(std::filesystem::exists(made + ";"));
  EXPECT_FALSE(std::filesystem::exists(made + "-shell"));
}

}  // namespace
}  // namespace zentu::testing

namespace zentu::testing {
namespace {

// The desktop's opener is found on PATH; a missing file is never handed over.
TEST(DesktopOpen, FindsProgramsOnPathAndOpensOnlyWhatExists) {
  EXPECT_EQ(os::FindProgramOnPath("sh").rfind("Z:\\", 0), 0u);
  EXPECT_EQ(os::FindProgramOnPath("bin/sh"), "");  // a name, never a path
  EXPECT_EQ(os::FindProgramOnPath(""), "");
  EXPECT_EQ(os::FindProgramOnPath("zentu-no-such-program"), "");
  EXPECT_FALSE(os::OpenWithDesktop("Z:\\zentu-no-such-dir\\readme.txt"));
  EXPECT_FALSE(os::OpenWithDesktop("C:\\readme.txt"));  // no such drive
}

}  // namespace
}  // namespace zentu::testing
