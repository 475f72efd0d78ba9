#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillbeam/json/strict_json.hpp"

namespace quillbeam {

// A desktop app that the policy knows by name: a browser or a common distraction.
struct KnownApp {
  enum class Category { browser, chat, games, video, music, social, other };

  struct Categories {
    static constexpr std::array<Category, 7> allCases{
        Category::browser, Category::chat,   Category::games, Category::video,
        Category::music,   Category::social, Category::other};
  };

  std::string name;
  // The first identifier is the app's primary one.
  std::vector<std::string> bundleIDs;
  Category category = Category::other;
  bool blockedByDefault = false;

  // The primary bundle identifier, or the name when there is none.
  const std::string& id() const { return bundleIDs.empty() ? name : bundleIDs.front(); }

  // Exact, case-sensitive match of a raw value; any other text gives no category.
  static std::optional<Category> categoryFromRaw(std::string_view raw);

  // All four keys are required; a category text that is not a raw value fails.
  static KnownApp fromJson(const json::Value& value);
  json::Ordered toJson() const;

  friend bool operator==(const KnownApp&, const KnownApp&) = default;
};

// "browser", "chat", ... as stored in JSON.
std::string_view rawValue(KnownApp::Category category);
// The display title: "Browsers", "Chat & messaging", ...
std::string_view title(KnownApp::Category category);

}  // namespace quillbeam

template <>
struct std::hash<quillbeam::KnownApp> {
  std::size_t operator()(const quillbeam::KnownApp& app) const noexcept;
};
