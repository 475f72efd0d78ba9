#include "quillbeam/json/json_writer.hpp"

#include <charconv>

#include "quillbeam/json/utf8.hpp"

namespace quillbeam::json {

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
      if (size_t n = validMultibyteSequence(text.substr(i)); n > 0) {
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
