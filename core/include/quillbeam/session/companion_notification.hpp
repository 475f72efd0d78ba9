#pragma once

namespace quillbeam::CompanionNotification {

// Posted by the bridge after every write of browser-link.json.
inline constexpr const char* browserState = "com.quillbeam.companion.browserState";
// Posted by the companion app; its "json" user info holds one host message.
inline constexpr const char* command = "com.quillbeam.companion.command";

}  // namespace quillbeam::CompanionNotification

// Where the companion app answers on the session bus, for the bridge, `quillbeam` and
// scripts:
//   busctl --user call com.quillbeam.mac /com/quillbeam/mac com.quillbeam.Companion ListApps
namespace quillbeam::CompanionBus {

inline constexpr const char* name = "com.quillbeam.mac";
inline constexpr const char* path = "/com/quillbeam/mac";
inline constexpr const char* interface = "com.quillbeam.Companion";

}  // namespace quillbeam::CompanionBus
