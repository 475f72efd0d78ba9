#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "quillbeam/json/strict_json.hpp"

namespace quillbeam {

// One entry of the user's blocked-app list.
struct BlockedApp {
  std::string name;
  std::string bundleID;

  const std::string& id() const { return bundleID; }

  // Both keys are required.
  static BlockedApp fromJson(const json::Value& value);
  json::Ordered toJson() const;

  friend bool operator==(const BlockedApp&, const BlockedApp&) = default;
};

}  // namespace quillbeam

template <>
struct std::hash<quillbeam::BlockedApp> {
  std::size_t operator()(const quillbeam::BlockedApp& app) const noexcept;
};
