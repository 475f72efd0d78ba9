#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "quillbeam/json/json_writer.hpp"
#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/session/session_snapshot.hpp"

namespace quillbeam {

// A message from the browser extension to the bridge.
struct ExtensionMessage {
  struct Hello {
    int64_t protocol = 0;
    std::string extensionVersion;
    friend bool operator==(const Hello&, const Hello&) = default;
  };
  struct State {
    int64_t sentAt = 0;
    std::optional<SessionSnapshot> session;
    friend bool operator==(const State&, const State&) = default;
  };
  // Any type this side does not know; only the type text is kept.
  struct Unknown {
    std::string type;
    friend bool operator==(const Unknown&, const Unknown&) = default;
  };

  // The JSON keys, in coding order.
  static constexpr std::array<std::string_view, 5> Keys{"type", "protocol", "extensionVersion",
                                                        "sentAt", "session"};

  std::variant<Hello, State, Unknown> value;

  // Throws DecodingError on bad JSON, a missing or non-text "type" or a mistyped field.
  static ExtensionMessage fromJson(const json::Value& value);
  static ExtensionMessage decode(std::string_view bytes);
  void writeJson(json::Writer& writer) const;
  std::string encode() const { return json::encode(*this); }
  json::Ordered toJson() const;

  friend bool operator==(const ExtensionMessage&, const ExtensionMessage&) = default;
};

}  // namespace quillbeam
