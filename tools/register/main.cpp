// quillbeam-register: registers the bridge as a native messaging host with the
// Chromium-family browsers on this machine, or removes the registration. Run with --help.
#include <cerrno>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>
#include <vector>

#include "bridge_path.hpp"
#include "command_line.hpp"
#include "environment.hpp"
#include "flatpak_registration.hpp"
#include "host_launcher.hpp"
#include "manifest_file.hpp"
#include "quillbeam/wire/companion_protocol.hpp"
#include "quillbeam/wire/native_host_manifest.hpp"
#include "registration_plan.hpp"

namespace {

using namespace quillbeam;
using namespace quillbeam::Register;

constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

void complain(std::string_view text) {
  std::cerr << "quillbeam-register: " << text << "\n";
}

std::string failureText(const std::exception& error) {
  std::string text = std::string("failed: ") + error.what();
  if (const auto* system = dynamic_cast<const std::system_error*>(&error)) {
    const int code = system->code().value();
    if (code == EACCES || code == EPERM || code == EROFS) {
      text += " (not allowed here: folders for all users need root, e.g. sudo)";
    }
  }
  return text;
}

std::string installText(WriteOutcome outcome, const std::string& path, bool dryRun) {
  switch (outcome) {
    case WriteOutcome::unchanged:
      return "already registered " + path;
    case WriteOutcome::replaced:
      return dryRun ? "would register " + path + " (replacing the manifest there)"
                    : "registered " + path + " (replaced the manifest there)";
    case WriteOutcome::created:
      break;
  }
  return (dryRun ? "would register " : "registered ") + path;
}

std::string removeText(RemoveOutcome outcome, const std::string& path, bool dryRun) {
  if (outcome == RemoveOutcome::absent) return "not registered";
  return (dryRun ? "would remove " : "removed ") + path;
}

std::string manifestText(const Options& options, const std::filesystem::path& bridge) {
  std::vector<std::string> ids = options.extensionIDs;
  if (ids.empty())
    ids.assign(CompanionProtocol::extensionIDs.begin(), CompanionProtocol::extensionIDs.end());
  return NativeHostManifest(bridge.string(), ids).json() + "\n";
}

int run(const Options& options) {
  const Environment environment = Environment::fromProcess();

  std::string manifest;
  std::filesystem::path bridgePath;
  if (!options.uninstall) {
    auto bridge = checkBridge(options.bridge, environment.toolDirectory);
    if (const auto* problem = std::get_if<BridgeProblem>(&bridge)) {
      complain(problem->message);
      return exitUsage;
    }
    bridgePath = std::get<std::filesystem::path>(bridge);
    try {
      manifest = manifestText(options, bridgePath);
    } catch (const std::exception&) {
      complain("the bridge path is not valid UTF-8 text, which a manifest cannot hold");
      return exitUsage;
    }
  }

  const Plan plan = planSteps(options, environment);
  bool failed = false;
  bool wrote = false;
  std::string flatpakFilesShown;
  for (const Step& step : plan.steps) {
    std::string text;
    if (!step.manifest) {
      text = step.skipReason;
      failed = failed || step.failed;
    } else if (step.flatpak) {
      try {
        if (options.uninstall) {
          text = unregisterFlatpak(*step.flatpak, options.dryRun);
        } else {
          const FlatpakFilesText files{launcherText(bridgePath),
                                       manifestText(options, step.flatpak->launcher)};
          text = registerFlatpak(*step.flatpak, files, options.dryRun);
          flatpakFilesShown += "\nFor " + step.label + ", the launcher " +
                               step.flatpak->launcher.string() + ":\n" + files.launcher +
                               "and the manifest:\n" + files.manifest;
        }
      } catch (const std::exception& error) {
        text = failureText(error);
        failed = true;
      }
    } else {
      const std::string path = step.manifest->string();
      try {
        if (options.uninstall) {
          text = removeText(removeManifest(*step.manifest, options.dryRun), path, options.dryRun);
        } else {
          text = installText(writeManifest(*step.manifest, manifest, options.dryRun), path,
                             options.dryRun);
          wrote = true;
        }
      } catch (const std::exception& error) {
        text = failureText(error);
        failed = true;
      }
    }
    std::cout << step.label << ": " << text << "\n";
  }

  if (plan.searchedWithoutResult) {
    const std::string where = plan.searchedWithoutResult->string();
    if (options.uninstall) {
      std::cout << "nothing to remove: no browser profile folder in " << where << "\n";
    } else if (options.system) {
      complain(
          "found no Google Chrome, Chromium or Microsoft Edge installed for all users "
          "(under " +
          where + "); name one with --browser NAME");
      failed = true;
    } else {
      complain("found no Chromium-family browser profile in " + where +
               "; start the browser once, name it with --browser NAME, or register a "
               "profile folder with --user-data-dir DIR");
      failed = true;
    }
  }
  if (options.dryRun && wrote) std::cout << "\nThe manifest:\n" << manifest;
  if (options.dryRun) std::cout << flatpakFilesShown;
  std::cout.flush();
  if (!std::cout) return exitFailure;
  return failed ? exitFailure : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const ParseResult parsed = parseCommandLine(arguments);
  if (std::holds_alternative<ShowHelp>(parsed)) {
    std::cout << helpText();
    return 0;
  }
  if (const auto* error = std::get_if<UsageError>(&parsed)) {
    complain(error->message);
    std::cerr << "Try 'quillbeam-register --help'.\n";
    return exitUsage;
  }
  try {
    return run(std::get<Options>(parsed));
  } catch (const std::exception& error) {
    complain(error.what());
    return exitFailure;
  }
}
