#include "quillbeam/session/browser_link.hpp"

namespace quillbeam {

BrowserLink BrowserLink::fromJson(const json::Value& value) {
  json::ObjectReader r(value);
  BrowserLink link;
  link.connected = r.required<bool>("connected");
  link.lastSeen = r.required<int64_t>("lastSeen");
  link.extensionVersion = r.optional<std::string>("extensionVersion");
  link.session = r.optional<SessionSnapshot>("session");
  link.bridgePID = r.optional<int32_t>("bridgePID");
  return link;
}

json::Ordered BrowserLink::toJson() const {
  json::Ordered j = json::Ordered::object();
  j["connected"] = connected;
  j["lastSeen"] = lastSeen;
  json::putOptional(j, "extensionVersion", extensionVersion);
  json::putOptional(j, "session", session);
  json::putOptional(j, "bridgePID", bridgePID);
  return j;
}

std::string BrowserLink::encode() const {
  return json::compact(toJson());
}

}  // namespace quillbeam
