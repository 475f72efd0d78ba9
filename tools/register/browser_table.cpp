#include "browser_table.hpp"

#include <array>

namespace quillbeam::Register {
namespace {

constexpr std::array<std::string_view, 1> chromeStable{"/opt/google/chrome"};
constexpr std::array<std::string_view, 1> chromeBeta{"/opt/google/chrome-beta"};
constexpr std::array<std::string_view, 1> chromeUnstable{"/opt/google/chrome-unstable"};
// Debian, Ubuntu's deb, Fedora.
constexpr std::array<std::string_view, 3> chromium{"/usr/lib/chromium", "/usr/lib/chromium-browser",
                                                   "/usr/lib64/chromium-browser"};
constexpr std::array<std::string_view, 1> brave{"/opt/brave.com/brave"};
constexpr std::array<std::string_view, 1> edgeStable{"/opt/microsoft/msedge"};
constexpr std::array<std::string_view, 1> edgeBeta{"/opt/microsoft/msedge-beta"};
constexpr std::array<std::string_view, 1> edgeDev{"/opt/microsoft/msedge-dev"};
constexpr std::array<std::string_view, 1> vivaldi{"/opt/vivaldi"};

// Every Chrome channel reads /etc/opt/chrome, every Edge channel /etc/opt/edge. Brave and
// Vivaldi document no system-wide folder, so they are registered per user only.
constexpr std::array<BrowserLocation, 10> table{{
    {"google-chrome", "Google Chrome", "Google Chrome", "google-chrome",
     "/etc/opt/chrome/native-messaging-hosts", chromeStable, "com.google.Chrome", "google-chrome",
     ""},
    {"google-chrome-beta", "Google Chrome Beta", "Google Chrome", "google-chrome-beta",
     "/etc/opt/chrome/native-messaging-hosts", chromeBeta, "", "", ""},
    {"google-chrome-unstable", "Google Chrome Dev", "Google Chrome", "google-chrome-unstable",
     "/etc/opt/chrome/native-messaging-hosts", chromeUnstable, "com.google.ChromeDev",
     "google-chrome-unstable", ""},
    {"chromium", "Chromium", "Chromium", "chromium", "/etc/chromium/native-messaging-hosts",
     chromium, "org.chromium.Chromium", "chromium", "chromium"},
    // Installed from packages it is Chromium to the system: the same folders.
    {"ungoogled-chromium",
     "ungoogled Chromium",
     "Chromium",
     "",
     "",
     {},
     "io.github.ungoogled_software.ungoogled_chromium",
     "chromium",
     ""},
    {"brave", "Brave", "Brave", "BraveSoftware/Brave-Browser", "", brave, "com.brave.Browser",
     "BraveSoftware/Brave-Browser", "brave"},
    {"microsoft-edge", "Microsoft Edge", "Microsoft Edge", "microsoft-edge",
     "/etc/opt/edge/native-messaging-hosts", edgeStable, "com.microsoft.Edge", "microsoft-edge",
     ""},
    {"microsoft-edge-beta", "Microsoft Edge Beta", "Microsoft Edge", "microsoft-edge-beta",
     "/etc/opt/edge/native-messaging-hosts", edgeBeta, "", "", ""},
    {"microsoft-edge-dev", "Microsoft Edge Dev", "Microsoft Edge", "microsoft-edge-dev",
     "/etc/opt/edge/native-messaging-hosts", edgeDev, "com.microsoft.EdgeDev", "microsoft-edge-dev",
     ""},
    {"vivaldi", "Vivaldi", "Vivaldi", "vivaldi", "", vivaldi, "com.vivaldi.Vivaldi", "vivaldi",
     "vivaldi"},
}};

}  // namespace

std::span<const BrowserLocation> browserLocations() {
  return table;
}

const BrowserLocation* findBrowser(std::string_view option) {
  for (const auto& browser : table) {
    if (browser.option == option) return &browser;
  }
  return nullptr;
}

}  // namespace quillbeam::Register
