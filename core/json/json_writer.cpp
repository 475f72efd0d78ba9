#include "quillbeam/json/json_writer.hpp"

#include <charconv>

namespace quillbeam::json {
namespace {

// Length of the valid UTF-8 sequence at the start of `s`, or 0 when it is not one.
size_t validSequence(std::string_view s) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  auto cont = [&s](size_t i) {
    return i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80;
  };
  if (b0 >= 0xC2 && b0 <= 0xDF) return cont(1) ? 2 : 0;
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    const auto b1 = static_cast<unsigned char>(s[1]);
    if (b0 == 0xE0 && b1 < 0xA0) return 0;  // overlong
    if (b0 == 0xED && b1 > 0x9F) return 0;  // surrogates
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    const auto b1 = static_cast<unsigned char>(s[1]);
    if (b0 == 0xF0 && b1 < 0x90) return 0;  // overlong
    if (b0 == 0xF4 && b1 > 0x8F) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

}  // namespace

void Writer::open(char bracket) {
  separate();
  out_.push_back(bracket);
}

void Writer::separate() {
  if (out_.empty()) return;
  const char last = out_.back();
  if (last != '{' && last != '[' && last != ':') out_.push_back(',');
}

void Writer::key(std::string_view name) {
  separate();
  escaped(name);
  out_.push_back(':');
}

void Writer::value(std::string_view text) {
  separate();
  escaped(text);
}

void Writer::value(int64_t number) {
  separate();
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
  out_.append(buffer, result.ptr);
}

void Writer::value(bool flag) {
  separate();
  out_.append(flag ? "true" : "false");
}

void Writer::null() {
  separate();
  out_.append("null");
}

void Writer::value(const std::vector<std::string>& texts) {
  beginArray();
  for (const auto& text : texts) value(text);
  endArray();
}

void Writer::escaped(std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  out_.push_back('"');
  size_t plainFrom = 0;
  size_t i = 0;
  auto flush = [&] { out_.append(text.substr(plainFrom, i - plainFrom)); };
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) {
      ++i;
      continue;
    }
    if (c >= 0x80) {
      if (size_t n = validSequence(text.substr(i)); n > 0) {
        i += n;
        continue;
      }
      flush();
      out_.append("\xEF\xBF\xBD");
      plainFrom = ++i;
      continue;
    }
    flush();
    switch (c) {
      case '"':
        out_.append("\\\"");
        break;
      case '\\':
        out_.append("\\\\");
        break;
      case '\b':
        out_.append("\\b");
        break;
      case '\f':
        out_.append("\\f");
        break;
      case '\n':
        out_.append("\\n");
        break;
      case '\r':
        out_.append("\\r");
        break;
      case '\t':
        out_.append("\\t");
        break;
      default:
        out_.append("\\u00");
        out_.push_back(hex[c >> 4]);
        out_.push_back(hex[c & 0xF]);
    }
    plainFrom = ++i;
  }
  flush();
  out_.push_back('"');
}

}  // namespace quillbeam::json
