#include "command_line.hpp"

#include <algorithm>

#include "browser_table.hpp"

namespace quillbeam::Register {
namespace {

// The --browser values, comma-separated; with `indent`, wrapped into lines that start
// with that many spaces.
std::string browserNames(size_t indent = 0) {
  constexpr size_t width = 80;
  std::string names;
  size_t column = indent;
  for (const auto& browser : browserLocations()) {
    if (!names.empty()) {
      names += ",";
      ++column;
      if (indent > 0 && column + 1 + browser.option.size() + 1 > width) {
        names += "\n" + std::string(indent, ' ');
        column = indent;
      } else {
        names += " ";
        ++column;
      }
    }
    names += browser.option;
    column += browser.option.size();
  }
  return names;
}

template <typename T>
void addOnce(std::vector<T>& list, T value) {
  if (std::find(list.begin(), list.end(), value) == list.end()) list.push_back(std::move(value));
}

}  // namespace

bool isExtensionID(std::string_view text) {
  return text.size() == 32 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= 'a' && c <= 'p'; });
}

ParseResult parseCommandLine(const std::vector<std::string_view>& arguments) {
  Options options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    std::string_view argument = arguments[i];
    std::string_view name = argument;
    std::optional<std::string_view> inlineValue;
    if (argument.starts_with("--")) {
      if (auto equals = argument.find('='); equals != std::string_view::npos) {
        name = argument.substr(0, equals);
        inlineValue = argument.substr(equals + 1);
      }
    }
    const bool takesValue = name == "--browser" || name == "--user-data-dir" ||
                            name == "--bridge" || name == "--extension-id";
    if (!takesValue && inlineValue) {
      return UsageError{std::string(name) + " takes no value"};
    }
    std::string_view value;
    if (takesValue) {
      if (inlineValue) {
        value = *inlineValue;
      } else if (i + 1 < arguments.size()) {
        value = arguments[++i];
      } else {
        return UsageError{std::string(name) + " needs a value"};
      }
      if (value.empty()) return UsageError{std::string(name) + " needs a value"};
    }

    if (name == "--help" || name == "-h") {
      return ShowHelp{};
    } else if (name == "--uninstall") {
      options.uninstall = true;
    } else if (name == "--dry-run") {
      options.dryRun = true;
    } else if (name == "--system") {
      options.system = true;
    } else if (name == letFlatpakOption) {
      options.letFlatpakRunHostPrograms = true;
    } else if (name == "--browser") {
      if (!findBrowser(value)) {
        return UsageError{"unknown browser \"" + std::string(value) +
                          "\"; known browsers: " + browserNames()};
      }
      addOnce(options.browsers, std::string(value));
    } else if (name == "--user-data-dir") {
      addOnce(options.userDataDirs, std::filesystem::path(value));
    } else if (name == "--bridge") {
      options.bridge = std::filesystem::path(value);
    } else if (name == "--extension-id") {
      if (!isExtensionID(value)) {
        return UsageError{"\"" + std::string(value) +
                          "\" is not an extension ID (32 letters from a to p, as shown on the "
                          "browser's extensions page)"};
      }
      addOnce(options.extensionIDs, std::string(value));
    } else {
      return UsageError{"unknown option \"" + std::string(argument) + "\"; see --help"};
    }
  }
  return options;
}

std::string helpText() {
  return R"(Usage: quillbeam-register [options]

Registers the Quillbeam bridge (quillbeam_bridge) as the native messaging host
"com.quillbeam.companion" with Chromium-family browsers, or removes it again.
It writes the host manifest com.quillbeam.companion.json into each browser's
NativeMessagingHosts folder and prints one line per browser.

By default it registers for every browser that has a profile folder under
$XDG_CONFIG_HOME (default ~/.config) or is installed from packages, and says
which ones it found.

Options:
  --browser NAME       Only this browser (repeatable). Known names:
                       )" +
         browserNames(23) +
         R"(
  --user-data-dir DIR  Register into DIR/NativeMessagingHosts, for a browser
                       started with --user-data-dir=DIR (it reads only that
                       folder).
                       Repeatable; with it, browsers are only those named
                       with --browser.
  --system             Register for all users, in the browsers' folders under
                       /etc (Google Chrome, Chromium, Microsoft Edge; needs
                       root).
  --bridge PATH        Absolute path of the quillbeam_bridge executable
                       (default: the one installed beside this tool).
  --extension-id ID    Extension allowed to connect (repeatable; default: the
                       Quillbeam extension).
  --uninstall          Remove the manifest instead (from every browser folder
                       where it is found, or from those chosen above).
  --dry-run            Print what would be written or removed; change nothing.
  --let-flatpak-browsers-run-any-host-program
                       Agree that a browser installed as a Flatpak is given
                       the permission to talk to org.freedesktop.Flatpak, by
                         flatpak override --user \
                           --talk-name=org.freedesktop.Flatpak APP-ID
                       It needs that to start the bridge outside its sandbox
                       (flatpak-spawn --host), and it lets the browser run
                       ANY program on this computer as you, outside its
                       sandbox. Without this option a Flatpak browser that
                       lacks the permission is left alone and the command is
                       shown. --uninstall takes back only what this tool gave.
  -h, --help           Show this text.

A Flatpak browser gets its manifest in ~/.var/app/APP-ID/config/, naming a
launcher in ~/.var/app/APP-ID/quillbeam/ that runs the installed bridge on the
host. A browser installed as a Snap cannot start a program outside the snap at
all; it is reported and left alone.

To check, look at the file a line names, e.g.
  cat ~/.config/chromium/NativeMessagingHosts/com.quillbeam.companion.json

Exit status: 0 on success; 1 when anything failed or nothing could be
registered; 2 for a mistake in the command line or the bridge path.

Environment:
  XDG_CONFIG_HOME                  where the per-user browser folders live
  FLATPAK_USER_DIR, XDG_DATA_HOME  the user's Flatpak installation (default
                                   ~/.local/share/flatpak)
  FLATPAK_SYSTEM_DIR               the system's (default /var/lib/flatpak)
  QUILLBEAM_REGISTER_SYSTEM_ROOT   a folder standing in for / when looking for
                                   installed browsers and folders for all users
                                   (for tests)
)";
}

}  // namespace quillbeam::Register
