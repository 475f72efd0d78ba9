#pragma once

// Throwaway trees that stand for /proc and a cgroup hierarchy, for tests that need no
// root: each directory and file is what the kernel would show for the part under test.
#include <filesystem>
#include <fstream>
#include <string>

#include "support/file_text.hpp"

namespace quillbeam::testing {

// A unit directory as cgroupfs shows it.
inline void fakeUnit(const std::filesystem::path& dir, bool populated, bool frozen = false) {
  writeFile(dir / "cgroup.events", std::string("populated ") + (populated ? "1" : "0") +
                                       "\nfrozen " + (frozen ? "1" : "0") + "\n");
  writeFile(dir / "cgroup.freeze", frozen ? "1\n" : "0\n");
}

// /proc/<pid> with the files discovery reads; the directory's owner is the process's uid.
// Given the cgroup tree's root, the pid is added to its cgroup's cgroup.procs as well.
inline void fakeProcess(const std::filesystem::path& proc, int pid, const std::string& exe,
                        const std::string& cgroup, char state = 'S',
                        const std::filesystem::path& cgroupRoot = {}, int parent = 1) {
  if (!cgroupRoot.empty()) {
    std::ofstream(cgroupRoot / cgroup.substr(1) / "cgroup.procs", std::ios::app) << pid << "\n";
  }
  const auto dir = proc / std::to_string(pid);
  std::filesystem::create_directories(dir);
  std::filesystem::create_symlink("/opt/app/" + exe, dir / "exe");
  writeFile(dir / "cgroup", "1:name=systemd:/\n0::" + cgroup + "\n");
  writeFile(dir / "stat", std::to_string(pid) + " (" + exe + ") " + state + " " +
                              std::to_string(parent) +
                              " 1 1 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 1 0 " +
                              std::to_string(1000 + pid) + " 0 0\n");
}

}  // namespace quillbeam::testing
