// normalizeDomain and problem() on arbitrary text, valid UTF-8 or not: a goal, a milestone
// and a site (the rest of the input). A host that comes out is a bare host name.
#include <fuzzer/FuzzedDataProvider.h>

#include "quillbeam/session/validation.hpp"

namespace V = quillbeam::Validation;

// Labels of letters, digits and hyphens; the last of two or more letters.
static bool isHost(std::string_view s) {
  const size_t dot = s.rfind('.');
  return dot != s.npos && s.size() - dot > 2 && s[0] != '.' && s.find("..") == s.npos &&
         s.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-.") == s.npos &&
         s.find_first_not_of("abcdefghijklmnopqrstuvwxyz", dot + 1) == s.npos;
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

  // With a goal that passes, the site is judged next.
  const auto answer = V::problem(draft);
  FUZZ_CHECK(answer == "Write down what you want to get done." ||
             host.empty() == (answer && answer->starts_with("Add the site")));
  return 0;
}
