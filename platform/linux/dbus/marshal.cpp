#include "platform/linux/dbus/marshal.hpp"

#include <bit>
#include <cstring>
#include <limits>

namespace quillbeam::platform::dbus {
namespace {

constexpr int kMaxArrayNesting = 32;
constexpr int kMaxStructNesting = 32;
constexpr size_t kMaxSignatureLength = 255;

bool isBasic(char code) {
  return code != '\0' && std::strchr("ybnqiuxtdhsog", code) != nullptr;
}

size_t fixedSizeOf(char code) {
  switch (code) {
    case 'y':
      return 1;
    case 'n':
    case 'q':
      return 2;
    case 'b':
    case 'i':
    case 'u':
    case 'h':
      return 4;
    case 'x':
    case 't':
    case 'd':
      return 8;
    default:
      return 0;
  }
}

// Fixed-size values align to their size; strings and arrays to their 4-byte length,
// structures and dictionary entries to 8, signatures and variants not at all.
size_t alignmentOf(char code) {
  if (const size_t size = fixedSizeOf(code)) return size;
  switch (code) {
    case 's':
    case 'o':
    case 'a':
      return 4;
    case '(':
    case '{':
      return 8;
    default:
      return 1;
  }
}

// Where the complete type that starts at `at` ends, or 0 when there is none.
size_t typeEnd(std::string_view signature, size_t at, int arrays, int structs) {
  if (at >= signature.size()) return 0;
  const char code = signature[at];
  if (isBasic(code) || code == 'v') return at + 1;
  if (code == 'a') {
    if (arrays == kMaxArrayNesting) return 0;
    if (at + 1 < signature.size() && signature[at + 1] == '{') {
      // A dictionary entry: a basic key and any value, only ever as an array element.
      if (structs == kMaxStructNesting) return 0;
      const size_t key = at + 2;
      if (key >= signature.size() || !isBasic(signature[key])) return 0;
      const size_t value = typeEnd(signature, key + 1, arrays + 1, structs + 1);
      if (value == 0 || value >= signature.size() || signature[value] != '}') return 0;
      return value + 1;
    }
    return typeEnd(signature, at + 1, arrays + 1, structs);
  }
  if (code == '(') {
    if (structs == kMaxStructNesting) return 0;
    size_t next = at + 1;
    if (next < signature.size() && signature[next] == ')') return 0;
    while (next < signature.size() && signature[next] != ')') {
      next = typeEnd(signature, next, arrays, structs + 1);
      if (next == 0) return 0;
    }
    return next < signature.size() ? next + 1 : 0;
  }
  return 0;
}

}  // namespace

// --- Writer --------------------------------------------------------------------------

void Writer::align(size_t boundary) {
  out_.resize((out_.size() + boundary - 1) / boundary * boundary, '\0');
}

void Writer::byte(uint8_t value) {
  out_.push_back(static_cast<char>(value));
}

void Writer::fixed(uint64_t value, size_t size) {
  align(size);
  for (size_t i = 0; i < size; ++i) out_.push_back(static_cast<char>(value >> (8 * i)));
}

void Writer::uint32(uint32_t value) {
  fixed(value, 4);
}

void Writer::uint64(uint64_t value) {
  fixed(value, 8);
}

void Writer::float64(double value) {
  static_assert(std::numeric_limits<double>::is_iec559 && sizeof(double) == 8);
  fixed(std::bit_cast<uint64_t>(value), 8);
}

void Writer::string(std::string_view value) {
  uint32(static_cast<uint32_t>(value.size()));
  out_.append(value);
  out_.push_back('\0');
}

void Writer::signature(std::string_view value) {
  byte(static_cast<uint8_t>(value.size()));
  out_.append(value);
  out_.push_back('\0');
}

Writer::Array Writer::beginArray(size_t elementAlignment) {
  align(4);
  const size_t lengthAt = out_.size();
  uint32(0);
  align(elementAlignment);
  return Array{lengthAt, out_.size()};
}

void Writer::endArray(const Array& array) {
  const auto length = static_cast<uint32_t>(out_.size() - array.start);
  for (size_t i = 0; i < 4; ++i) out_[array.lengthAt + i] = static_cast<char>(length >> (8 * i));
}

// --- Reader --------------------------------------------------------------------------

void Reader::need(size_t bytes) const {
  if (bytes > data_.size() - position_) throw ProtocolError("a value runs past its message");
}

uint64_t Reader::fixed(size_t size) {
  align(size);
  need(size);
  uint64_t value = 0;
  for (size_t i = 0; i < size; ++i) {
    const auto b = static_cast<uint8_t>(data_[position_ + i]);
    if (bigEndian_) {
      value = (value << 8) | b;
    } else {
      value |= static_cast<uint64_t>(b) << (8 * i);
    }
  }
  position_ += size;
  return value;
}

void Reader::align(size_t boundary) {
  const size_t aligned = (position_ + boundary - 1) / boundary * boundary;
  need(aligned - position_);
  position_ = aligned;
}

uint8_t Reader::byte() {
  return static_cast<uint8_t>(fixed(1));
}

uint32_t Reader::uint32() {
  return static_cast<uint32_t>(fixed(4));
}

uint64_t Reader::uint64() {
  return fixed(8);
}

double Reader::float64() {
  return std::bit_cast<double>(fixed(8));
}

bool Reader::boolean() {
  const uint32_t value = uint32();
  if (value > 1) throw ProtocolError("a boolean is neither 0 nor 1");
  return value == 1;
}

std::string_view Reader::string() {
  const uint32_t length = uint32();
  need(size_t{length} + 1);
  if (data_[position_ + length] != '\0') throw ProtocolError("a string is not terminated");
  const std::string_view text = data_.substr(position_, length);
  position_ += size_t{length} + 1;
  return text;
}

std::string_view Reader::signature() {
  const uint8_t length = byte();
  need(size_t{length} + 1);
  if (data_[position_ + length] != '\0') throw ProtocolError("a signature is not terminated");
  const std::string_view text = data_.substr(position_, length);
  position_ += size_t{length} + 1;
  if (!isSignature(text)) throw ProtocolError("a signature is not valid");
  return text;
}

std::string_view Reader::variantType() {
  const std::string_view type = signature();
  if (type.empty() || completeTypeLength(type) != type.size()) {
    throw ProtocolError("a variant does not hold exactly one value");
  }
  return type;
}

size_t Reader::beginArray(size_t elementAlignment) {
  const uint32_t length = uint32();
  if (length > kMaxArrayLength) throw ProtocolError("an array is longer than allowed");
  align(elementAlignment);
  need(length);
  return position_ + length;
}

void Reader::skip(std::string_view type) {
  if (completeTypeLength(type) == 0) throw ProtocolError("a type is not valid");
  skip(type, 0);
}

bool Reader::holds(std::string_view signature) {
  if (!isSignature(signature)) return false;
  try {
    for (size_t at = 0; at < signature.size();) {
      const size_t length = completeTypeLength(signature.substr(at));
      skip(signature.substr(at, length), 0);
      at += length;
    }
  } catch (const ProtocolError&) {
    return false;
  }
  return atEnd();
}

void Reader::skip(std::string_view type, int depth) {
  if (depth > kMaxNesting) throw ProtocolError("a value is nested too deeply");
  // A dictionary entry only comes here as the element of an array already checked.
  const size_t length = type.front() == '{' ? type.size() : completeTypeLength(type);
  if (length == 0) throw ProtocolError("a type is not valid");
  const char code = type.front();
  if (const size_t size = fixedSizeOf(code)) {
    if (code == 'b') {
      boolean();
    } else {
      fixed(size);
    }
    return;
  }
  switch (code) {
    case 's':
    case 'o':
      string();
      return;
    case 'g':
      signature();
      return;
    case 'v':
      skip(variantType(), depth + 1);
      return;
    case 'a': {
      const std::string_view element = type.substr(1, length - 1);
      const size_t end = beginArray(alignmentOf(element.front()));
      if (const size_t size = fixedSizeOf(element.front()); size != 0 && element != "b") {
        // Fixed-size elements need no walk, only whole elements.
        if ((end - position_) % size != 0) throw ProtocolError("an array ends inside an element");
        position_ = end;
        return;
      }
      while (position_ < end) skip(element, depth + 1);
      if (position_ != end) throw ProtocolError("an array ends inside an element");
      return;
    }
    case '(':
    case '{': {
      align(8);
      const std::string_view members = type.substr(1, length - 2);
      for (size_t at = 0; at < members.size();) {
        const size_t member = completeTypeLength(members.substr(at));
        skip(members.substr(at, member), depth + 1);
        at += member;
      }
      return;
    }
    default:
      throw ProtocolError("a type is not valid");
  }
}

size_t completeTypeLength(std::string_view signature) {
  return typeEnd(signature, 0, 0, 0);
}

bool isSignature(std::string_view signature) {
  if (signature.size() > kMaxSignatureLength) return false;
  for (size_t at = 0; at < signature.size();) {
    const size_t end = typeEnd(signature, at, 0, 0);
    if (end == 0) return false;
    at = end;
  }
  return true;
}

}  // namespace quillbeam::platform::dbus
