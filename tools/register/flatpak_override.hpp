#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillbeam::Register {

// The flatpak command that gives the app `appID` (grant) or takes back (revoke) the
// permission to talk to org.freedesktop.Flatpak, in the user's overrides. Revoking sets
// only that name to "none"; the app's other overrides stay as they are.
std::vector<std::string> hostProgramsOverride(std::string_view appID, bool grant);

// The words as a line to type into a shell.
std::string commandLine(const std::vector<std::string>& words);

// Runs the command, found on PATH, and waits for it; what it prints goes to our standard
// error, so that our own output stays one line per browser. Throws std::runtime_error
// saying why when it cannot be started or does not succeed.
void runCommand(const std::vector<std::string>& words);

}  // namespace quillbeam::Register
