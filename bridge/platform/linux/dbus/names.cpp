#include "platform/linux/dbus/names.hpp"

#include <cstddef>
#include <cstdint>

namespace quillbeam::bridge::platform::dbus {
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
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead == 0) return false;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t length = 0;
    uint32_t code = 0;
    if ((lead & 0xE0) == 0xC0) {
      length = 2;
      code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are not UTF-8.
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace quillbeam::bridge::platform::dbus
