#pragma once

// The property every JSON record and message shares: whatever decodes, encodes to text
// that decodes to an equal value, and encoding that value again gives the same text.
// Decoding may fail only with DecodingError; any other exception escapes and is a crash.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "quillbeam/json/decoding_error.hpp"
#include "quillbeam/json/json_writer.hpp"
#include "quillbeam/json/strict_json.hpp"

namespace quillbeam::fuzz {

inline std::string_view asText(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

template <class T>
T decodeRecord(std::string_view text) {
  return T::fromJson(json::parse(text));
}

// Checks the property for `text`; returns the decoded value, or nothing when `text` does
// not decode.
template <class T>
std::optional<T> checkRoundTrip(std::string_view text) {
  std::optional<T> first;
  try {
    first.emplace(decodeRecord<T>(text));
  } catch (const DecodingError&) {
    return std::nullopt;
  }
  const std::string encoded = json::compact(first->toJson());
  // Our own text must decode: a throw here escapes and is reported as a crash.
  const T second = decodeRecord<T>(encoded);
  FUZZ_CHECK(second == *first);
  FUZZ_CHECK(json::compact(second.toJson()) == encoded);
  // Records that also write themselves straight to text (what goes to the file and the
  // pipe) must agree with their document form.
  if constexpr (requires(const T& t, json::Writer& w) { t.writeJson(w); }) {
    const std::string written = json::encode(*first);
    FUZZ_CHECK(decodeRecord<T>(written) == *first);
    FUZZ_CHECK(json::encode(decodeRecord<T>(written)) == written);
  }
  return first;
}

}  // namespace quillbeam::fuzz
