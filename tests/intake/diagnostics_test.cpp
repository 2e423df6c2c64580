#include "intake/diagnostics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "os/registry.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::SJ;

class DiagnosticsTest : public testing::TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    SetProfileDefaults(profile);
    profile.ProgramDirectory = home;
    profile.dirs.data = home + "\\Data";
    profile.UseProxy = false;
    profile.UseIEProxySetting = false;
  }
  static bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  // A registry export naming the component in the home and the page entry.
  void Register(bool withTypeLib, bool withScript) {
    std::string reg = "REGEDIT4\r\n\r\n";
    if (withTypeLib)
      reg += "[HKEY_CLASSES_ROOT\\TypeLib\\{308C2EA3-F247-4DF8-8235-46A3ACDE23DC}\\1.0\\0\\win32]\r\n@=\"" + Escaped(home) +
             "\\\\Zentu.dll\"\r\n\r\n";
    reg += SJ("[HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Explorer\\MenuExt\\Zentuでこのページを取り込む(&1)]\r\n");
    reg += "@=\"" + Escaped(home) + "\\\\zentu_dl.html\"\r\n\"Contexts\"=dword:0000007f\r\n";
    WriteNative("registry.dat", reg);
    if (withScript) WriteNative("zentu_dl.html", "<html></html>");
  }
  static std::string Escaped(const std::string& path) {
    std::string out;
    for (char c : path) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return out;
  }
  Profile profile;
  int connects = 0;
  std::string lastHost;
  ConnectCheck Reachable(bool ok) {
    return [this, ok](const std::string& host, int) {
      ++connects;
      lastHost = host;
      return ok;
    };
  }
};

TEST_F(DiagnosticsTest, CleanInstallationReportsNoProblem) {
  const DiagnosticsResult r = RunDiagnosticChecks(profile, Reachable(true));
  EXPECT_EQ(r.warningCount, 0);
  EXPECT_TRUE(r.warnings.empty());
  ASSERT_FALSE(r.report.empty());
  EXPECT_EQ(r.report.front(), "********* " + SJ("診断開始") + " ******************");
  EXPECT_TRUE(Has(r.report, "Zentu Directory [" + home + "]"));
  EXPECT_TRUE(Has(r.report, SJ("レジストリは使用していません")));
  EXPECT_FALSE(Has(r.report, "[Check Components]"));
  EXPECT_TRUE(Has(r.report, SJ("プロキシ不使用")));
  EXPECT_TRUE(Has(r.report, SJ("Google への接続確認")));
  EXPECT_EQ(lastHost, kDiagnosticsHost);
  EXPECT_EQ(r.report.back(), SJ("問題なし"));
}

TEST_F(DiagnosticsTest, EachBlankAndTwoByteCharacterIsOneWarning) {
  struct Row {
    std::string program, data;
    int warnings;
  } const rows[] = {
      {"Z:\\apps\\zentu", "Z:\\apps\\zentu\\Data", 0},
      {"Z:\\my apps\\zentu", "Z:\\d", 1},
      {"Z:\\my apps\\ze ntu", "Z:\\d", 2},
      {"Z:\\" + SJ("表ソ"), "Z:\\d " + SJ("能"), 4},
  };
  for (const Row& row : rows) {
    profile.ProgramDirectory = row.program;
    profile.dirs.data = row.data;
    const DiagnosticsResult r = RunDiagnosticChecks(profile, Reachable(true));
    EXPECT_EQ(r.warningCount, row.warnings) << row.program;
    EXPECT_EQ(r.warnings.size(), static_cast<size_t>(row.warnings) * 5) << row.program;
    if (row.warnings > 0) {
      EXPECT_EQ(r.warnings[0], "Warning #1");
      EXPECT_EQ(r.warnings[4], std::string(32, '-'));
      EXPECT_EQ(r.report.back(), SJ("問題が") + std::to_string(row.warnings) + SJ("個発見されました"));
    }
  }
}

TEST_F(DiagnosticsTest, RegistryEntriesAreChecked) {
  // An entry without the component's key: two blocks.
  Register(false, true);
  DiagnosticsResult r = RunDiagnosticChecks(profile, Reachable(true));
  EXPECT_TRUE(Has(r.report, "[Check Components]"));
  EXPECT_TRUE(Has(r.warnings, SJ("レジストリにきちんと登録されていません．")));
  EXPECT_TRUE(Has(r.warnings, SJ("Zentu のパスが特定できません")));
  EXPECT_TRUE(Has(r.report, home + "\\zentu_dl.html - ok"));
  EXPECT_EQ(r.warningCount, 2);

  // The component named, the program and the component missing, the script too.
  Register(true, false);
  (void)std::remove((nativeHome + "/zentu_dl.html").c_str());
  r = RunDiagnosticChecks(profile, Reachable(true));
  EXPECT_TRUE(Has(r.warnings, SJ("Zentu.exe がレジストリで指定されている場所に存在しません．")));
  EXPECT_TRUE(Has(r.warnings, SJ("Zentu.dll がレジストリで指定されている場所に存在しません．")));
  EXPECT_TRUE(Has(r.warnings, SJ("指定されたパスにファイルが存在しません")));
  EXPECT_EQ(r.warningCount, 3);

  // Everything in place: ok lines, and the entries not registered are no fault.
  Register(true, true);
  WriteNative("zentu", "#!/bin/sh\n");
  WriteNative("Zentu.dll", "x");
  r = RunDiagnosticChecks(profile, Reachable(true));
  EXPECT_TRUE(Has(r.report, home + "\\zentu - ok"));
  EXPECT_TRUE(Has(r.report, home + "\\Zentu.dll - ok"));
  EXPECT_EQ(r.warningCount, 0);
  EXPECT_EQ(r.report.back(), SJ("問題なし"));
}

TEST_F(DiagnosticsTest, NetworkChecksFollowTheProxySettings) {
  profile.UseProxy = true;
  profile.ProxyServer = "proxy.example";
  profile.ProxyPort = 8080;
  DiagnosticsResult r = RunDiagnosticChecks(profile, Reachable(false));
  EXPECT_TRUE(Has(r.report, SJ("個別のプロキシ設定を利用: proxy.example:8080")));
  EXPECT_TRUE(Has(r.warnings, SJ("プロキシサーバに接続できません [proxy.example:8080]")));
  EXPECT_EQ(lastHost, "proxy.example");

  profile.UseProxy = false;
  r = RunDiagnosticChecks(profile, Reachable(false));
  EXPECT_TRUE(Has(r.warnings, SJ("Google に接続できません")));
  EXPECT_EQ(r.report.back(), SJ("問題が1個発見されました"));
}

TEST_F(DiagnosticsTest, DamagedRegistryFileIsNoRegistration) {
  WriteNative("registry.dat", std::string("\0\0[HKEY_CURRENT_USER\\Software\x81", 30) + "\r\n@=\"unterminated\r\n[");
  const DiagnosticsResult r = RunDiagnosticChecks(profile, Reachable(true));
  EXPECT_TRUE(Has(r.report, SJ("レジストリは使用していません")));
  EXPECT_EQ(r.warningCount, 0);
}

}  // namespace
}  // namespace zentu
