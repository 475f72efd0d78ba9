#pragma once

#include <cstdint>
#include <string>

namespace quillbeam::soak {

// Framed messages as the extension sends them. The state reports are those of one running
// session (the same id throughout, as while a session runs): each is persisted, none
// launches the companion app.
std::string framedHello();
std::string framedState(int64_t sequence);

// The session id framedState() reports, and the milestone count it carries for `sequence`.
inline constexpr const char* soakSessionID = "soak-session";
int64_t milestonesFor(int64_t sequence);

}  // namespace quillbeam::soak
