#include "quillbeam/policy/known_app.hpp"

#include "hash_combine.hpp"

namespace quillbeam {

std::string_view rawValue(KnownApp::Category category) {
  using C = KnownApp::Category;
  switch (category) {
    case C::browser:
      return "browser";
    case C::chat:
      return "chat";
    case C::games:
      return "games";
    case C::video:
      return "video";
    case C::music:
      return "music";
    case C::social:
      return "social";
    case C::other:
      break;
  }
  return "other";
}

std::string_view title(KnownApp::Category category) {
  using C = KnownApp::Category;
  switch (category) {
    case C::browser:
      return "Browsers";
    case C::chat:
      return "Chat & messaging";
    case C::games:
      return "Games";
    case C::video:
      return "Video & streaming";
    case C::music:
      return "Music & podcasts";
    case C::social:
      return "Social & news";
    case C::other:
      break;
  }
  return "Other";
}

std::optional<KnownApp::Category> KnownApp::categoryFromRaw(std::string_view raw) {
  for (Category c : Categories::allCases) {
    if (rawValue(c) == raw) return c;
  }
  return std::nullopt;
}

KnownApp KnownApp::fromJson(const json::Value& value) {
  json::ObjectReader r(value);
  KnownApp app;
  app.name = r.required<std::string>("name");
  app.bundleIDs = r.required<std::vector<std::string>>("bundleIDs");
  const std::string raw = r.required<std::string>("category");
  auto category = categoryFromRaw(raw);
  if (!category) throw DecodingError("category: unknown value " + raw);
  app.category = *category;
  app.blockedByDefault = r.required<bool>("blockedByDefault");
  return app;
}

json::Ordered KnownApp::toJson() const {
  json::Ordered j = json::Ordered::object();
  j["name"] = name;
  j["bundleIDs"] = bundleIDs;
  j["category"] = rawValue(category);
  j["blockedByDefault"] = blockedByDefault;
  return j;
}

}  // namespace quillbeam

std::size_t std::hash<quillbeam::KnownApp>::operator()(
    const quillbeam::KnownApp& app) const noexcept {
  std::size_t seed = 0;
  quillbeam::detail::hashCombine(seed, app.name);
  for (const auto& id : app.bundleIDs) quillbeam::detail::hashCombine(seed, id);
  quillbeam::detail::hashCombine(seed, app.bundleIDs.size());
  quillbeam::detail::hashCombine(seed, rawValue(app.category));
  quillbeam::detail::hashCombine(seed, app.blockedByDefault);
  return seed;
}
