#include "quillbeam/wire/native_host_manifest.hpp"

#include "quillbeam/wire/companion_protocol.hpp"

namespace quillbeam {

NativeHostManifest::NativeHostManifest(std::string bridgePath)
    : name(CompanionProtocol::hostName),
      description("Quillbeam for Mac \u2014 keeps desktop apps in sync with your focus session"),
      path(std::move(bridgePath)),
      type("stdio") {}

std::string NativeHostManifest::origin(std::string_view extensionID) {
  std::string out = "chrome-extension://";
  out += extensionID;
  out += '/';
  return out;
}

std::string NativeHostManifest::json() const {
  // The sorted-map form orders the keys; nlohmann writes "/" as itself and, without
  // ensure_ascii, non-ASCII text as UTF-8.
  const json::Value sorted = toJson();
  return sorted.dump(2);
}

NativeHostManifest NativeHostManifest::fromJson(const json::Value& value) {
  json::ObjectReader r(value);
  NativeHostManifest m;
  m.name = r.required<std::string>(CodingKeys::name);
  m.description = r.required<std::string>(CodingKeys::description);
  m.path = r.required<std::string>(CodingKeys::path);
  m.type = r.required<std::string>(CodingKeys::type);
  m.allowedOrigins = r.required<std::vector<std::string>>(CodingKeys::allowedOrigins);
  return m;
}

json::Ordered NativeHostManifest::toJson() const {
  json::Ordered j = json::Ordered::object();
  j[CodingKeys::name] = name;
  j[CodingKeys::description] = description;
  j[CodingKeys::path] = path;
  j[CodingKeys::type] = type;
  j[CodingKeys::allowedOrigins] = allowedOrigins;
  return j;
}

}  // namespace quillbeam
