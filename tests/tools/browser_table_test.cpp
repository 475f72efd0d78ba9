// The table of browser locations against the app catalog and the folders browsers use.
#include <gmock/gmock.h>

#include <filesystem>
#include <set>
#include <string>

#include "browser_table.hpp"
#include "quillbeam/policy/app_catalog.hpp"

namespace quillbeam::Register {
namespace {

TEST(BrowserTable, CoversEveryExtensionBrowserWithALinuxBuild) {
  std::set<std::string, std::less<>> families;
  for (const auto& browser : browserLocations()) families.emplace(browser.catalogName);

  std::set<std::string, std::less<>> catalog;
  for (const auto& app : AppCatalog::extensionBrowsers()) catalog.insert(app.name);
  // Arc has no Linux build.
  catalog.erase("Arc");

  EXPECT_EQ(families, catalog);
}

TEST(BrowserTable, OptionsAreUniqueAndFoldersWellFormed) {
  std::set<std::string_view> options;
  std::set<std::string_view> configFolders;
  for (const auto& browser : browserLocations()) {
    SCOPED_TRACE(browser.option);
    EXPECT_TRUE(options.insert(browser.option).second);
    EXPECT_TRUE(configFolders.insert(browser.configFolder).second);
    EXPECT_EQ(findBrowser(browser.option), &browser);
    EXPECT_TRUE(std::filesystem::path(browser.configFolder).is_relative());
    if (!browser.systemFolder.empty()) {
      EXPECT_TRUE(browser.systemFolder.starts_with("/etc/"));
      EXPECT_TRUE(browser.systemFolder.ends_with("/native-messaging-hosts"));
    }
    for (auto folder : browser.installFolders) EXPECT_TRUE(folder.starts_with('/'));
  }
  EXPECT_EQ(findBrowser("Chromium"), nullptr) << "names are matched exactly";
}

}  // namespace
}  // namespace quillbeam::Register
