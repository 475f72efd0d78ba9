#include "quillbeam/session/shared_files.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "quillbeam/session/companion_notification.hpp"

namespace quillbeam {
namespace {

namespace fs = std::filesystem;

class TempHome : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quillbeam-home-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    if (const char* old = std::getenv("HOME")) oldHome_ = old;
    ::setenv("HOME", home_.c_str(), 1);
  }
  void TearDown() override {
    ::setenv("HOME", oldHome_.c_str(), 1);
    std::error_code ec;
    fs::permissions(home_, fs::perms::owner_all, ec);
    fs::remove_all(home_, ec);
  }
  static void writeFile(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
  }
  static std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  fs::path home_;
  std::string oldHome_;
};

BrowserLink sample() {
  SessionSnapshot s;
  s.id = "abc";
  s.goal = "Finish the lab report";
  s.startedAt = 1'700'000'000'000;
  s.anchors = {"example.org"};
  s.anchorUrl = "https://example.org";
  return BrowserLink{true, 1'700'000'001'000, "1.2.3", s, 4242};
}

TEST_F(TempHome, LocationsFollowHome) {
  EXPECT_EQ(SharedFiles::directory(), home_ / "Library/Application Support/Quillbeam");
  EXPECT_EQ(SharedFiles::browserLink(), SharedFiles::directory() / "browser-link.json");
  EXPECT_FALSE(fs::exists(SharedFiles::directory()));
}

TEST_F(TempHome, WriteCreatesDirectoriesAndRoundTrips) {
  SharedFiles::writeLink(sample(), SharedFiles::browserLink());
  EXPECT_EQ(SharedFiles::readLink(SharedFiles::browserLink()), sample());
  BrowserLink bare{false, 5};
  SharedFiles::writeLink(bare, SharedFiles::browserLink());
  EXPECT_EQ(readFile(SharedFiles::browserLink()), R"({"connected":false,"lastSeen":5})");
  EXPECT_EQ(SharedFiles::readLink(SharedFiles::browserLink()), bare);
  EXPECT_EQ(fs::status(SharedFiles::browserLink()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);
  // Nothing but the record itself is left in the directory.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(SharedFiles::directory())) ++entries;
  EXPECT_EQ(entries, 1);
  // A directory removed while a writer runs is made again by its next write.
  fs::remove_all(home_ / "Library");
  SharedFiles::writeLink(bare, SharedFiles::browserLink());
  EXPECT_EQ(SharedFiles::readLink(SharedFiles::browserLink()), bare);
}

TEST_F(TempHome, LinkJsonKeyOrderAndNulls) {
  EXPECT_EQ(sample().encode().substr(0, 62),
            R"({"connected":true,"lastSeen":1700000001000,"extensionVersion":)");
  EXPECT_NE(sample().encode().find(R"(},"bridgePID":4242})"), std::string::npos);
  writeFile(
      SharedFiles::browserLink(),
      R"({"lastSeen":7,"bridgePID":null,"session":null,"extensionVersion":null,"connected":true,"x":1})");
  EXPECT_EQ(SharedFiles::readLink(SharedFiles::browserLink()), (BrowserLink{true, 7}));
}

TEST_F(TempHome, BadFilesReadAsAbsent) {
  const std::string cases[] = {
      "",
      "not json",
      R"({"connected":true})",
      R"({"connected":"yes","lastSeen":1})",
      R"({"connected":true,"lastSeen":1,"bridgePID":2147483648})",
      R"({"connected":true,"lastSeen":1,"bridgePID":-2147483649})",
      R"({"connected":true,"lastSeen":1,"extensionVersion":5})",
      R"({"connected":true,"lastSeen":1,"session":{"id":"a"}})",
      R"([{"connected":true,"lastSeen":1}])",
  };
  for (const auto& text : cases) {
    writeFile(SharedFiles::browserLink(), text);
    EXPECT_EQ(SharedFiles::readLink(SharedFiles::browserLink()), std::nullopt) << text;
  }
  EXPECT_EQ(SharedFiles::readLink(home_ / "missing.json"), std::nullopt);
  EXPECT_EQ(SharedFiles::readLink(home_), std::nullopt);  // a directory
}

TEST_F(TempHome, FifoAtThePathNeverBlocks) {
  fs::create_directories(SharedFiles::directory());
  ASSERT_EQ(::mkfifo(SharedFiles::browserLink().c_str(), 0600), 0);
  EXPECT_EQ(SharedFiles::readLink(SharedFiles::browserLink()), std::nullopt);
}

TEST_F(TempHome, OversizedFileReadsAsAbsent) {
  fs::create_directories(SharedFiles::directory());
  {
    std::ofstream out(SharedFiles::browserLink(), std::ios::binary);
    out << R"({"connected":true,"lastSeen":1})";
  }
  fs::resize_file(SharedFiles::browserLink(), SharedFiles::maxLinkFileSize + 1);
  EXPECT_EQ(SharedFiles::readLink(SharedFiles::browserLink()), std::nullopt);
}

TEST_F(TempHome, FailedWriteThrowsWithReasonAndKeepsTheEarlierFile) {
  if (::geteuid() == 0) {
    // Root ignores directory permissions; use a directory in the place of a file's parent.
    writeFile(home_ / "blocker", "x");
    try {
      SharedFiles::writeLink(sample(), home_ / "blocker" / "browser-link.json");
      FAIL() << "expected a throw";
    } catch (const std::system_error& e) {
      EXPECT_NE(std::string(e.what()).find("Not a directory"), std::string::npos) << e.what();
    }
  }
  SharedFiles::writeLink(sample(), SharedFiles::browserLink());
  const std::string before = readFile(SharedFiles::browserLink());
  // A directory in the target's place makes the final rename fail after a full write.
  fs::path target = SharedFiles::directory() / "taken";
  fs::create_directories(target / "child");
  EXPECT_THROW(SharedFiles::writeLink(sample(), target), std::system_error);
  EXPECT_EQ(readFile(SharedFiles::browserLink()), before);
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(SharedFiles::directory())) ++entries;
  EXPECT_EQ(entries, 2) << "the temporary file must be removed";
}

TEST_F(TempHome, ConcurrentWritersNeverTearTheFile) {
  const fs::path path = SharedFiles::browserLink();
  SharedFiles::writeLink(sample(), path);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!stop) {
      if (!SharedFiles::readLink(path)) ++bad;
      ++reads;
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < 3; ++w) {
    writers.emplace_back([&, w] {
      BrowserLink link = sample();
      for (int i = 0; i < 300; ++i) {
        link.lastSeen = i;
        link.bridgePID = w;
        SharedFiles::writeLink(link, path);
      }
    });
  }
  for (auto& t : writers) t.join();
  stop = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(bad.load(), 0);
  auto last = SharedFiles::readLink(path);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->lastSeen, 299);
}

TEST_F(TempHome, OnlyOldTemporariesOfTheTargetAreRemoved) {
  const fs::path target = SharedFiles::browserLink();
  SharedFiles::writeLink(sample(), target);
  const fs::path dir = target.parent_path();
  const auto hourAgo = fs::file_time_type::clock::now() - std::chrono::hours(1);
  auto make = [&](const std::string& name, bool old) {
    writeFile(dir / name, "{");
    if (old) fs::last_write_time(dir / name, hourAgo);
  };
  make(".browser-link.json.a1B2c3", true);   // removed
  make(".browser-link.json.Zz9yX8", true);   // removed
  make(".browser-link.json.d4E5f6", false);  // a live writer's: kept
  make(".browser-link.json.short", true);    // not a temporary name: kept
  make(".other.json.a1B2c3", true);          // another file's: kept
  fs::create_directory(dir / ".browser-link.json.dir123");
  fs::last_write_time(dir / ".browser-link.json.dir123", hourAgo);  // not a file: kept
  fs::last_write_time(target, hourAgo);
  EXPECT_EQ(SharedFiles::removeStaleTemporaries(target, std::chrono::minutes(10)), 2u);
  std::set<std::string> left;
  for (const auto& e : fs::directory_iterator(dir)) left.insert(e.path().filename());
  EXPECT_EQ(left, (std::set<std::string>{"browser-link.json", ".browser-link.json.d4E5f6",
                                         ".browser-link.json.short", ".other.json.a1B2c3",
                                         ".browser-link.json.dir123"}));
  EXPECT_EQ(
      SharedFiles::removeStaleTemporaries(home_ / "missing" / "x.json", std::chrono::minutes(10)),
      0u);
}

TEST(CompanionNotification, Names) {
  EXPECT_STREQ(CompanionNotification::browserState, "com.quillbeam.companion.browserState");
  EXPECT_STREQ(CompanionNotification::command, "com.quillbeam.companion.command");
}

TEST(SharedFilesHome, FallsBackToTheUserDatabase) {
  std::string old = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", "", 1);
  fs::path home = SharedFiles::homeDirectory();
  ::setenv("HOME", old.c_str(), 1);
  const passwd* user = ::getpwuid(::getuid());
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(home, fs::path(user->pw_dir));
}

}  // namespace
}  // namespace quillbeam
