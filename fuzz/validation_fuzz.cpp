// normalizeDomain and problem(with:) on arbitrary text, valid UTF-8 or not. For ASCII
// input the rules are simple enough to restate here, so the answers are checked exactly;
// for any other input the shape of the answer and the order of the rules are checked.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "quillbeam/session/validation.hpp"

namespace {

namespace V = quillbeam::Validation;

constexpr std::string_view goalMessage = "Write down what you want to get done.";
constexpr std::string_view anchorPrefix = "Add the site you are studying on, like ";
constexpr std::string_view durationMessage = "Pick a duration between 5 minutes and 8 hours.";
constexpr std::string_view milestoneMessage = "Add at least one milestone to check off.";

bool isAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string_view trimAscii(std::string_view s, std::string_view strip) {
  const auto begin = s.find_first_not_of(strip);
  if (begin == std::string_view::npos) return {};
  return s.substr(begin, s.find_last_not_of(strip) - begin + 1);
}

// In ASCII, whitespace-and-newline is the space and U+000A to U+000D; whitespace is the
// space and the tab.
constexpr std::string_view asciiSpaceAndNewline = " \n\v\f\r";
constexpr std::string_view asciiSpace = " \t";

std::vector<std::string_view> split(std::string_view s, char at) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto next = s.find(at);
    parts.push_back(s.substr(0, next));
    if (next == std::string_view::npos) return parts;
    s.remove_prefix(next + 1);
  }
}

bool isHostLabel(std::string_view label, bool last) {
  if (label.empty()) return false;
  if (last && label.size() < 2) return false;
  return std::all_of(label.begin(), label.end(), [last](char c) {
    return (c >= 'a' && c <= 'z') || (!last && ((c >= '0' && c <= '9') || c == '-'));
  });
}

// The steps of normalizeDomain for ASCII text.
std::string normalizeAscii(std::string_view text) {
  std::string s(trimAscii(text, asciiSpaceAndNewline));
  std::transform(s.begin(), s.end(), s.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  if (auto at = s.find("://"); at != std::string::npos) s.erase(0, at + 3);
  if (auto at = s.find_first_of("/?#"); at != std::string::npos) s.erase(at);
  if (auto at = s.find(':'); at != std::string::npos) s.erase(at);
  if (s.starts_with("www.")) s.erase(0, 4);
  if (s.ends_with('.')) s.pop_back();
  const auto labels = split(s, '.');
  if (labels.size() < 2) return {};
  for (size_t i = 0; i < labels.size(); ++i) {
    if (!isHostLabel(labels[i], i + 1 == labels.size())) return {};
  }
  return s;
}

// Whatever the input, a non-empty answer is a bare host name.
void checkHostShape(const std::string& host) {
  if (host.empty()) return;
  const auto labels = split(host, '.');
  FUZZ_CHECK(labels.size() >= 2);
  for (size_t i = 0; i < labels.size(); ++i) {
    FUZZ_CHECK(isHostLabel(labels[i], i + 1 == labels.size()));
  }
}

// Grapheme clusters of ASCII text: one per byte, except that CR LF is one.
size_t asciiClusters(std::string_view s) {
  size_t n = s.size();
  for (size_t at = s.find("\r\n"); at != std::string_view::npos; at = s.find("\r\n", at + 2)) --n;
  return n;
}

void checkProblem(FuzzedDataProvider& in) {
  quillbeam::SessionDraft draft;
  draft.goal = in.ConsumeRandomLengthString(48);
  const int anchors = in.ConsumeIntegralInRange<int>(0, 3);
  for (int i = 0; i < anchors; ++i) draft.anchors.push_back(in.ConsumeRandomLengthString(48));
  draft.mode = in.ConsumeBool() ? quillbeam::SessionMode::goal : quillbeam::SessionMode::timer;
  draft.strictness =
      in.PickValueInArray({quillbeam::Strictness::gentle, quillbeam::Strictness::strict,
                           quillbeam::Strictness::lockdown});
  if (in.ConsumeBool()) {
    draft.durationMin = in.ConsumeBool() ? in.ConsumeIntegralInRange<int64_t>(0, 500)
                                         : in.ConsumeIntegral<int64_t>();
  }
  const int milestones = in.ConsumeIntegralInRange<int>(0, 3);
  for (int i = 0; i < milestones; ++i) draft.milestones.push_back(in.ConsumeRandomLengthString(16));

  const std::optional<std::string> answer = V::problem(draft);

  const bool anchored =
      std::any_of(draft.anchors.begin(), draft.anchors.end(),
                  [](const std::string& a) { return !V::normalizeDomain(a).empty(); });
  const bool timed = draft.mode != quillbeam::SessionMode::timer ||
                     (draft.durationMin && *draft.durationMin >= 5 && *draft.durationMin <= 480);

  if (!answer) {
    FUZZ_CHECK(anchored && timed);
  } else if (*answer == goalMessage) {
    // Checked exactly below when the goal is ASCII.
  } else if (answer->starts_with(anchorPrefix)) {
    FUZZ_CHECK(answer->ends_with('.') && answer->size() > anchorPrefix.size() + 1);
    FUZZ_CHECK(!anchored);
  } else if (*answer == durationMessage) {
    FUZZ_CHECK(anchored && !timed);
  } else if (*answer == milestoneMessage) {
    FUZZ_CHECK(anchored && timed && draft.mode == quillbeam::SessionMode::goal);
  } else {
    FUZZ_CHECK(!"an answer outside the four messages");
  }

  if (isAscii(draft.goal)) {
    const bool written = asciiClusters(trimAscii(draft.goal, asciiSpaceAndNewline)) >= 3;
    FUZZ_CHECK((answer == goalMessage) == !written);
  }
  const bool asciiMilestones = std::all_of(draft.milestones.begin(), draft.milestones.end(),
                                           [](const std::string& m) { return isAscii(m); });
  if (asciiMilestones && answer != goalMessage && anchored &&
      draft.mode == quillbeam::SessionMode::goal) {
    const bool written =
        std::any_of(draft.milestones.begin(), draft.milestones.end(),
                    [](const std::string& m) { return !trimAscii(m, asciiSpace).empty(); });
    FUZZ_CHECK(answer == (written ? std::nullopt : std::optional<std::string>(milestoneMessage)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    const std::string text = in.ConsumeRemainingBytesAsString();
    const std::string host = V::normalizeDomain(text);
    checkHostShape(host);
    if (isAscii(text)) FUZZ_CHECK(host == normalizeAscii(text));
  } else {
    checkProblem(in);
  }
  return 0;
}
