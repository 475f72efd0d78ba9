// What the JSON readers must do: whatever decodes encodes to text that decodes to an equal
// value and encodes again to the same text; decoding may fail only with DecodingError,
// anything else escaping is a crash.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "quillbeam/json/strict_json.hpp"

template <class T>
std::optional<T> attempt(T (*decode)(std::string_view), std::string_view text) {
  try {
    return decode(text);
  } catch (const quillbeam::DecodingError&) {
    return std::nullopt;
  }
}

template <class T>
void roundTrip(std::string_view text) {
  namespace json = quillbeam::json;
  T (*read)(std::string_view) = [](std::string_view t) { return T::fromJson(json::parse(t)); };
  const std::optional<T> first = attempt(read, text);
  // The bridge's own entry point agrees with reading the document.
  if constexpr (requires { T::decode(text); }) FUZZ_CHECK(attempt(T::decode, text) == first);
  if (!first) return;
  const std::string encoded = json::compact(first->toJson());
  FUZZ_CHECK(read(encoded) == *first && json::compact(read(encoded).toJson()) == encoded);
  // What goes to the file and the pipe is written straight to text, or pretty-printed.
  if constexpr (requires { first->encode(); }) FUZZ_CHECK(read(first->encode()) == *first);
  if constexpr (requires { first->json(); }) FUZZ_CHECK(read(first->json()) == *first);
}
