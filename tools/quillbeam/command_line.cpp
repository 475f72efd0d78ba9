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

Desktop apps during a focus session (the companion):
  apps                running apps, paused or not, and why
  allow APP           let APP run for a while (--minutes N, default 15)
  block APP           pause APP during focus sessions
  unblock APP         stop pausing APP
  settings            show or change the study browser and the browser rules
  resume-all          resume every paused app for the rest of this session

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
      {"apps",
       {},
       {},
       0,
       "Usage: quillbeam apps\nThe running desktop apps the companion sees: name, identifier, "
       "paused or\nrunning, and the verdict with its reason.\n"},
      {"allow",
       {"--minutes"},
       {},
       1,
       "Usage: quillbeam allow APP [--minutes N]\nLets APP (a name such as Discord, or an "
       "identifier) run for N minutes\n(default 15, at most 1440), even during a focus "
       "session.\n"},
      {"block",
       {},
       {},
       1,
       "Usage: quillbeam block APP\nPauses APP (a name such as Discord, or an identifier as "
       "'quillbeam apps'\nshows it) during focus sessions.\n"},
      {"unblock", {}, {}, 1, "Usage: quillbeam unblock APP\nStops pausing APP.\n"},
      {"settings",
       {"--study-browser", "--other-browsers", "--extension-guard"},
       {},
       0,
       "Usage: quillbeam settings [--study-browser BROWSER] [--other-browsers blocked|allowed]\n"
       "                          [--extension-guard on|off]\n"
       "Shows the companion's settings, or changes them.\n"
       "  --study-browser B   the browser you work in with the extension (name or identifier)\n"
       "  --other-browsers    whether other browsers are paused during a session\n"
       "  --extension-guard   whether the study browser's extension must stay on in strict\n"
       "                      sessions\n"},
      {"resume-all",
       {},
       {},
       0,
       "Usage: quillbeam resume-all\nResumes every app the companion paused, and stops "
       "pausing apps until the\nsession in force ends. Works without the companion "
       "running.\n"},
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

// "on"/"off"-style answers of the settings options.
std::optional<bool> choice(std::string_view text, std::string_view yes, std::string_view no) {
  if (text == yes) return true;
  if (text == no) return false;
  return std::nullopt;
}

Request companionRequest(std::string_view command, const Given& given,
                         const std::vector<std::string_view>& operands) {
  using Action = CompanionRequest::Action;
  CompanionRequest request;
  const auto last = [&](std::string_view name) -> std::optional<std::string_view> {
    auto found = given.find(name);
    if (found == given.end() || found->second.empty()) return std::nullopt;
    return found->second.back();
  };
  if (!operands.empty()) request.app = std::string(operands.front());
  if (command == "apps") request.action = Action::apps;
  if (command == "block") request.action = Action::block;
  if (command == "unblock") request.action = Action::unblock;
  if (command == "resume-all") request.action = Action::resumeAll;
  if (command == "allow") {
    request.action = Action::allow;
    if (auto text = last("--minutes")) {
      int64_t number = 0;
      auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), number);
      if (error != std::errc() || end != text->data() + text->size() || number < 1 ||
          number > 1440) {
        return UsageError{"--minutes takes a whole number from 1 to 1440, not '" +
                          std::string(*text) + "'"};
      }
      request.minutes = number;
    }
  }
  if (command == "settings") {
    request.action = Action::settings;
    if (auto browser = last("--study-browser")) request.studyBrowser = std::string(*browser);
    if (auto text = last("--other-browsers")) {
      request.blockOtherBrowsers = choice(*text, "blocked", "allowed");
      if (!request.blockOtherBrowsers) {
        return UsageError{"--other-browsers is blocked or allowed, not '" + std::string(*text) +
                          "'"};
      }
    }
    if (auto text = last("--extension-guard")) {
      request.guardExtension = choice(*text, "on", "off");
      if (!request.guardExtension) {
        return UsageError{"--extension-guard is on or off, not '" + std::string(*text) + "'"};
      }
    }
  }
  return request;
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

  if (command == "apps" || command == "allow" || command == "block" || command == "unblock" ||
      command == "settings" || command == "resume-all") {
    return companionRequest(command, given, operands);
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
