// normalizeDomain and problem() on arbitrary text, valid UTF-8 or not: a goal, a milestone
// and a site (the rest of the input). A host that comes out is a bare host name; an ASCII
// goal is counted as the rules say.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "fuzz.hpp"
#include "quillbeam/session/validation.hpp"

namespace V = quillbeam::Validation;

// Labels of letters, digits and hyphens; the last of two or more letters.
static bool isHost(std::string_view s) {
  const size_t dot = s.rfind('.');
  if (dot == std::string_view::npos || s.size() - dot < 3) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const bool inner = i < dot && ((c >= '0' && c <= '9') || c == '-');
    if (c == '.' ? i == 0 || s[i - 1] == '.' : !((c >= 'a' && c <= 'z') || inner)) return false;
  }
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  quillbeam::SessionDraft draft;
  draft.mode = in.ConsumeBool() ? quillbeam::SessionMode::goal : quillbeam::SessionMode::timer;
  draft.durationMin = in.ConsumeIntegralInRange<int64_t>(0, 500);
  draft.goal = in.ConsumeRandomLengthString(48);
  draft.milestones = {in.ConsumeRandomLengthString(16)};
  draft.anchors = {in.ConsumeRemainingBytesAsString()};

  const std::string host = V::normalizeDomain(draft.anchors[0]);
  FUZZ_CHECK(host.empty() || isHost(host));

  // An ASCII goal needs three characters after trimming, CR LF counting as one; the site
  // is judged next.
  const auto answer = V::problem(draft);
  const bool noGoal = answer == "Write down what you want to get done.";
  if (std::ranges::all_of(draft.goal, [](unsigned char c) { return c < 0x80; })) {
    std::string_view goal = draft.goal;  // trimmed of the ASCII spaces and line breaks
    goal.remove_prefix(std::min(goal.find_first_not_of(" \n\v\f\r"), goal.size()));
    goal = goal.substr(0, goal.find_last_not_of(" \n\v\f\r") + 1);
    size_t n = goal.size();
    for (size_t at = goal.find("\r\n"); at != goal.npos; at = goal.find("\r\n", at + 2)) --n;
    FUZZ_CHECK(noGoal == (n < 3));
  }
  if (!noGoal) FUZZ_CHECK(host.empty() == (answer && answer->starts_with("Add the site")));
  return 0;
}
