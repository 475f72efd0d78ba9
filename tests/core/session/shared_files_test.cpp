#include "quillbeam/session/shared_files.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "support/file_text.hpp"
#include "support/scoped_env.hpp"
#include "support/scratch_dir.hpp"

namespace quillbeam {
namespace {

namespace fs = std::filesystem;

// A fresh HOME per test, so the shared directory is the test's own.
class SharedFilesTest : public ::testing::Test {
 protected:
  testing::ScratchDir scratch;
  const fs::path home_ = scratch.path();
  testing::ScopedEnv homeVariable{"HOME", home_};
  const fs::path link_ = SharedFiles::browserLink();
};

TEST_F(SharedFilesTest, WritesTheLinkUnderHomeAtomicallyAndReadsItBack) {
  EXPECT_EQ(link_, home_ / "Library/Application Support/Quillbeam/browser-link.json");
  const BrowserLink bare{false, 5};
  SharedFiles::writeLink(bare, link_);  // makes the directories
  std::string text;
  std::ifstream(link_) >> text;
  EXPECT_EQ(text, R"({"connected":false,"lastSeen":5})");
  EXPECT_EQ(fs::status(link_).permissions() & fs::perms::all, fs::perms(0644));
  const BrowserLink full{true, 7, "1.2.3", SessionSnapshot{}, 4242};
  SharedFiles::writeLink(full, link_);
  EXPECT_EQ(SharedFiles::readLink(link_), full);
  // A rename that fails after a full write leaves the earlier file and no temporary.
  fs::create_directories(link_.parent_path() / "taken" / "child");
  EXPECT_THROW(SharedFiles::writeLink(bare, link_.parent_path() / "taken"), std::system_error);
  EXPECT_EQ(SharedFiles::readLink(link_), full);
  EXPECT_EQ(std::distance(fs::directory_iterator(link_.parent_path()), {}), 2);
  // Without HOME the password database names the home directory.
  const testing::ScopedEnv noHome("HOME", "");
  EXPECT_EQ(SharedFiles::homeDirectory(), fs::path(::getpwuid(::getuid())->pw_dir));
}

TEST_F(SharedFilesTest, AnythingButAWellFormedRecordReadsAsAbsent) {
  for (const std::string text : {"", "not json", R"({"connected":"yes","lastSeen":1})",
                                 R"({"connected":true,"lastSeen":1,"bridgePID":2147483648})",
                                 R"([{"connected":true,"lastSeen":1}])"}) {
    testing::writeFile(link_, text);
    EXPECT_EQ(SharedFiles::readLink(link_), std::nullopt) << text;
  }
  fs::resize_file(link_, SharedFiles::maxLinkFileSize + 1);
  EXPECT_EQ(SharedFiles::readLink(link_), std::nullopt);
  fs::remove(link_);
  EXPECT_EQ(SharedFiles::readLink(link_), std::nullopt);
  EXPECT_EQ(SharedFiles::readLink(home_), std::nullopt);  // a directory
  ASSERT_EQ(::mkfifo(link_.c_str(), 0600), 0);            // must not block
  EXPECT_EQ(SharedFiles::readLink(link_), std::nullopt);
}

TEST_F(SharedFilesTest, OnlyOldTemporariesOfTheTargetAreRemoved) {
  // Old temporaries of the target go; the target, a live writer's, other names and a
  // directory stay.
  const std::pair<const char*, bool> names[] = {
      {".browser-link.json.a1B2c3", true},    {".browser-link.json.d4E5f6", true},
      {".browser-link.json.short", false},    {".other.json.a1B2c3", false},
      {".browser-link.json.dir123/x", false}, {"browser-link.json", false}};
  for (const auto& [name, removed] : names) {
    testing::writeFile(link_.parent_path() / name, "{");
    fs::last_write_time(link_.parent_path() / *fs::path(name).begin(),
                        fs::file_time_type::clock::now() - std::chrono::hours(1));
  }
  testing::writeFile(link_.parent_path() / ".browser-link.json.Zz9yX8", "{");
  EXPECT_EQ(SharedFiles::removeStaleTemporaries(link_, std::chrono::minutes(10)), 2u);
  for (const auto& [name, removed] : names) {
    EXPECT_NE(fs::exists(link_.parent_path() / name), removed) << name;
  }
}

}  // namespace
}  // namespace quillbeam
