#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "quillbeam/json/json_writer.hpp"
#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/session/session_draft.hpp"

namespace quillbeam {

// A message from the bridge (or, relayed, the companion app) to the extension.
struct HostMessage {
  struct Hello {
    int64_t protocol = 0;
    std::string appVersion;
    friend bool operator==(const Hello&, const Hello&) = default;
  };
  struct Start {
    SessionDraft draft;
    friend bool operator==(const Start&, const Start&) = default;
  };
  struct FocusCourse {
    friend bool operator==(const FocusCourse&, const FocusCourse&) = default;
  };
  struct OpenQuit {
    friend bool operator==(const OpenQuit&, const OpenQuit&) = default;
  };
  struct AppBlocked {
    std::string app;
    friend bool operator==(const AppBlocked&, const AppBlocked&) = default;
  };

  // The JSON keys, in coding order.
  static constexpr std::array<std::string_view, 5> Keys{"type", "protocol", "appVersion", "draft",
                                                        "app"};

  std::variant<Hello, Start, FocusCourse, OpenQuit, AppBlocked> value;

  // Throws DecodingError; an unknown type fails with the text
  // "Unknown host message type " + type.
  static HostMessage fromJson(const json::Value& value);
  static HostMessage decode(std::string_view bytes);
  void writeJson(json::Writer& writer) const;
  std::string encode() const { return json::encode(*this); }
  json::Ordered toJson() const;

  friend bool operator==(const HostMessage&, const HostMessage&) = default;
};

}  // namespace quillbeam
