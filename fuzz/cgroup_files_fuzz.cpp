// cgroup.events and cgroup.procs of the apps' units. The pids of procs text read in two
// pieces, the cut line carried over as the discovery's reads carry it, are those of the
// text read whole; every one is positive. The first byte picks the cut.
#include <string>
#include <vector>

#include "companion/desktop/cgroup_files.hpp"

using namespace quillbeam::companion;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const CgroupEvents events = parseCgroupEvents(text);
  FUZZ_CHECK(!events.populated || text.find("populated 1") != std::string_view::npos);
  FUZZ_CHECK(!events.frozen || text.find("frozen 1") != std::string_view::npos);
  std::vector<pid_t> whole, pieces;
  const auto add = [](std::vector<pid_t>& to) {
    return [&to](pid_t pid) { FUZZ_CHECK(pid > 0), to.push_back(pid); };
  };
  const std::string_view rest = parseCgroupProcs(text, add(whole));
  const size_t cut = size > 0 ? data[0] % (size + 1) : 0;
  const std::string carried(parseCgroupProcs(text.substr(0, cut), add(pieces)));
  FUZZ_CHECK(parseCgroupProcs(carried + std::string(text.substr(cut)), add(pieces)) == rest);
  FUZZ_CHECK(whole == pieces);
  return 0;
}
