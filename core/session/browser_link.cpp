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

void BrowserLink::writeJson(json::Writer& w) const {
  w.beginObject();
  w.field("connected", connected);
  w.field("lastSeen", lastSeen);
  w.field("extensionVersion", extensionVersion);
  w.field("session", session);
  w.field("bridgePID", bridgePID);
  w.endObject();
}

json::Ordered BrowserLink::toJson() const {
  return json::Ordered::parse(encode());
}

}  // namespace quillbeam
