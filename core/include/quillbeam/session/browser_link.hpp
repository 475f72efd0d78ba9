#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "quillbeam/json/json_writer.hpp"
#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/session/session_snapshot.hpp"

namespace quillbeam {

// The record shared by the bridge and the companion app in browser-link.json.
struct BrowserLink {
  BrowserLink() = default;
  BrowserLink(bool connected, int64_t lastSeen, std::optional<std::string> extensionVersion = {},
              std::optional<SessionSnapshot> session = {}, std::optional<int32_t> bridgePID = {})
      : connected(connected),
        lastSeen(lastSeen),
        extensionVersion(std::move(extensionVersion)),
        session(std::move(session)),
        bridgePID(bridgePID) {}

  bool connected = false;
  int64_t lastSeen = 0;
  std::optional<std::string> extensionVersion;
  std::optional<SessionSnapshot> session;
  std::optional<int32_t> bridgePID;

  static BrowserLink fromJson(const json::Value& value);
  void writeJson(json::Writer& writer) const;
  // Compact JSON text, as stored in the file.
  std::string encode() const { return json::encode(*this); }
  json::Ordered toJson() const;

  friend bool operator==(const BrowserLink&, const BrowserLink&) = default;
};

}  // namespace quillbeam
