// /proc/self/mountinfo and /proc/<pid>/cgroup, one input feeding both readers (each passes
// over the other's lines). The mount found is absolute with a plain root, a cgroup path maps
// to a directory under it, and the manager found is the path or one of its ancestors.
#include "companion/desktop/cgroup_tree.hpp"

using namespace quillbeam::companion;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto mount = findCgroup2Mount(text);
  FUZZ_CHECK(!mount || (mount->mountPoint.is_absolute() && mount->root.starts_with('/')));
  const auto path = unifiedCgroupPath(text);
  if (!path) return 0;
  if (const auto manager = managerPathWithin(*path, 1000)) {
    FUZZ_CHECK(*manager == "/" || *manager == *path || path->starts_with(*manager + "/"));
  }
  if (!mount) return 0;
  const auto dir = CgroupTree{*mount, {}, {}, {}}.directoryOf(*path);
  FUZZ_CHECK(!dir || dir->native().starts_with(mount->mountPoint.native()));
  return 0;
}
