#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillbeam::platform::dbus {

// Bytes that break the wire format: the peer is not speaking the protocol, so the
// connection cannot go on.
class ProtocolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Nesting allowed in one value: 32 arrays and 32 structures, as the protocol sets.
constexpr int kMaxNesting = 64;
// The longest array the protocol allows, in bytes.
constexpr uint32_t kMaxArrayLength = 64u * 1024u * 1024u;

// Appends values in the wire format (little-endian), aligned relative to the start of
// `out`, which must itself sit at an 8-byte boundary of the message.
class Writer {
 public:
  // An array being written: where its length goes and where its elements start.
  struct Array {
    size_t lengthAt;
    size_t start;
  };

  explicit Writer(std::string& out) : out_(out) {}

  void align(size_t boundary);
  void byte(uint8_t value);
  void uint32(uint32_t value);
  void int32(int32_t value) { uint32(static_cast<uint32_t>(value)); }
  void uint64(uint64_t value);
  void int64(int64_t value) { uint64(static_cast<uint64_t>(value)); }
  // 'd': IEEE 754 binary64, as every platform we run on stores double.
  void float64(double value);
  void boolean(bool value) { uint32(value ? 1 : 0); }
  // 's' and 'o'. The caller checks the text: no NUL, valid UTF-8, a valid path for 'o'.
  void string(std::string_view value);
  // 'g', at most 255 bytes.
  void signature(std::string_view value);
  // Opens a variant: the caller writes one value of `type`, a single complete type, next.
  void variantType(std::string_view type) { signature(type); }
  // Opens a structure or dictionary entry; their members simply follow.
  void beginStruct() { align(8); }

  Array beginArray(size_t elementAlignment);
  void endArray(const Array& array);

 private:
  void fixed(uint64_t value, size_t size);

  std::string& out_;
};

// Reads values in the wire format from `data`, in either byte order, aligned relative to
// the start of `data`. Every read checks the bounds; a value that does not fit or breaks
// the format throws ProtocolError.
class Reader {
 public:
  Reader(std::string_view data, bool bigEndian) : data_(data), bigEndian_(bigEndian) {}

  void align(size_t boundary);
  uint8_t byte();
  uint32_t uint32();
  int32_t int32() { return static_cast<int32_t>(uint32()); }
  uint64_t uint64();
  int64_t int64() { return static_cast<int64_t>(uint64()); }
  double float64();
  bool boolean();
  // 's' and 'o'.
  std::string_view string();
  // 'g'.
  std::string_view signature();
  // The signature that opens a variant: exactly one complete type.
  std::string_view variantType();
  // Steps to a structure's or dictionary entry's first member.
  void beginStruct() { align(8); }
  // Reads an array's length and aligns to its elements; returns where the array ends.
  size_t beginArray(size_t elementAlignment);

  // Skips one value of the single complete type that `type` starts with.
  void skip(std::string_view type);
  // Whether the rest of the data is exactly one value of each complete type of
  // `signature`, in order, each well-formed. The position is left where checking stopped.
  bool holds(std::string_view signature);

  size_t position() const { return position_; }
  bool atEnd() const { return position_ == data_.size(); }

 private:
  void need(size_t bytes) const;
  uint64_t fixed(size_t size);
  void skip(std::string_view type, int depth);

  std::string_view data_;
  bool bigEndian_;
  size_t position_ = 0;
};

// The length of the single complete type at the start of `signature`; 0 when there is
// none (empty, unknown code, unbalanced or nested too deep).
size_t completeTypeLength(std::string_view signature);

// Whether `signature` is a sequence of complete types, at most 255 bytes.
bool isSignature(std::string_view signature);

}  // namespace quillbeam::platform::dbus
