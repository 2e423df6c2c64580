#include "os/json.h"

#include <cstdio>
#include <cstdlib>

#include "os/cp932.h"

namespace zentu::os {
namespace {

const Json& NullValue() {
  static const Json null;
  return null;
}

class Parser {
 public:
  Parser(std::string_view text, bool strict) : text_(text), strict_(strict) {}

  bool Whole(Json& out) {
    if (!Value(out, 0)) return false;
    Space();
    return pos_ == text_.size();
  }

 private:
  static constexpr int kMaxDepth = 200;

  void Space() {
    while (pos_ < text_.size() && std::string_view(" \t\n\r").find(text_[pos_]) != std::string_view::npos) ++pos_;
  }
  bool Literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }
  bool Hex4(unsigned& code) {
    if (pos_ + 4 > text_.size()) return false;
    code = 0;
    for (int i = 0; i < 4; ++i) {
      char c = text_[pos_++];
      code <<= 4;
      if (c >= '0' && c <= '9') code |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') code |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') code |= static_cast<unsigned>(c - 'A' + 10);
      else return false;
    }
    return true;
  }
  bool String(std::string& out) {
    if (pos_ >= text_.size() || text_[pos_] != '"') return false;
    ++pos_;
    while (pos_ < text_.size()) {
      char c = text_[pos_++];
      if (c == '"') return true;
      const unsigned char u = static_cast<unsigned char>(c);
      if (u < 0x20) return false;
      if (u >= 0x80 && strict_) {
        // Raw bytes must form whole UTF-8 characters (no overlong forms).
        const size_t n = (u >> 5) == 6 ? 2 : (u >> 4) == 14 ? 3 : (u >> 3) == 30 ? 4 : 0;
        if (n == 0 || (n == 2 && u < 0xC2) || pos_ - 1 + n > text_.size()) return false;
        for (size_t i = 0; i + 1 < n; ++i)
          if ((static_cast<unsigned char>(text_[pos_ + i]) & 0xC0) != 0x80) return false;
        out.append(text_.substr(pos_ - 1, n));
        pos_ += n - 1;
        continue;
      }
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) return false;
      char e = text_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned code;
          if (!Hex4(code)) return false;
          // A surrogate pair makes one character; a lone half becomes U+FFFD.
          if (code >= 0xD800 && code < 0xDC00 && text_.substr(pos_, 2) == "\\u") {
            size_t save = pos_;
            pos_ += 2;
            unsigned low;
            if (Hex4(low) && low >= 0xDC00 && low < 0xE000) {
              code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            } else {
              if (strict_) return false;
              pos_ = save;
              code = 0xFFFD;
            }
          } else if (code >= 0xD800 && code < 0xE000) {
            if (strict_) return false;
            code = 0xFFFD;
          }
          if (!AppendUtf8(out, static_cast<char32_t>(code))) return false;
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }
  bool Number(double& out) {
    size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    while (pos_ < text_.size() && std::string_view("0123456789.eE+-").find(text_[pos_]) != std::string_view::npos)
      ++pos_;
    if (pos_ == start) return false;
    std::string digits(text_.substr(start, pos_ - start));
    char* end = nullptr;
    out = std::strtod(digits.c_str(), &end);
    return end == digits.c_str() + digits.size();
  }
  bool Value(Json& out, int depth) {
    if (depth > kMaxDepth) return false;
    Space();
    if (pos_ >= text_.size()) return false;
    char c = text_[pos_];
    if (c == '{') {
      ++pos_;
      out.type = Json::Type::Object;
      Space();
      if (pos_ < text_.size() && text_[pos_] == '}') {
        ++pos_;
        return true;
      }
      for (;;) {
        Space();
        std::string name;
        if (!String(name)) return false;
        Space();
        if (pos_ >= text_.size() || text_[pos_++] != ':') return false;
        Json value;
        if (!Value(value, depth + 1)) return false;
        if (strict_ && out.Has(name)) return false;  // which of two would count is anyone's guess
        out.members.emplace_back(std::move(name), std::move(value));
        Space();
        if (pos_ >= text_.size()) return false;
        char sep = text_[pos_++];
        if (sep == '}') return true;
        if (sep != ',') return false;
      }
    }
    if (c == '[') {
      ++pos_;
      out.type = Json::Type::Array;
      Space();
      if (pos_ < text_.size() && text_[pos_] == ']') {
        ++pos_;
        return true;
      }
      for (;;) {
        Json value;
        if (!Value(value, depth + 1)) return false;
        out.items.push_back(std::move(value));
        Space();
        if (pos_ >= text_.size()) return false;
        char sep = text_[pos_++];
        if (sep == ']') return true;
        if (sep != ',') return false;
      }
    }
    if (c == '"') {
      out.type = Json::Type::String;
      return String(out.string);
    }
    if (Literal("true")) {
      out.type = Json::Type::Bool;
      out.boolean = true;
      return true;
    }
    if (Literal("false")) {
      out.type = Json::Type::Bool;
      return true;
    }
    if (Literal("null")) return true;
    out.type = Json::Type::Number;
    return Number(out.number);
  }

  std::string_view text_;
  bool strict_ = false;
  size_t pos_ = 0;
};

}  // namespace

const Json& Json::operator[](std::string_view name) const {
  for (const auto& [key, value] : members)
    if (key == name) return value;
  return NullValue();
}

bool Json::Has(std::string_view name) const {
  for (const auto& member : members)
    if (member.first == name) return true;
  return false;
}

const std::string& Json::Str() const {
  static const std::string empty;
  return type == Type::String ? string : empty;
}

std::string Json::Dump() const {
  switch (type) {
    case Type::Null: return "null";
    case Type::Bool: return boolean ? "true" : "false";
    case Type::Number: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.17g", number);
      return buf;
    }
    case Type::String: return JsonQuote(string);
    case Type::Array: {
      std::string out = "[";
      for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i].Dump();
      return out + "]";
    }
    case Type::Object: {
      std::string out = "{";
      for (size_t i = 0; i < members.size(); ++i)
        out += (i ? "," : "") + JsonQuote(members[i].first) + ":" + members[i].second.Dump();
      return out + "}";
    }
  }
  return "null";
}

bool ParseJson(std::string_view text, Json& out, JsonStrictness strictness) {
  out = Json{};
  return Parser(text, strictness == JsonStrictness::Strict).Whole(out);
}

std::string JsonQuote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", u);
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

}  // namespace zentu::os
