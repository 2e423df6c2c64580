#include "os/registry.h"

#include <mutex>

#include "os/file.h"
#include "os/home.h"
#include "os/path.h"
#include "os/text.h"

namespace zentu::os {
namespace {

std::mutex g_mutex;
std::string g_file;

std::string_view HiveName(RegistryHive hive) {
  return hive == RegistryHive::ClassesRoot ? "HKEY_CLASSES_ROOT" : "HKEY_CURRENT_USER";
}

// The value text of `"..."`, with the export's \\ and \" undone.
bool ParseString(std::string_view text, std::string& out) {
  if (text.size() < 2 || text.front() != '"') return false;
  out.clear();
  for (size_t i = 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') return true;
    if (c == '\\' && i + 1 < text.size()) {
      out += text[++i];
      continue;
    }
    out += c;
  }
  return false;  // no closing quote
}

// Walks the file: the key's section found (`found`), its default value when present.
bool Find(RegistryHive hive, std::string_view key, std::string* value) {
  const std::string wanted = std::string(HiveName(hive)) + "\\" + std::string(key);
  File file;
  if (!file.Open(RegistryFile(), File::Mode::Read)) return false;
  bool inKey = false, found = false;
  std::string line;
  while (file.ReadLine(line, 65536)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (!line.empty() && line.front() == '[') {
      if (inKey) break;
      const size_t end = line.rfind(']');
      inKey = end != std::string::npos && EqualsNoCase(std::string_view(line).substr(1, end - 1), wanted);
      found = found || inKey;
      continue;
    }
    if (inKey && value && line.rfind("@=", 0) == 0) return ParseString(std::string_view(line).substr(2), *value);
  }
  return found && !value;
}

}  // namespace

void SetRegistryFile(std::string_view path) {
  std::lock_guard lock(g_mutex);
  g_file = path;
}

std::string RegistryFile() {
  {
    std::lock_guard lock(g_mutex);
    if (!g_file.empty()) return g_file;
  }
  return JoinPath(ZentuHome(), "registry.reg");
}

bool RegistryKeyExists(RegistryHive hive, std::string_view key) { return Find(hive, key, nullptr); }

bool RegistryDefaultValue(RegistryHive hive, std::string_view key, std::string& value) {
  return Find(hive, key, &value);
}

}  // namespace zentu::os
