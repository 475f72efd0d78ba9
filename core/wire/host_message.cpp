#include "quillbeam/wire/host_message.hpp"

namespace quillbeam {

HostMessage HostMessage::fromJson(const json::Value& value) {
  json::ObjectReader r(value);
  std::string type = r.required<std::string>("type");
  if (type == "hello") {
    return {
        Hello{r.optionalOr<int64_t>("protocol", 0), r.optionalOr<std::string>("appVersion", "")}};
  }
  if (type == "start") return {Start{r.required<SessionDraft>("draft")}};
  if (type == "focus-course") return {FocusCourse{}};
  if (type == "open-quit") return {OpenQuit{}};
  if (type == "app-blocked") return {AppBlocked{r.required<std::string>("app")}};
  throw DecodingError("Unknown host message type " + type);
}

HostMessage HostMessage::decode(std::string_view bytes) {
  return fromJson(json::parse(bytes));
}

void HostMessage::writeJson(json::Writer& w) const {
  w.beginObject();
  std::visit(
      [&w](const auto& m) {
        using M = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<M, Hello>) {
          w.field("type", "hello");
          w.field("protocol", m.protocol);
          w.field("appVersion", m.appVersion);
        } else if constexpr (std::is_same_v<M, Start>) {
          w.field("type", "start");
          w.field("draft", m.draft);
        } else if constexpr (std::is_same_v<M, FocusCourse>) {
          w.field("type", "focus-course");
        } else if constexpr (std::is_same_v<M, OpenQuit>) {
          w.field("type", "open-quit");
        } else {
          w.field("type", "app-blocked");
          w.field("app", m.app);
        }
      },
      value);
  w.endObject();
}

json::Ordered HostMessage::toJson() const {
  return json::Ordered::parse(encode());
}

}  // namespace quillbeam
