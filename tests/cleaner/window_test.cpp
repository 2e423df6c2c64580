// The zentucleaner program itself: its list window (pictured) and its refusal
// to run twice.
#include <gtest/gtest.h>

#ifdef ZENTU_CLEANER_BINARY
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "os/channel.h"
#include "tests/support/testhome.h"

namespace zentu::testing {
namespace {

class CleanerWindowTest : public TempHome {
 protected:
  // Runs the program in picture mode; returns its exit status and its output.
  int Run(std::string& output) {
    std::string command = "QT_QPA_PLATFORM=offscreen ZENTU_HOME='" + nativeHome + "' '" ZENTU_CLEANER_BINARY
                          "' --picture '" + nativeHome + "/list.png' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buffer[256];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

TEST_F(CleanerWindowTest, ShowsTheCheckedListOfOrphansAndIsPictured) {
  WriteNative("Data/h/index.html", "<img src=\"a.gif\">");
  WriteNative("Data/h/a.gif", "GIF89a");
  WriteNative("Data/h/old.gif", "GIF89a");
  WriteNative("Data/gone/page.html", "<html></html>");
  WriteNative("default.html",
              "<HTML>\r\n<UL>\r\n<LI><A HREF=\"http://h/\" LOCALFILE=\"h\\index.html\" LASTCHECK=\"\" ORIGINAL=\"\" "
              "SIZE=\"0\" TYPE=\"2\" PROPERTY=\"8\" MARK=\"0:0\" PROTECTINFO=\"0\" DLFLAG=\"0\">t</A>\r\n</UL>\r\n");
  std::string output;
  ASSERT_EQ(Run(output), 0) << output;
  EXPECT_EQ(output, "listed 2\n");
  EXPECT_GT(std::filesystem::file_size(nativeHome + "/list.png"), 1000u);
  // Only looking: nothing was moved, and the main program's files are as they were.
  EXPECT_EQ(ReadNative("Data/h/old.gif"), "GIF89a");
  EXPECT_FALSE(std::filesystem::exists(nativeHome + "/Dustbox"));
  EXPECT_FALSE(std::filesystem::exists(nativeHome + "/config/extension.dat"));
}

TEST_F(CleanerWindowTest, ASecondStartIsRefused) {
  os::InstanceLock running = os::AcquireNamedLock("cleaner.lock");
  ASSERT_TRUE(running.Held());
  std::string output;
  EXPECT_EQ(Run(output), 1);
  EXPECT_TRUE(output.empty());
  EXPECT_FALSE(std::filesystem::exists(nativeHome + "/list.png"));
}

}  // namespace
}  // namespace zentu::testing
#endif
