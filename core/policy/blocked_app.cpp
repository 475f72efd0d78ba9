#include "quillbeam/policy/blocked_app.hpp"

#include "hash_combine.hpp"

namespace quillbeam {

BlockedApp BlockedApp::fromJson(const json::Value& value) {
  json::ObjectReader r(value);
  BlockedApp app;
  app.name = r.required<std::string>("name");
  app.bundleID = r.required<std::string>("bundleID");
  return app;
}

json::Ordered BlockedApp::toJson() const {
  json::Ordered j = json::Ordered::object();
  j["name"] = name;
  j["bundleID"] = bundleID;
  return j;
}

}  // namespace quillbeam

std::size_t std::hash<quillbeam::BlockedApp>::operator()(
    const quillbeam::BlockedApp& app) const noexcept {
  std::size_t seed = 0;
  quillbeam::detail::hashCombine(seed, app.name);
  quillbeam::detail::hashCombine(seed, app.bundleID);
  return seed;
}
