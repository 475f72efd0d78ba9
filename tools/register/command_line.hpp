#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillbeam::Register {

// What the user asked for on the command line.
struct Options {
  bool uninstall = false;
  bool dryRun = false;
  bool system = false;
  // The user agrees that Flatpak browsers lacking it get the permission to start programs
  // outside their sandbox (which lets them start any program).
  bool letFlatpakRunHostPrograms = false;
  // --browser values, validated against the browser table, without repeats.
  std::vector<std::string> browsers;
  // --user-data-dir values, as given.
  std::vector<std::filesystem::path> userDataDirs;
  // --bridge, as given; absent means the bridge installed beside the tool.
  std::optional<std::filesystem::path> bridge;
  // --extension-id values, validated, without repeats; empty means the product's own IDs.
  std::vector<std::string> extensionIDs;
};

struct ShowHelp {};

// A mistake in the command line, with the text to show.
struct UsageError {
  std::string message;
};

using ParseResult = std::variant<Options, ShowHelp, UsageError>;

// The option by which the user agrees to that: its name says what it lets happen.
inline constexpr char letFlatpakOption[] = "--let-flatpak-browsers-run-any-host-program";

// Reads the arguments after the program name. Accepts "--name value" and "--name=value".
ParseResult parseCommandLine(const std::vector<std::string_view>& arguments);

// A Chromium extension ID: 32 letters from a to p.
bool isExtensionID(std::string_view text);

// The --help text.
std::string helpText();

}  // namespace quillbeam::Register
