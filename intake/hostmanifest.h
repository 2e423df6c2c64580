// The native-messaging host manifests that let Chromium and Firefox start
// Zentu's host for its extension: one JSON file per browser in the user's
// configuration directories, written when the browser integration is
// registered and removed with it.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace zentu {

inline constexpr std::string_view kNativeHostName = "zentu.host";
inline constexpr std::string_view kFirefoxExtensionId = "zentu@zentu.invalid";

struct HostManifestPlaces {
  std::vector<std::string> chromium;  // program paths of "NativeMessagingHosts" directories
  std::vector<std::string> firefox;   // "native-messaging-hosts"
};
// Below the user's home: Chromium's and Chrome's configuration, and Mozilla's.
HostManifestPlaces UserHostManifestPlaces(std::string_view userHome, std::string_view configHome);

// The manifests' texts. `program`: native path of the host program.
std::string ChromiumHostManifest(std::string_view program, const std::vector<std::string>& extensionIds);
std::string FirefoxHostManifest(std::string_view program);

// Writes (add) or removes the manifests; the count of files written or removed.
int RegisterNativeHost(const HostManifestPlaces& places, std::string_view program,
                       const std::vector<std::string>& chromiumExtensionIds, bool add);

}  // namespace zentu
