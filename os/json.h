// A small JSON reader and quoter, shared by the native-messaging host, the
// host manifests and the tests that talk to a browser. Texts are UTF-8.
//
// Two strictness levels: the browser's debugging protocol is read leniently
// (a lone surrogate half becomes U+FFFD), while messages that arrive from
// outside (the extension's) are read strictly: raw bytes must be valid UTF-8,
// lone surrogate halves and repeated member names refuse the whole text.
#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zentu::os {

struct Json {
  enum class Type { Null, Bool, Number, String, Array, Object };
  Type type = Type::Null;
  bool boolean = false;
  double number = 0;
  std::string string;
  std::vector<Json> items;                            // Array
  std::vector<std::pair<std::string, Json>> members;  // Object, in source order

  // The member of that name, or a shared null value.
  const Json& operator[](std::string_view name) const;
  bool Has(std::string_view name) const;
  bool IsNull() const { return type == Type::Null; }
  // The string, or "" for any other type.
  const std::string& Str() const;
  // Compact text of the value (for failure messages).
  std::string Dump() const;
};

enum class JsonStrictness { Lenient, Strict };

// Parses one whole JSON text (nesting at most 200 deep); false on a syntax
// error or trailing garbage, and in strict mode on what the header describes.
[[nodiscard]] bool ParseJson(std::string_view text, Json& out, JsonStrictness strictness = JsonStrictness::Lenient);

// The text as a JSON string literal, quotes included.
std::string JsonQuote(std::string_view text);

}  // namespace zentu::os
