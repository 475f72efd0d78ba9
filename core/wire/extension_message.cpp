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

void ExtensionMessage::writeJson(json::Writer& w) const {
  w.beginObject();
  if (const auto* hello = std::get_if<Hello>(&value)) {
    w.field("type", "hello");
    w.field("protocol", hello->protocol);
    w.field("extensionVersion", hello->extensionVersion);
  } else if (const auto* state = std::get_if<State>(&value)) {
    w.field("type", "state");
    w.field("sentAt", state->sentAt);
    // The one null the encoders write: a state always carries its "session" key.
    w.key("session");
    if (state->session) {
      w.value(*state->session);
    } else {
      w.null();
    }
  } else {
    w.field("type", std::get<Unknown>(value).type);
  }
  w.endObject();
}

json::Ordered ExtensionMessage::toJson() const {
  return json::Ordered::parse(encode());
}

}  // namespace quillbeam
