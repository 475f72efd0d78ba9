#include "quillbeam/wire/extension_message.hpp"

namespace quillbeam {

ExtensionMessage ExtensionMessage::fromJson(const json::Value& value) {
  json::ObjectReader r(value);
  std::string type = r.required<std::string>("type");
  if (type == "hello") {
    return {Hello{r.optionalOr<int64_t>("protocol", 0),
                  r.optionalOr<std::string>("extensionVersion", "")}};
  }
  if (type == "state") {
    return {State{r.optionalOr<int64_t>("sentAt", 0), r.optional<SessionSnapshot>("session")}};
  }
  return {Unknown{std::move(type)}};
}

ExtensionMessage ExtensionMessage::decode(std::string_view bytes) {
  return fromJson(json::parse(bytes));
}

json::Ordered ExtensionMessage::toJson() const {
  json::Ordered j = json::Ordered::object();
  if (const auto* hello = std::get_if<Hello>(&value)) {
    j["type"] = "hello";
    j["protocol"] = hello->protocol;
    j["extensionVersion"] = hello->extensionVersion;
  } else if (const auto* state = std::get_if<State>(&value)) {
    j["type"] = "state";
    j["sentAt"] = state->sentAt;
    // The one null the encoders write: a state always carries its "session" key.
    j["session"] = state->session ? state->session->toJson() : json::Ordered();
  } else {
    j["type"] = std::get<Unknown>(value).type;
  }
  return j;
}

std::string ExtensionMessage::encode() const {
  return json::compact(toJson());
}

}  // namespace quillbeam
