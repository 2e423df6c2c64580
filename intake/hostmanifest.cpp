#include "intake/hostmanifest.h"

#include <cstdio>

#include "os/file.h"
#include "os/log.h"
#include "os/path.h"

namespace zentu {
namespace {

// A JSON string (the texts here are UTF-8 paths and ids).
std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", u);
      out += buffer;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Common(std::string_view program) {
  return "{\n  \"name\": " + Quote(kNativeHostName) + ",\n  \"description\": \"Zentu\",\n  \"path\": " +
         Quote(program) + ",\n  \"type\": \"stdio\",\n";
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
    origins += (origins.empty() ? "" : ", ") + Quote("chrome-extension://" + id + "/");
  return Common(program) + "  \"allowed_origins\": [" + origins + "]\n}\n";
}

std::string FirefoxHostManifest(std::string_view program) {
  return Common(program) + "  \"allowed_extensions\": [" + Quote(kFirefoxExtensionId) + "]\n}\n";
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
