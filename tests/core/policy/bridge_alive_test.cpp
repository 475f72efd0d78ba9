#include "quillbeam/policy/bridge_alive.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <limits>

#include <gtest/gtest.h>

#include "quillbeam/policy/health.hpp"

namespace quillbeam {
namespace {

// A forked child, killed and reaped on scope exit.
class Child {
 public:
  // `lingers` keeps it running until killed; otherwise it exits at once.
  explicit Child(bool lingers) : pid_(::fork()) {
    if (pid_ == 0) {
      while (lingers) ::pause();
      ::_exit(0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { reap(); }

  int32_t pid() const { return pid_; }

  // Waits for the exit but leaves the child a zombie.
  bool awaitZombie() {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) == 0;
  }

  void reap() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

TEST(BridgeAlive, LiveProcessesAreAlive) {
  EXPECT_TRUE(Health::bridgeAlive(::getpid()));
  EXPECT_TRUE(Health::bridgeAlive(1));
  Child running(true);
  ASSERT_GT(running.pid(), 0);
  EXPECT_TRUE(Health::bridgeAlive(running.pid()));
}

TEST(BridgeAlive, ZombieAndReapedChildrenAreNot) {
  Child child(false);
  ASSERT_GT(child.pid(), 0);
  ASSERT_TRUE(child.awaitZombie());
  EXPECT_FALSE(Health::bridgeAlive(child.pid()));
  const int32_t gone = child.pid();
  child.reap();
  EXPECT_FALSE(Health::bridgeAlive(gone));
}

TEST(BridgeAlive, IdentifiersThatNameNoSingleProcessAreNotAlive) {
  // kill() would take these as process groups (or every process) and report success.
  EXPECT_FALSE(Health::bridgeAlive(0));
  EXPECT_FALSE(Health::bridgeAlive(-1));
  EXPECT_FALSE(Health::bridgeAlive(-::getpgrp()));
  EXPECT_FALSE(Health::bridgeAlive(std::numeric_limits<int32_t>::min()));
}

TEST(BridgeAlive, ServesAsTheHealthPredicate) {
  BrowserLink link;
  link.connected = true;
  link.lastSeen = 0;  // decades old: only the process decides
  link.bridgePID = ::getpid();
  EXPECT_TRUE(Health::isConnected(link, Date::now(), Health::bridgeAlive));
  Child child(false);
  ASSERT_TRUE(child.awaitZombie());
  link.bridgePID = child.pid();
  EXPECT_FALSE(Health::isConnected(link, Date::now(), Health::bridgeAlive));
}

}  // namespace
}  // namespace quillbeam
