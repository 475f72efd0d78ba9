#include "state_messages.hpp"

#include <cstdint>

namespace quillbeam::soak {
namespace {

std::string frame(const std::string& payload) {
  const auto n = static_cast<uint32_t>(payload.size());
  std::string out;
  out.reserve(payload.size() + 4);
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<char>((n >> shift) & 0xffu));
  return out + payload;
}

}  // namespace

int64_t milestonesFor(int64_t sequence) {
  return sequence % 1000;
}

std::string framedHello() {
  return frame(R"({"type":"hello","protocol":1,"extensionVersion":"soak"})");
}

std::string framedState(int64_t sequence) {
  const int64_t sentAt = 1765000000000 + sequence;
  return frame(R"({"type":"state","sentAt":)" + std::to_string(sentAt) + R"(,"session":{"id":")" +
               soakSessionID +
               R"(","goal":"Finish chapter 3 of the thesis","mode":"goal","strictness":"strict",)"
               R"("startedAt":1765000000000,"endsAt":1765007200000,"milestonesDone":)" +
               std::to_string(milestonesFor(sequence)) +
               R"(,"milestonesTotal":1000,"anchors":["scholar.example.org","docs.example.com"],)"
               R"("anchorUrl":"https://scholar.example.org/papers?q=focus"}})");
}

}  // namespace quillbeam::soak
