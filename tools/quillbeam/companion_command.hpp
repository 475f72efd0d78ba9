#pragma once

#include "command_line.hpp"

namespace quillbeam::cli {

// The companion's commands: apps, allow, block, unblock, settings, resume-all. They ask the
// running companion on the session bus, and do without it what can be done without it
// (settings and allowances are files it reads; resume-all resumes what its record holds).
// Returns the exit status, having said why on standard error when it is not success.
int runCompanionCommand(const CompanionRequest& request);

}  // namespace quillbeam::cli
