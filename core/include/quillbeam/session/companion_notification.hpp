#pragma once

namespace quillbeam::CompanionNotification {

// Posted by the bridge after every write of browser-link.json.
inline constexpr const char* browserState = "com.quillbeam.companion.browserState";
// Posted by the companion app; its "json" user info holds one host message.
inline constexpr const char* command = "com.quillbeam.companion.command";

}  // namespace quillbeam::CompanionNotification
