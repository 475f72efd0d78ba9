#pragma once

#include <concepts>
#include <initializer_list>
#include <ranges>
#include <string>
#include <string_view>
#include <vector>

#include "quillbeam/json/strict_json.hpp"

namespace quillbeam {

// The manifest by which a browser finds the bridge as a native messaging host. The core
// builds the record and its text; where the file goes is the installer's business.
struct NativeHostManifest {
  // The JSON keys, in coding order.
  struct CodingKeys {
    static constexpr char name[] = "name";
    static constexpr char description[] = "description";
    static constexpr char path[] = "path";
    static constexpr char type[] = "type";
    static constexpr char allowedOrigins[] = "allowed_origins";
  };

  std::string name;
  std::string description;
  std::string path;
  std::string type;
  std::vector<std::string> allowedOrigins;

  NativeHostManifest() = default;

  // The bridge's manifest: fixed name, description and "stdio" transport, `bridgePath`
  // unchanged, and one "chrome-extension://<id>/" origin per ID, in order, unchecked.
  template <std::ranges::input_range IDs>
  requires std::convertible_to<std::ranges::range_reference_t<IDs>, std::string_view>
  NativeHostManifest(std::string bridgePath, const IDs& extensionIDs)
      : NativeHostManifest(std::move(bridgePath)) {
    for (const auto& id : extensionIDs) allowedOrigins.push_back(origin(id));
  }
  NativeHostManifest(std::string bridgePath, std::initializer_list<std::string_view> extensionIDs)
      : NativeHostManifest(std::move(bridgePath)) {
    for (std::string_view id : extensionIDs) allowedOrigins.push_back(origin(id));
  }

  // Pretty-printed UTF-8 JSON with sorted keys; "/" is never escaped. Throws the
  // encoder's nlohmann::json::type_error when a field holds invalid UTF-8 (a path that
  // cannot be written faithfully is refused rather than mangled).
  std::string json() const;

  // Throws DecodingError when any of the five keys is missing, null or mistyped.
  static NativeHostManifest fromJson(const json::Value& value);
  json::Ordered toJson() const;

  friend bool operator==(const NativeHostManifest&, const NativeHostManifest&) = default;

 private:
  explicit NativeHostManifest(std::string bridgePath);
  static std::string origin(std::string_view extensionID);
};

}  // namespace quillbeam
