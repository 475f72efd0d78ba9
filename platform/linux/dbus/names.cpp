#include "platform/linux/dbus/names.hpp"

#include <cstddef>

#include "quillbeam/json/utf8.hpp"

namespace quillbeam::platform::dbus {
namespace {

constexpr size_t kMaxNameLength = 255;

bool isWordChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Elements separated by dots, at least two, each non-empty and made of word characters
// (and '-' when `dashes`); `leadingDigits` allows an element to start with a digit.
bool isDottedName(std::string_view name, bool dashes, bool leadingDigits) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  size_t elements = 0;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('.', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view element = name.substr(start, end - start);
    if (element.empty()) return false;
    if (!leadingDigits && isDigit(element.front())) return false;
    for (char c : element) {
      if (!isWordChar(c) && !(dashes && c == '-')) return false;
    }
    ++elements;
    start = end + 1;
  }
  return elements >= 2;
}

}  // namespace

bool isInterfaceName(std::string_view name) {
  return isDottedName(name, false, false);
}

bool isMemberName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength || isDigit(name.front())) return false;
  for (char c : name) {
    if (!isWordChar(c)) return false;
  }
  return true;
}

bool isObjectPath(std::string_view path) {
  if (path.empty() || path.front() != '/') return false;
  if (path.size() == 1) return true;
  if (path.back() == '/') return false;
  char previous = '/';
  for (char c : path.substr(1)) {
    if (c == '/') {
      if (previous == '/') return false;
    } else if (!isWordChar(c)) {
      return false;
    }
    previous = c;
  }
  return true;
}

bool isBusName(std::string_view name) {
  if (name.size() > kMaxNameLength) return false;
  if (!name.empty() && name.front() == ':') return isDottedName(name.substr(1), true, true);
  return isDottedName(name, true, false);
}

bool isValidText(std::string_view text) {
  return text.find('\0') == std::string_view::npos && json::isValidUtf8(text);
}

std::string toValidText(std::string_view text) {
  if (isValidText(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 8);
  for (size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte != 0 && byte < 0x80) {
      out.push_back(text[at++]);
    } else if (const size_t length = byte ? json::validMultibyteSequence(text.substr(at)) : 0) {
      out.append(text.substr(at, length));
      at += length;
    } else {
      out.append("\xef\xbf\xbd");
      ++at;
    }
  }
  return out;
}

}  // namespace quillbeam::platform::dbus
