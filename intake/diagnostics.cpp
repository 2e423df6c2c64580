#include "intake/diagnostics.h"

#include <cstdio>

#include "capture/http.h"
#include "os/cp932.h"
#include "os/file.h"
#include "os/path.h"
#include "os/registry.h"
#include "os/socket.h"

namespace zentu {
namespace {

// The default ("") string value of a key.
bool RegistryDefaultValue(os::Hive hive, std::string_view key, std::string& value) {
  const std::optional<os::RegistryValue> v = os::RegistryGetValue(hive, key, "");
  if (!v || v->type != os::RegistryValue::Type::String) return false;
  value = v->text;
  return true;
}

constexpr char kMenuExt[] = "Software\\Microsoft\\Internet Explorer\\MenuExt\\";
constexpr char kToolbarKey[] = "Software\\Microsoft\\Internet Explorer\\Extensions\\{AC796B8F-1C16-4AD7-B6B8-28E8AE5C9459}";
constexpr char kTypeLibKey[] = "TypeLib\\{308C2EA3-F247-4DF8-8235-46A3ACDE23DC}\\1.0\\0\\win32";

// The eight context-menu entries, in the order of the script check.
constexpr const char* kMenuEntries[] = {
    "Zentuでこのページを取り込む(&1)",         "Zentuで全てのリンクを取り込む(&2)",
    "Zentuで選択範囲を取り込む(&3)",           "Zentuで選択範囲とリンクを取り込む(&4)",
    "Zentuでこのサイトを取り込む(&5)",         "Zentuにこのページを登録する(&6)",
    "Zentuで選択範囲をテキスト形式で取り込む(&7)", "Zentuでこのページをリストに登録せずに取り込む",
};
constexpr const char* kOlderEntries[] = {
    "Zentuでページ全体を取り込む(&1)", "Zentuでダウンロード(&1)",         "Zentuで全てをダウンロード(&2)",
    "Zentuで選択範囲をダウンロード(&3)", "別アプリ経由でZentuに取り込む(&5)",
};
constexpr char kRule[] = "--------------------------------";

std::string Format(const char* utf8, std::string_view a) {
  std::string text = os::SJ(utf8);
  if (size_t at = text.find("%s"); at != std::string::npos) text.replace(at, 2, a);
  return text;
}

class Checks {
 public:
  DiagnosticsResult out;
  void Report(std::string line) { out.report.push_back(std::move(line)); }
  void ReportU(const char* utf8) { Report(os::SJ(utf8)); }
  void Warn(std::initializer_list<std::string> lines) {
    out.warnings.push_back("Warning #" + std::to_string(++out.warningCount));
    for (const std::string& l : lines) out.warnings.push_back(l);
    out.warnings.push_back(kRule);
  }

  // One block per blank and one per two-byte character of the directory.
  void CheckFolder(std::string_view dir, const char* blank1, const char* blank2, const char* wide1,
                   const char* wide2, const char* example) {
    os::ForEachSjisChar(dir, [&](std::string_view ch) {
      if (ch == " ") Warn({os::SJ(blank1), os::SJ(blank2), os::SJ(example)});
      else if (ch.size() == 2) Warn({os::SJ(wide1), os::SJ(wide2), os::SJ(example)});
    });
  }
};

std::string MenuKey(const char* utf8) { return kMenuExt + os::SJ(utf8); }

}  // namespace

bool AnyBrowserIntegrationRegistered() {
  using RegistryHive = os::Hive;
  for (const char* name : kMenuEntries)
    if (os::RegistryKeyExists(RegistryHive::CurrentUser, MenuKey(name))) return true;
  for (const char* name : kOlderEntries)
    if (os::RegistryKeyExists(RegistryHive::CurrentUser, MenuKey(name))) return true;
  return os::RegistryKeyExists(RegistryHive::CurrentUser, kToolbarKey);
}

DiagnosticsResult RunDiagnosticChecks(const Profile& p, const ConnectCheck& connectCheck) {
  using RegistryHive = os::Hive;
  Checks c;
  c.ReportU("********* 診断開始 ******************");
  c.ReportU("\r\n■ フォルダの診断");
  c.Report("Zentu Directory [" + p.ProgramDirectory + "]");
  c.CheckFolder(p.ProgramDirectory, "インストールディレクトリに空白が含まれています．",
                "空白の含まれないフォルダにインストールすることを推奨します．",
                "インストールディレクトリに2バイト文字が含まれています．",
                "2バイト文字の含まれないフォルダにインストールすることを推奨します．", "(例) C:\\Apps\\Zentu");
  c.Report("Data Directory [" + p.dirs.data + "]");
  c.CheckFolder(p.dirs.data, "データディレクトリに空白が含まれています．",
                "空白の含まれないフォルダに移動することを推奨します．",
                "データディレクトリに2バイト文字が含まれています．",
                "2バイト文字の含まれないフォルダに移動することを推奨します．", "(例) C:\\Apps\\Zentu\\Data");

  c.ReportU("\r\n■ レジストリの診断");
  if (!AnyBrowserIntegrationRegistered()) {
    c.ReportU("レジストリは使用していません");
  } else {
    c.Report("[Check Components]");
    std::string dll;
    if (!RegistryDefaultValue(RegistryHive::ClassesRoot, kTypeLibKey, dll)) {
      c.Warn({os::SJ("レジストリにきちんと登録されていません．"),
              os::SJ("「HKEY_CLASSES_ROOT\\TypeLib\\{308C2EA3-F247-4DF8-8235-46A3ACDE23DC}\\1.0\\0\\win32」が存在しません．"),
              os::SJ("レジストリから削除 → レジストリに登録の操作をもう一度行ってみてください．")});
      c.Warn({os::SJ("Zentu のパスが特定できません")});
    } else {
      // The component's directory: the value cut after its last backslash.
      std::string dir = dll;
      size_t cut = std::string::npos;
      for (size_t i = 0; i < dir.size(); ++i) {
        if (os::IsSjisLeadByte(static_cast<unsigned char>(dir[i])) && i + 1 < dir.size()) {
          ++i;
          continue;
        }
        if (dir[i] == '\\') cut = i;
      }
      dir = cut == std::string::npos ? std::string() : dir.substr(0, cut);
      // On Linux the program file is "zentu"; the classic name counts too.
      const std::string exe = os::JoinPath(dir, "Zentu.exe");
      const std::string program = os::FileExists(exe) ? exe : os::JoinPath(dir, "zentu");
      const std::string component = os::JoinPath(dir, "Zentu.dll");
      const struct {
        const std::string& found;  // the file looked for
        const std::string& shown;  // the name the warning gives
        const char* missing;
      } files[] = {{program, exe, "Zentu.exe がレジストリで指定されている場所に存在しません．"},
                   {component, component, "Zentu.dll がレジストリで指定されている場所に存在しません．"}};
      for (const auto& f : files) {
        if (os::FileExists(f.found)) c.Report(f.found + " - ok");
        else c.Warn({os::SJ(f.missing), Format("レジストリの設定: %s", f.shown)});
      }
    }
    c.Report("[Check Scripts]");
    for (const char* name : kMenuEntries) {
      const std::string key = MenuKey(name);
      // Only the entries the user chose are registered; the others are no fault.
      if (!os::RegistryKeyExists(RegistryHive::CurrentUser, key)) continue;
      std::string script;
      (void)RegistryDefaultValue(RegistryHive::CurrentUser, key, script);
      if (!script.empty() && os::FileExists(script)) {
        c.Report(script + " - ok");
      } else {
        c.Warn({os::SJ("指定されたパスにファイルが存在しません"), "[" + key + "] " + script + " ... error",
                os::SJ("[設定]-[IE右クリック設定]-[IEの右クリックに登録・修正] を実行してください")});
      }
    }
  }

  c.ReportU("\r\n■ ネットワークの診断");
  ConnectCheck connect = connectCheck;
  if (!connect) {
    connect = [](const std::string& host, int port) {
      os::Connection connection;
      if (!ConnectServer(host, port, connection)) return false;
      connection.Close();
      return true;
    };
  }
  std::string host;
  int port = 0;
  char line[2400];
  if (p.UseIEProxySetting) {
    const SystemProxy proxy = ReadSystemProxy();
    if (proxy.valid) {
      host = proxy.host;
      port = proxy.port;
      std::snprintf(line, sizeof line, "%s%s:%d", os::SJ("IEのプロキシ設定を利用: ").c_str(), host.c_str(), port);
      c.Report(line);
    } else {
      c.ReportU("IEのプロキシ設定を利用: プロキシ不使用");
    }
  } else if (p.UseProxy) {
    host = p.ProxyServer;
    port = p.ProxyPort;
    std::snprintf(line, sizeof line, "%s%s:%d", os::SJ("個別のプロキシ設定を利用: ").c_str(), host.c_str(), port);
    c.Report(line);
  } else {
    c.ReportU("プロキシ不使用");
  }
  if (!host.empty()) {
    if (connect(host, port)) {
      c.ReportU("接続確認");
    } else {
      std::snprintf(line, sizeof line, "%s [%s:%d]", os::SJ("プロキシサーバに接続できません").c_str(), host.c_str(),
                    port);
      c.Warn({line});
    }
  } else if (connect(kDiagnosticsHost, 80)) {
    c.ReportU("Google への接続確認");
  } else {
    c.Warn({os::SJ("Google に接続できません")});
  }

  c.ReportU("\r\n========= 診断結果 ==================");
  if (c.out.warningCount == 0) {
    c.ReportU("問題なし");
  } else {
    std::snprintf(line, sizeof line, os::SJ("問題が%d個発見されました").c_str(), c.out.warningCount);
    c.Report(line);
  }
  return c.out;
}

}  // namespace zentu
