#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quillbeam/session/session_draft.hpp"
#include "quillbeam/wire/host_message.hpp"

namespace quillbeam::cli {

// quillbeam status [--json] [--watch]
struct StatusRequest {
  bool json = false;
  bool watch = false;
};

// quillbeam start | focus-course | open-quit | app-blocked APP. A start carries the draft
// as typed: anchors are not normalised yet and nothing is validated.
struct CommandRequest {
  HostMessage message;
  bool anyway = false;  // send even when no browser is connected
};

// quillbeam apps | allow APP | block APP | unblock APP | settings | resume-all: the desktop
// companion's side.
struct CompanionRequest {
  enum class Action { apps, allow, block, unblock, settings, resumeAll };
  Action action = Action::apps;
  std::string app;       // allow, block, unblock: a catalog name or an app identifier
  int64_t minutes = 15;  // allow
  // settings: what to change; nothing given shows them.
  std::optional<std::string> studyBrowser;
  std::optional<bool> blockOtherBrowsers;
  std::optional<bool> guardExtension;
};

struct HelpRequest {
  std::string text;
};

// A mistake in the command line, with the text to show.
struct UsageError {
  std::string message;
};

using Request =
    std::variant<StatusRequest, CommandRequest, CompanionRequest, HelpRequest, UsageError>;

// Reads the arguments after the program name. Options take "--name value" or
// "--name=value".
Request parseCommandLine(const std::vector<std::string_view>& arguments);

}  // namespace quillbeam::cli
