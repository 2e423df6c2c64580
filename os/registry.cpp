#include "os/registry.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "os/cp932.h"
#include "os/file.h"
#include "os/home.h"
#include "os/log.h"
#include "os/path.h"
#include "os/text.h"

namespace zentu::os {
namespace {

constexpr std::string_view kHiveNames[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER"};
constexpr std::string_view kHeader = "; Zentu registry (browser integration)";

struct Key {
  std::string name;  // as created
  std::vector<std::pair<std::string, RegistryValue>> values;
};

// Keys by "<hive>\<lower-case path>".
using Keys = std::map<std::string, Key>;

std::mutex& RegistryMutex() {
  static std::mutex m;
  return m;
}

std::string Lower(std::string_view s) {
  std::string out;
  ForEachSjisChar(s, [&](std::string_view ch) {
    if (ch.size() == 1) out += AsciiLower(ch[0]);
    else out.append(ch);
  });
  return out;
}

// Leading, trailing and doubled "\" do not make keys of their own.
std::string CleanKey(std::string_view key) {
  std::string out;
  ForEachSjisChar(key, [&](std::string_view ch) {
    if (ch == "\\" && (out.empty() || out.back() == '\\')) return;
    out.append(ch);
  });
  if (!out.empty() && out.back() == '\\') {
    // A trailing "\" that is not the trail byte of a two-byte character.
    size_t i = 0, last = 0;
    while (i < out.size()) {
      last = i;
      i += IsSjisLeadByte(static_cast<unsigned char>(out[i])) && i + 1 < out.size() ? 2 : 1;
    }
    if (last == out.size() - 1) out.pop_back();
  }
  return out;
}

std::string Id(Hive hive, std::string_view key) {
  return std::string(kHiveNames[static_cast<int>(hive)]) + "\\" + Lower(key);
}

// The key above, "" at the top.
std::string Parent(std::string_view key) {
  size_t cut = std::string::npos;
  for (size_t i = 0; i < key.size();) {
    if (key[i] == '\\') cut = i;
    i += IsSjisLeadByte(static_cast<unsigned char>(key[i])) && i + 1 < key.size() ? 2 : 1;
  }
  return cut == std::string::npos ? std::string() : std::string(key.substr(0, cut));
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  ForEachSjisChar(s, [&](std::string_view ch) {
    if (ch == "\\" || ch == "\"") out += '\\';
    if (ch == "\r") out += "\\r";
    else if (ch == "\n") out += "\\n";
    else out.append(ch);
  });
  return out + "\"";
}

// Reads a quoted text at `at`; npos when it is not one.
size_t Unquote(std::string_view line, size_t at, std::string& out) {
  if (at >= line.size() || line[at] != '"') return std::string_view::npos;
  out.clear();
  for (size_t i = at + 1; i < line.size();) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (IsSjisLeadByte(c) && i + 1 < line.size()) {
      out.append(line.substr(i, 2));
      i += 2;
    } else if (c == '"') {
      return i + 1;
    } else if (c == '\\' && i + 1 < line.size()) {
      char e = line[i + 1];
      out += e == 'r' ? '\r' : e == 'n' ? '\n' : e;
      i += 2;
    } else {
      out += static_cast<char>(c);
      ++i;
    }
  }
  return std::string_view::npos;
}

void AddKey(Keys& keys, Hive hive, const std::string& name) {
  for (std::string k = name; !k.empty(); k = Parent(k)) {
    auto [it, added] = keys.try_emplace(Id(hive, k));
    if (!added) break;
    it->second.name = k;
  }
}

Keys Seeded() {
  Keys keys;
  AddKey(keys, Hive::CurrentUser, "Software\\Microsoft\\Internet Explorer");
  return keys;
}

// The file's keys; a missing file is a new registry. A line that cannot be
// read is logged and skipped (the rest stays usable).
Keys Load() {
  std::string text;
  if (!FileExists(RegistryPath()) || !ReadWholeFile(RegistryPath(), text)) return Seeded();
  Keys keys;
  Key* current = nullptr;
  size_t start = 0;
  int number = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      std::string_view path = line.substr(1, line.size() - 2);
      current = nullptr;
      for (int h = 0; h < 2; ++h) {
        std::string_view hive = kHiveNames[h];
        if (!StartsWithNoCase(path, hive) || (path.size() > hive.size() && path[hive.size()] != '\\')) continue;
        std::string name = CleanKey(path.substr(hive.size()));
        if (name.empty()) break;
        AddKey(keys, static_cast<Hive>(h), name);
        current = &keys[Id(static_cast<Hive>(h), name)];
      }
      if (!current) WriteLog("> registry: line %d skipped", number);
      continue;
    }
    std::string name;
    size_t at = 0;
    if (line[0] == '@') {
      at = 1;
    } else {
      at = Unquote(line, 0, name);
      if (at == std::string_view::npos) at = line.size();
    }
    RegistryValue value;
    bool ok = current && at < line.size() && line[at] == '=';
    if (ok && line.substr(at + 1, 6) == "dword:") {
      value.type = RegistryValue::Type::Dword;
      std::string digits(line.substr(at + 7));
      char* stop = nullptr;
      unsigned long n = std::strtoul(digits.c_str(), &stop, 16);
      ok = !digits.empty() && digits.size() <= 8 && *stop == '\0';
      value.number = static_cast<uint32_t>(n);
    } else if (ok) {
      ok = Unquote(line, at + 1, value.text) == line.size();
    }
    if (!ok) {
      WriteLog("> registry: line %d skipped", number);
      continue;
    }
    current->values.emplace_back(std::move(name), std::move(value));
  }
  return keys;
}

bool Save(const Keys& keys) {
  std::string text = std::string(kHeader) + "\n";
  for (const auto& [id, key] : keys) {
    text += "\n[" + id.substr(0, id.find('\\')) + "\\" + key.name + "]\n";
    for (const auto& [name, value] : key.values) {
      text += name.empty() ? std::string("@") : Quote(name);
      if (value.type == RegistryValue::Type::Dword) {
        char buffer[24];
        std::snprintf(buffer, sizeof buffer, "=dword:%08x\n", value.number);
        text += buffer;
      } else {
        text += "=" + Quote(value.text) + "\n";
      }
    }
  }
  if (!WriteCrLfTextFile(RegistryPath(), text, Access::Private)) {
    WriteLog("> registry: cannot write %s", RegistryPath().c_str());
    return false;
  }
  return true;
}

bool SetValue(Hive hive, std::string_view key, std::string_view name, const RegistryValue& value) {
  std::lock_guard lock(RegistryMutex());
  Keys keys = Load();
  auto it = keys.find(Id(hive, CleanKey(key)));
  if (it == keys.end()) return false;
  bool replaced = false;
  for (auto& [n, v] : it->second.values)
    if (EqualsNoCase(n, name)) {
      v = value;
      replaced = true;
    }
  if (!replaced) it->second.values.emplace_back(std::string(name), value);
  return Save(keys);
}

}  // namespace

std::string RegistryPath() { return JoinPath(ZentuHome(), "registry.dat"); }

bool RegistryKeyExists(Hive hive, std::string_view key) {
  std::lock_guard lock(RegistryMutex());
  const std::string name = CleanKey(key);
  return !name.empty() && Load().count(Id(hive, name)) != 0;
}

bool RegistryCreateKey(Hive hive, std::string_view key) {
  std::lock_guard lock(RegistryMutex());
  const std::string name = CleanKey(key);
  if (name.empty()) return false;
  Keys keys = Load();
  if (keys.count(Id(hive, name))) return true;
  AddKey(keys, hive, name);
  return Save(keys);
}

bool RegistrySetString(Hive hive, std::string_view key, std::string_view name, std::string_view value) {
  RegistryValue v;
  v.text = std::string(value);
  return SetValue(hive, key, name, v);
}

bool RegistrySetDword(Hive hive, std::string_view key, std::string_view name, uint32_t value) {
  RegistryValue v;
  v.type = RegistryValue::Type::Dword;
  v.number = value;
  return SetValue(hive, key, name, v);
}

std::optional<RegistryValue> RegistryGetValue(Hive hive, std::string_view key, std::string_view name) {
  std::lock_guard lock(RegistryMutex());
  Keys keys = Load();
  auto it = keys.find(Id(hive, CleanKey(key)));
  if (it == keys.end()) return std::nullopt;
  for (const auto& [n, v] : it->second.values)
    if (EqualsNoCase(n, name)) return v;
  return std::nullopt;
}

bool RegistryDeleteKey(Hive hive, std::string_view key) {
  std::lock_guard lock(RegistryMutex());
  const std::string name = CleanKey(key);
  Keys keys = Load();
  const std::string id = Id(hive, name);
  auto it = keys.find(id);
  if (name.empty() || it == keys.end()) return false;
  auto next = std::next(it);
  if (next != keys.end() && next->first.compare(0, id.size() + 1, id + "\\") == 0) return false;
  keys.erase(it);
  return Save(keys);
}

std::vector<std::string> RegistrySubkeys(Hive hive, std::string_view key) {
  std::lock_guard lock(RegistryMutex());
  const std::string parent = Id(hive, CleanKey(key));
  std::vector<std::string> out;
  for (const auto& [id, k] : Load()) {
    const std::string up = Parent(k.name);
    if (id.compare(0, parent.size() + 1, parent + "\\") == 0 && Id(hive, up) == parent)
      out.push_back(up.empty() ? k.name : k.name.substr(up.size() + 1));
  }
  return out;
}

}  // namespace zentu::os
