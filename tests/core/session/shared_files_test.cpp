#include "quillbeam/session/shared_files.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>

namespace quillbeam {
namespace {

namespace fs = std::filesystem;

// A fresh HOME per test, so the shared directory is the test's own.
class SharedFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quillbeam-home-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    ::setenv("HOME", home_.c_str(), 1);
    link_ = SharedFiles::browserLink();
  }
  void TearDown() override { fs::remove_all(home_); }
  static void write(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
  }
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(SharedFiles::directory())) {
      names.insert(e.path().filename());
    }
    return names;
  }
  fs::path home_, link_;
};

TEST_F(SharedFilesTest, WritesTheLinkUnderHomeAtomicallyAndReadsItBack) {
  EXPECT_EQ(link_, home_ / "Library/Application Support/Quillbeam/browser-link.json");
  const BrowserLink bare{false, 5};
  EXPECT_EQ(BrowserLink{}, (BrowserLink{false, 0}));
  SharedFiles::writeLink(bare, link_);
  std::string text;
  std::ifstream(link_) >> text;
  EXPECT_EQ(text, R"({"connected":false,"lastSeen":5})");
  EXPECT_EQ(fs::status(link_).permissions() & fs::perms::all, fs::perms(0644));
  EXPECT_EQ(entries(), std::set<std::string>{"browser-link.json"});
  // A directory removed under a running writer is made again by its next write.
  fs::remove_all(home_ / "Library");
  const BrowserLink full{true, 7, "1.2.3", SessionSnapshot{}, 4242};
  SharedFiles::writeLink(full, link_);
  EXPECT_EQ(SharedFiles::readLink(link_), full);
  // A rename that fails after a full write leaves the earlier file and no temporary.
  fs::create_directories(link_.parent_path() / "taken" / "child");
  EXPECT_THROW(SharedFiles::writeLink(bare, link_.parent_path() / "taken"), std::system_error);
  EXPECT_EQ(SharedFiles::readLink(link_), full);
  EXPECT_EQ(entries(), (std::set<std::string>{"browser-link.json", "taken"}));
}

TEST_F(SharedFilesTest, AnythingButAWellFormedRecordReadsAsAbsent) {
  for (const std::string text :
       {"", "not json", R"({"connected":true})", R"({"connected":"yes","lastSeen":1})",
        R"({"connected":true,"lastSeen":1,"bridgePID":2147483648})",
        R"([{"connected":true,"lastSeen":1}])"}) {
    write(link_, text);
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
  SharedFiles::writeLink(BrowserLink{true, 0}, link_);
  const fs::path dir = link_.parent_path();
  // Old temporaries of the target go; a live writer's, other names and a directory stay.
  for (const char* name :
       {".browser-link.json.a1B2c3", ".browser-link.json.d4E5f6", ".browser-link.json.short",
        ".other.json.a1B2c3", ".browser-link.json.dir123/x"}) {
    write(dir / name, "{");
    fs::last_write_time(dir / *fs::path(name).begin(),
                        fs::file_time_type::clock::now() - std::chrono::hours(1));
  }
  write(dir / ".browser-link.json.Zz9yX8", "{");
  EXPECT_EQ(SharedFiles::removeStaleTemporaries(link_, std::chrono::minutes(10)), 2u);
  EXPECT_EQ(entries(), (std::set<std::string>{"browser-link.json", ".browser-link.json.Zz9yX8",
                                              ".browser-link.json.short", ".other.json.a1B2c3",
                                              ".browser-link.json.dir123"}));
}

TEST(SharedFilesHome, FallsBackToTheUserDatabase) {
  ::setenv("HOME", "", 1);
  EXPECT_EQ(SharedFiles::homeDirectory(), fs::path(::getpwuid(::getuid())->pw_dir));
}

}  // namespace
}  // namespace quillbeam
