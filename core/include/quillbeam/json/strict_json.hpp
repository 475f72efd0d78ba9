#pragma once

// The one place where JSON values become typed fields. Every record reads its keys
// through ObjectReader, so "required", "optional", "wrong type fails" and "integer range"
// are decided here and nowhere else. Nothing outside this header calls nlohmann's get<>.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "quillbeam/json/decoding_error.hpp"

namespace quillbeam::json {

// Reading parses into the sorted-map form (lookups and duplicate keys stay cheap on
// hostile input); writing uses the insertion-ordered form so records keep their key order.
using Value = nlohmann::json;
using Ordered = nlohmann::ordered_json;

// Deepest nesting of arrays and objects that parse() accepts. No record or message comes
// near it. Beyond it a document is refused before it is built: a DOM of millions of nested
// containers costs tens of bytes of memory per input byte, and nlohmann's copy, comparison
// and dump recurse once per level, so such a value could overflow the stack later.
inline constexpr size_t maxDepth = 256;

// Parses one JSON document. Invalid JSON, trailing bytes, invalid UTF-8 and nesting deeper
// than maxDepth throw DecodingError.
Value parse(std::string_view text);

// Compact UTF-8 text of a value, as written to files and pipes.
std::string compact(const Ordered& value);

template <class T>
concept Record = requires(const Value& v) {
  { T::fromJson(v) } -> std::same_as<T>;
};

// Typed reading of one value; `where` names it in the error text.
bool readBool(const Value& v, std::string_view where);
const std::string& readString(const Value& v, std::string_view where);
int64_t readInt64(const Value& v, std::string_view where);
int32_t readInt32(const Value& v, std::string_view where);

template <class T>
T readAs(const Value& v, std::string_view where);

template <class T>
struct IsVector : std::false_type {};
template <class U>
struct IsVector<std::vector<U>> : std::true_type {};

template <class T>
T readAs(const Value& v, std::string_view where) {
  if constexpr (std::is_same_v<T, bool>) {
    return readBool(v, where);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return readString(v, where);
  } else if constexpr (std::is_same_v<T, int64_t>) {
    return readInt64(v, where);
  } else if constexpr (std::is_same_v<T, int32_t>) {
    return readInt32(v, where);
  } else if constexpr (IsVector<T>::value) {
    if (!v.is_array()) throw DecodingError(std::string(where) + ": expected an array");
    T out;
    out.reserve(v.size());
    for (const auto& element : v) {
      out.push_back(readAs<typename T::value_type>(element, where));
    }
    return out;
  } else {
    static_assert(Record<T>, "readAs needs a scalar, a vector or a record with fromJson");
    if (!v.is_object()) throw DecodingError(std::string(where) + ": expected an object");
    return T::fromJson(v);
  }
}

// Field access on one JSON object. Unknown keys are ignored; a missing or null optional
// key reads as absent; a present value of the wrong type always fails.
class ObjectReader {
 public:
  // Throws DecodingError when `object` is not a JSON object.
  explicit ObjectReader(const Value& object);

  template <class T>
  T required(const char* key) const {
    const Value* v = find(key);
    if (v == nullptr || v->is_null()) throw DecodingError(std::string("missing key ") + key);
    return readAs<T>(*v, key);
  }

  template <class T>
  std::optional<T> optional(const char* key) const {
    const Value* v = find(key);
    if (v == nullptr || v->is_null()) return std::nullopt;
    return readAs<T>(*v, key);
  }

  template <class T>
  T optionalOr(const char* key, T fallback) const {
    auto v = optional<T>(key);
    return v ? std::move(*v) : std::move(fallback);
  }

  bool has(const char* key) const { return find(key) != nullptr; }

 private:
  const Value* find(const char* key) const;
  const Value& object_;
};

}  // namespace quillbeam::json
