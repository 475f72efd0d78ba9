// /proc/<pid>/stat, whose command name (field 2) the process chooses. Fields are counted
// from the name's last ')', so no name moves them: more text in front changes nothing, and
// the state is the byte after that ')' and a space.
#include <string>

#include "companion/desktop/process_stat.hpp"

using namespace quillbeam::companion;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto stat = parseProcessStat(text);
  const size_t close = text.rfind(')');
  if (close == std::string_view::npos) return FUZZ_CHECK(!stat), 0;
  const auto named = parseProcessStat("1 (a) b) " + std::string(text));
  FUZZ_CHECK(stat.has_value() == named.has_value());
  if (stat) {
    FUZZ_CHECK(stat->state == text[close + 2] && stat->state == named->state &&
               stat->startTime == named->startTime);
  }
  return 0;
}
