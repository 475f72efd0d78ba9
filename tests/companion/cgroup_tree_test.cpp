#include "companion/desktop/cgroup_tree.hpp"

#include <gtest/gtest.h>

#include "fake_system.hpp"
#include "support/scratch_dir.hpp"

namespace quillbeam::companion {
namespace {

using testing::fakeProcess;
using testing::ScratchDir;
namespace fs = std::filesystem;

constexpr const char* kHybrid =
    "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "37 31 0:34 / /sys/fs/cgroup/freezer rw,relatime - cgroup cgroup rw,freezer\n"
    "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";

TEST(CgroupTree, FindsTheCgroup2MountInMountinfo) {
  struct Case {
    std::string text;
    std::optional<Cgroup2Mount> expected;
  } cases[] = {
      {kHybrid, Cgroup2Mount{"/sys/fs/cgroup/unified", "/"}},
      {"29 23 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw,nsdelegate\n",
       Cgroup2Mount{"/sys/fs/cgroup", "/"}},
      // A bind of a subtree is taken only when the whole hierarchy is not mounted.
      {"50 23 0:26 /user.slice /mnt/cg\\040x rw - cgroup2 cgroup2 rw\n",
       Cgroup2Mount{"/mnt/cg x", "/user.slice"}},
      {"50 23 0:26 /user.slice /mnt/a rw - cgroup2 cgroup2 rw\n"
       "51 23 0:26 / /mnt/b rw - cgroup2 cgroup2 rw\n",
       Cgroup2Mount{"/mnt/b", "/"}},
      // Octal escapes anywhere, the last character included.
      {"50 23 0:26 / /mnt/c\\134g\\040 rw - cgroup2 cgroup2 rw\n", Cgroup2Mount{"/mnt/c\\g ", "/"}},
      {"31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n", std::nullopt},
      {"41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2fs x rw", std::nullopt},
      {"41 31 0:38 / relative rw - cgroup2 cgroup2 rw", std::nullopt},
      {"garbage\n\n - cgroup2\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(findCgroup2Mount(c.text), c.expected) << c.text;
}

TEST(CgroupTree, ReadsCgroupPathsAndTheirManager) {
  EXPECT_EQ(unifiedCgroupPath("9:name=systemd:/x\n0::/user.slice/a.scope\n"),
            "/user.slice/a.scope");
  EXPECT_EQ(unifiedCgroupPath("9:name=systemd:/x\n"), std::nullopt);
  EXPECT_EQ(unifiedCgroupPath("0::/../../outside\n"), std::nullopt);
  EXPECT_EQ(unifiedCgroupPath("0::relative\n"), std::nullopt);

  const std::string user = "/user.slice/user-1000.slice/user@1000.service";
  EXPECT_EQ(managerPathWithin(user + "/app.slice/app-x-1.scope", 1000), user);
  EXPECT_EQ(managerPathWithin(user + "/init.scope", 1000), user);
  EXPECT_EQ(managerPathWithin(user + "/app.slice/app-x-1.scope", 1001), std::nullopt);
  EXPECT_EQ(managerPathWithin("/user.slice/user-1000.slice/session-2.scope", 1000), std::nullopt);
  // A manager that is not named after the user (a container's) sits beside its app.slice.
  EXPECT_EQ(managerPathWithin("/lxc/c1/app.slice/app-x-1.scope", 1000), "/lxc/c1");
  EXPECT_EQ(managerPathWithin("/app.slice/app-x-1.scope", 1000), "/");
  EXPECT_EQ(managerPathWithin("/", 1000), std::nullopt);

  CgroupTree tree{{"/mnt/cg", "/user.slice"}, {}, {}, {}};
  EXPECT_EQ(tree.directoryOf("/user.slice/a/b"), fs::path("/mnt/cg/a/b"));
  EXPECT_EQ(tree.directoryOf("/user.slice"), fs::path("/mnt/cg"));
  EXPECT_EQ(tree.directoryOf("/user.slicex/a"), std::nullopt);
  EXPECT_EQ(tree.directoryOf("/system.slice"), std::nullopt);
  EXPECT_EQ(tree.directoryOf("/user.slice/../etc"), std::nullopt);
}

class TreeFinding : public ::testing::Test {
 protected:
  TreeFinding() {
    fs::create_directories(cgroups() / manager.substr(1) / "app.slice");
    sources.mountinfo = "41 31 0:38 / " + cgroups().string() + " rw - cgroup2 cgroup2 rw\n";
    sources.procRoot = root.path() / "proc";
    sources.uid = ::getuid();
    fs::create_directories(sources.procRoot);
  }
  fs::path cgroups() const { return root.path() / "cg"; }

  ScratchDir root;
  const std::string manager = "/user.slice/user-" + std::to_string(::getuid()) + ".slice/user@" +
                              std::to_string(::getuid()) + ".service";
  TreeSources sources;
};

TEST_F(TreeFinding, FromTheCompanionsOwnUnit) {
  sources.ownCgroup = "0::" + manager + "/app.slice/quillbeam.service\n";
  auto found = findCgroupTree(sources);
  ASSERT_TRUE(std::holds_alternative<CgroupTree>(found)) << std::get<std::string>(found);
  const auto& tree = std::get<CgroupTree>(found);
  EXPECT_EQ(tree.managerRoot, cgroups() / manager.substr(1));
  EXPECT_EQ(tree.appSlice, cgroups() / manager.substr(1) / "app.slice");
  EXPECT_EQ(tree.ownCgroup, cgroups() / manager.substr(1) / "app.slice/quillbeam.service");
}

TEST_F(TreeFinding, FromTheUsersProcessesWhenStartedInASessionScope) {
  sources.ownCgroup = "0::/user.slice/user-1000.slice/session-3.scope\n";
  fakeProcess(sources.procRoot, 10, "bash", "/user.slice/user-1000.slice/session-3.scope");
  auto found = findCgroupTree(sources);
  ASSERT_TRUE(std::holds_alternative<std::string>(found));
  EXPECT_NE(std::get<std::string>(found).find("session-3.scope"), std::string::npos);

  fakeProcess(sources.procRoot, 11, "systemd", manager + "/init.scope");
  found = findCgroupTree(sources);
  ASSERT_TRUE(std::holds_alternative<CgroupTree>(found)) << std::get<std::string>(found);
  EXPECT_EQ(std::get<CgroupTree>(found).managerRoot, cgroups() / manager.substr(1));
}

TEST_F(TreeFinding, SaysWhyThereIsNone) {
  sources.ownCgroup = "0::" + manager + "/app.slice/x.service\n";
  TreeSources v1Only = sources;
  v1Only.mountinfo = "37 31 0:34 / /sys/fs/cgroup/freezer rw - cgroup cgroup rw,freezer\n";
  TreeSources noLine = sources;
  noLine.ownCgroup = "6:freezer:/\n";
  TreeSources missing = sources;
  missing.ownCgroup = "0::/user.slice/user@" + std::to_string(::getuid()) + ".service/x.service\n";
  for (const auto& [input, words] :
       {std::pair{&v1Only, "not mounted"}, std::pair{&noLine, "no cgroup v2 path"},
        std::pair{&missing, "not a directory"}}) {
    auto found = findCgroupTree(*input);
    ASSERT_TRUE(std::holds_alternative<std::string>(found)) << words;
    EXPECT_NE(std::get<std::string>(found).find(words), std::string::npos)
        << std::get<std::string>(found);
  }
}

}  // namespace
}  // namespace quillbeam::companion
