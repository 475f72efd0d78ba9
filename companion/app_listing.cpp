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
    out.string(app.shield ? "shield" : "allow");
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
    const bool shielded = in.string() == "shield";
    const auto reason = reasonNamed(in.string());
    if (shielded) {
      if (!reason) throw platform::dbus::ProtocolError("a shield without a known reason");
      app.shield = reason;
    }
    apps.push_back(std::move(app));
  }
  return apps;
}

std::string verdictText(const AppListing& app) {
  if (!app.shield) return "allowed";
  switch (*app.shield) {
    case ShieldReason::distractingApp:
      return "shielded: on your blocked list";
    case ShieldReason::otherBrowser:
      return "shielded: not the study browser";
    case ShieldReason::extensionOff:
      return "shielded: the extension is off in it (left usable to turn it back on)";
  }
  return "shielded";
}

}  // namespace quillbeam::companion
