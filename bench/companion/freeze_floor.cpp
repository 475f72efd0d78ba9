#include "freeze_floor.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

#include "companion/desktop/small_file.hpp"

namespace quillbeam::companion::bench {
namespace {

namespace fs = std::filesystem;

// The least a pause or resume can be: one write of one byte.
void writeFreeze(const fs::path& unit, bool freeze) {
  const platform::UniqueFd fd(::open((unit / "cgroup.freeze").c_str(), O_WRONLY | O_CLOEXEC));
  if (!fd || ::write(fd.get(), freeze ? "1" : "0", 1) != 1) {
    throw std::runtime_error("cannot write " + (unit / "cgroup.freeze").string());
  }
}

}  // namespace

// As the companion's rig starts an app: the same steps, so that the figures compare.
std::pair<fs::path, pid_t> FreezeFloor::startUnit(const std::string& name) {
  const fs::path unit = tree_.unit(name);
  events_.add(unit);
  const pid_t pid = tree_.start("/bin/sleep", {"1000000"}, unit);
  if (pid < 0) throw std::runtime_error("cannot start sleep");
  return {unit, pid};
}

void FreezeFloor::grow(size_t count) {
  while (units_.size() < count) {
    units_.push_back(startUnit("floor-" + std::to_string(units_.size()) + ".scope").first);
  }
}

double FreezeFloor::setAll(bool freeze) {
  const auto start = Clock::now();
  for (const auto& unit : units_) writeFreeze(unit, freeze);
  return events_.msUntil(start, [&] {
    for (const auto& unit : units_) {
      if (isFrozen(unit) != freeze) return false;
    }
    return true;
  });
}

double FreezeFloor::newUnitToFrozen(const std::string& name) {
  const auto start = Clock::now();
  const auto [unit, pid] = startUnit(name);
  writeFreeze(unit, true);
  const double ms = events_.msUntil(start, [&] { return isFrozen(unit); });
  tree_.end(pid);  // SIGKILL ends a frozen process too
  events_.msUntil(Clock::now(), [&] {
    return readSmallFile(unit / "cgroup.events").value_or("").find("populated 0") !=
           std::string::npos;
  });
  ::rmdir(unit.c_str());
  return ms;
}

}  // namespace quillbeam::companion::bench
