#include "intake/hostmanifest.h"

#include "os/file.h"
#include "os/json.h"
#include "os/log.h"
#include "os/path.h"

namespace zentu {
namespace {

std::string Common(std::string_view program) {
  return "{\n  \"name\": " + os::JsonQuote(kNativeHostName) + ",\n  \"description\": \"Zentu\",\n  \"path\": " +
         os::JsonQuote(program) + ",\n  \"type\": \"stdio\",\n";
}

std::string FileName() { return std::string(kNativeHostName) + ".json"; }

}  // namespace

HostManifestPlaces UserHostManifestPlaces(std::string_view userHome, std::string_view configHome) {
  HostManifestPlaces p;
  for (const char* browser : {"chromium", "google-chrome"})
    p.chromium.push_back(os::JoinPath(os::JoinPath(configHome, browser), "NativeMessagingHosts"));
  p.firefox.push_back(os::JoinPath(os::JoinPath(userHome, ".mozilla"), "native-messaging-hosts"));
  return p;
}

std::string ChromiumHostManifest(std::string_view program, const std::vector<std::string>& extensionIds) {
  std::string origins;
  for (const std::string& id : extensionIds)
    origins += (origins.empty() ? "" : ", ") + os::JsonQuote("chrome-extension://" + id + "/");
  return Common(program) + "  \"allowed_origins\": [" + origins + "]\n}\n";
}

std::string FirefoxHostManifest(std::string_view program) {
  return Common(program) + "  \"allowed_extensions\": [" + os::JsonQuote(kFirefoxExtensionId) + "]\n}\n";
}

int RegisterNativeHost(const HostManifestPlaces& places, std::string_view program,
                       const std::vector<std::string>& chromiumExtensionIds, bool add) {
  int done = 0;
  auto one = [&](const std::string& dir, const std::string& text) {
    const std::string path = os::JoinPath(dir, FileName());
    if (!add) {
      if (os::FileExists(path) && os::DeleteFile(path)) ++done;
      return;
    }
    if (os::CreateDirectories(dir) && os::WriteFileAtomic(path, text)) {
      WriteLog("native host manifest: %s", path.c_str());
      ++done;
    } else {
      WriteLog("> can't write the native host manifest %s", path.c_str());
    }
  };
  for (const std::string& dir : places.chromium) one(dir, ChromiumHostManifest(program, chromiumExtensionIds));
  for (const std::string& dir : places.firefox) one(dir, FirefoxHostManifest(program));
  return done;
}

}  // namespace zentu
