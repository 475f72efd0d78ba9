#include "command_line.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <map>
#include <optional>

#include "quillbeam/session/strictness.hpp"

namespace quillbeam::cli {
namespace {

constexpr std::string_view overviewHelp = R"(Usage: quillbeam COMMAND [OPTIONS]
The Quillbeam browser extension from a shell, a shortcut or a status bar.

Commands:
  status              whether a browser is connected, and the focus session in force
  start               start a focus session in the browser
  focus-course        send the focus-course command to the extension
  open-quit           send the open-quit command to the extension
  app-blocked APP     tell the extension that APP was blocked

'quillbeam COMMAND --help' shows a command's options.
Exit status: 0 done, 1 failed, 2 wrong usage, 3 no browser connected (nothing sent).
)";

constexpr std::string_view anywayHelp =
    "  --anyway            send even when no browser is connected (otherwise exit 3)\n";

// What each command accepts.
struct CommandSyntax {
  std::string_view name;
  std::vector<std::string_view> valued;  // options that take a value
  std::vector<std::string_view> flags;
  size_t operands;
  std::string help;
};

const std::vector<CommandSyntax>& commands() {
  static const std::vector<CommandSyntax> syntaxes{
      {"status",
       {},
       {"--json", "--watch"},
       0,
       "Usage: quillbeam status [--json] [--watch]\n"
       "Whether a browser is connected, and the focus session in force.\n"
       "  --json              one JSON object per report, for status bars and scripts\n"
       "  --watch             report again on every change the bridge announces, and every\n"
       "                      second while a countdown runs; ends on Ctrl-C\n"},
      {"start",
       {"--goal", "--minutes", "--milestone", "--strictness", "--anchor"},
       {"--anyway"},
       0,
       "Usage: quillbeam start --goal TEXT (--minutes N | --milestone TEXT ...)\n"
       "                       [--strictness gentle|strict|lockdown] [--anchor SITE ...]\n"
       "Starts a focus session in the browser: a timer of N minutes (5 to 480), or a goal\n"
       "with milestones to check off.\n"
       "  --goal TEXT         what you want to get done\n"
       "  --minutes N         a timer session of N minutes\n"
       "  --milestone TEXT    a goal session; repeat for each milestone\n"
       "  --strictness S      gentle, strict (the default) or lockdown\n"
       "  --anchor SITE       a site you study on, e.g. example.org; repeatable\n" +
           std::string(anywayHelp)},
      {"focus-course",
       {},
       {"--anyway"},
       0,
       "Usage: quillbeam focus-course [--anyway]\nSends the focus-course command to the "
       "extension.\n" +
           std::string(anywayHelp)},
      {"open-quit",
       {},
       {"--anyway"},
       0,
       "Usage: quillbeam open-quit [--anyway]\nSends the open-quit command to the extension.\n" +
           std::string(anywayHelp)},
      {"app-blocked",
       {},
       {"--anyway"},
       1,
       "Usage: quillbeam app-blocked APP [--anyway]\nTells the extension that the app APP was "
       "blocked.\n" +
           std::string(anywayHelp)},
  };
  return syntaxes;
}

bool contains(const std::vector<std::string_view>& list, std::string_view item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// Option name to every value given for it, in order (an empty list for a flag).
using Given = std::map<std::string_view, std::vector<std::string_view>>;

Request startRequest(const Given& given, bool anyway) {
  auto values = [&](std::string_view name) {
    auto found = given.find(name);
    return found == given.end() ? std::vector<std::string_view>{} : found->second;
  };
  SessionDraft draft;
  if (auto goal = values("--goal"); !goal.empty()) draft.goal = goal.back();
  for (auto anchor : values("--anchor")) draft.anchors.emplace_back(anchor);
  for (auto milestone : values("--milestone")) draft.milestones.emplace_back(milestone);
  const auto minutes = values("--minutes");
  if (!minutes.empty() && given.contains("--milestone")) {
    return UsageError{
        "--minutes and --milestone do not go together: a session runs on a timer "
        "or on milestones"};
  }
  draft.mode = given.contains("--milestone") ? SessionMode::goal : SessionMode::timer;
  if (!minutes.empty()) {
    const std::string_view text = minutes.back();
    int64_t number = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size()) {
      return UsageError{"--minutes takes a whole number, not '" + std::string(text) + "'"};
    }
    draft.durationMin = number;
  }
  if (auto strictness = values("--strictness"); !strictness.empty()) {
    auto chosen = strictnessFromRaw(strictness.back());
    if (!chosen) {
      return UsageError{"--strictness is gentle, strict or lockdown, not '" +
                        std::string(strictness.back()) + "'"};
    }
    draft.strictness = *chosen;
  }
  return CommandRequest{HostMessage{HostMessage::Start{std::move(draft)}}, anyway};
}

}  // namespace

Request parseCommandLine(const std::vector<std::string_view>& arguments) {
  if (arguments.empty()) return UsageError{"no command given"};
  const std::string_view command = arguments.front();
  if (command == "--help" || command == "-h" || command == "help") {
    return HelpRequest{std::string(overviewHelp)};
  }
  const auto& syntaxes = commands();
  const auto syntax = std::find_if(syntaxes.begin(), syntaxes.end(),
                                   [&](const CommandSyntax& s) { return s.name == command; });
  if (syntax == syntaxes.end()) return UsageError{"unknown command '" + std::string(command) + "'"};

  Given given;
  std::vector<std::string_view> operands;
  bool optionsEnded = false;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string_view argument = arguments[i];
    if (optionsEnded || !argument.starts_with("-") || argument == "-") {
      operands.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    if (argument == "--help" || argument == "-h") return HelpRequest{syntax->help};
    const size_t equals = argument.find('=');
    const std::string_view name = argument.substr(0, equals);
    const bool takesValue = contains(syntax->valued, name);
    if (!takesValue && !contains(syntax->flags, name)) {
      return UsageError{std::string(command) + " has no option " + std::string(name)};
    }
    auto& values = given[name];
    if (!takesValue) {
      if (equals != std::string_view::npos)
        return UsageError{std::string(name) + " takes no value"};
    } else if (equals != std::string_view::npos) {
      values.push_back(argument.substr(equals + 1));
    } else if (i + 1 < arguments.size()) {
      values.push_back(arguments[++i]);
    } else {
      return UsageError{std::string(name) + " needs a value"};
    }
  }
  if (operands.size() != syntax->operands) {
    return UsageError{syntax->operands == 0 ? std::string(command) + " takes no arguments"
                                            : std::string(command) + " takes one argument"};
  }

  const bool anyway = given.contains("--anyway");
  if (command == "status")
    return StatusRequest{given.contains("--json"), given.contains("--watch")};
  if (command == "start") return startRequest(given, anyway);
  if (command == "focus-course") return CommandRequest{{HostMessage::FocusCourse{}}, anyway};
  if (command == "open-quit") return CommandRequest{{HostMessage::OpenQuit{}}, anyway};
  return CommandRequest{{HostMessage::AppBlocked{std::string(operands.front())}}, anyway};
}

}  // namespace quillbeam::cli
