#include "app_listing.hpp"

namespace quillbeam::companion {
namespace {

std::optional<ShieldReason> reasonNamed(std::string_view text) {
  for (auto reason :
       {ShieldReason::distractingApp, ShieldReason::otherBrowser, ShieldReason::extensionOff}) {
    if (name(reason) == text) return reason;
  }
  return std::nullopt;
}

}  // namespace

void writeListings(platform::dbus::Writer& out, const std::vector<AppListing>& apps) {
  const auto array = out.beginArray(8);
  for (const auto& app : apps) {
    out.align(8);
    out.string(app.bundleID);
    out.string(app.name);
    out.string(app.linuxId);
    out.boolean(app.paused);
    out.string(!app.shield ? "allow" : app.spared ? "spare" : "shield");
    out.string(app.shield ? name(*app.shield) : "");
  }
  out.endArray(array);
}

std::vector<AppListing> readListings(platform::dbus::Reader& in) {
  std::vector<AppListing> apps;
  const size_t end = in.beginArray(8);
  while (in.position() < end) {
    in.align(8);
    AppListing app;
    app.bundleID = in.string();
    app.name = in.string();
    app.linuxId = in.string();
    app.paused = in.boolean();
    const std::string_view verdict = in.string();
    const auto reason = reasonNamed(in.string());
    if (verdict == "shield" || verdict == "spare") {
      if (!reason) throw platform::dbus::ProtocolError("a shield without a known reason");
      app.shield = reason;
      app.spared = verdict == "spare";
    }
    apps.push_back(std::move(app));
  }
  return apps;
}

std::string verdictText(const AppListing& app) {
  if (!app.shield) return "allowed";
  const std::string prefix =
      app.spared ? "not paused: the extension runs in it (shielded: " : "shielded: ";
  const std::string suffix = app.spared ? ")" : "";
  switch (*app.shield) {
    case ShieldReason::distractingApp:
      return prefix + "on your blocked list" + suffix;
    case ShieldReason::otherBrowser:
      return prefix + "not the study browser" + suffix;
    case ShieldReason::extensionOff:
      return prefix + "the extension is off in it (left usable to turn it back on)" + suffix;
  }
  return "shielded";
}

}  // namespace quillbeam::companion
