// Just enough JSON for the browser's debugging protocol: a value tree, a
// parser and a string quoter. Texts are UTF-8.
#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zentu::testing {

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

// Parses one whole JSON text; false on a syntax error or trailing garbage.
[[nodiscard]] bool ParseJson(std::string_view text, Json& out);

// The text as a JSON string literal, quotes included.
std::string JsonQuote(std::string_view text);

}  // namespace zentu::testing
