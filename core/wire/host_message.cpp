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

json::Ordered HostMessage::toJson() const {
  json::Ordered j = json::Ordered::object();
  std::visit(
      [&j](const auto& m) {
        using M = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<M, Hello>) {
          j["type"] = "hello";
          j["protocol"] = m.protocol;
          j["appVersion"] = m.appVersion;
        } else if constexpr (std::is_same_v<M, Start>) {
          j["type"] = "start";
          j["draft"] = m.draft.toJson();
        } else if constexpr (std::is_same_v<M, FocusCourse>) {
          j["type"] = "focus-course";
        } else if constexpr (std::is_same_v<M, OpenQuit>) {
          j["type"] = "open-quit";
        } else {
          j["type"] = "app-blocked";
          j["app"] = m.app;
        }
      },
      value);
  return j;
}

std::string HostMessage::encode() const {
  return json::compact(toJson());
}

}  // namespace quillbeam
