#pragma once

// Messages as the browser extension sends them, shared by the in-process benchmarks and the
// host driver. Plain text building: the driver must not depend on the code it measures.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillbeam::bench {

inline constexpr std::string_view helloMessage =
    R"({"type":"hello","protocol":1,"extensionVersion":"bench"})";

// The id of the session every state report belongs to, as while one session runs.
inline constexpr std::string_view sessionId = "5f0c2a4e-8d3b-4c71-9e2a-7b1d6f3c9a10";

namespace detail {

inline std::string stateHead(int64_t sentAt, int64_t milestonesDone) {
  return R"({"type":"state","sentAt":)" + std::to_string(sentAt) + R"(,"session":{"id":")" +
         std::string(sessionId) +
         R"(","goal":"Finish the quarterly report draft and check the budget",)"
         R"("mode":"timer","strictness":"lockdown","startedAt":1717998200000,)"
         R"("endsAt":1718003600000,"milestonesDone":)" +
         std::to_string(milestonesDone) + R"(,"milestonesTotal":5,"anchors":[)";
}

inline constexpr std::string_view stateTail =
    R"(],"anchorUrl":"https://docs.example.com/d/1a2b3c4d/edit",)"
    R"("breakUntil":1718000300000,"sideQuestUntil":1718000600000,)"
    R"("sideQuestDoubt":"Is the budget sheet up to date?"}})";

}  // namespace detail

// A state report in the middle of a session: a timer at lockdown strictness with five
// anchors, on a break and a side quest, every optional field present (about 650 bytes).
inline std::string stateMessage(int64_t sentAt = 1718000000123, int64_t milestonesDone = 2) {
  return detail::stateHead(sentAt, milestonesDone) +
         R"("https://docs.example.com/d/1a2b3c4d/edit",)"
         R"("https://sheets.example.com/d/9z8y7x6w/edit",)"
         R"("https://mail.example.com/inbox",)"
         R"("https://calendar.example.com/week",)"
         R"("https://wiki.example.org/Planning")" +
         std::string(detail::stateTail);
}

// A state report of exactly `size` bytes (at least a few hundred): the same session with
// as many anchors as it takes, the last one padded to hit the size.
inline std::string largeStateMessage(size_t size) {
  std::string text = detail::stateHead(1718000000123, 2);
  const size_t tail = detail::stateTail.size();
  constexpr std::string_view anchorStem = "https://anchor.example.com/pages/";
  // Whole anchors while the next one and the tail still fit.
  for (size_t n = 0;; ++n) {
    std::string anchor =
        std::string(n == 0 ? "\"" : ",\"") + std::string(anchorStem) + std::to_string(n) + '"';
    if (text.size() + anchor.size() + tail > size) break;
    text += anchor;
  }
  // Pad inside the last anchor's text: drop its closing quote, fill, close it again.
  if (text.back() == '"') {
    text.pop_back();
    text.append(size - tail - text.size() - 1, 'x');
    text += '"';
  }
  text += detail::stateTail;
  return text;
}

}  // namespace quillbeam::bench
