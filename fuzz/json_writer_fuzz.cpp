// The straight-to-text JSON writer on records built from arbitrary values: texts of any
// bytes (control characters, quotes, invalid UTF-8), any integers, any optional fields.
// Whatever it writes must parse, and must read back as what nlohmann's own encoding of the
// same record reads back as (both turn invalid UTF-8 into U+FFFD); for valid UTF-8 that
// is the record itself.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "quillbeam/json/json_writer.hpp"
#include "quillbeam/session/browser_link.hpp"
#include "quillbeam/wire/host_message.hpp"

namespace {

using namespace quillbeam;

// nlohmann's strict dump refuses invalid UTF-8.
bool isValidUtf8(const std::string& s) {
  try {
    (void)json::Ordered(s).dump();
    return true;
  } catch (const json::Ordered::type_error&) {
    return false;
  }
}

struct Texts {
  FuzzedDataProvider& in;
  bool allValid = true;
  std::string next() {
    std::string s = in.ConsumeRandomLengthString(24);
    allValid = allValid && isValidUtf8(s);
    return s;
  }
  std::vector<std::string> list() {
    std::vector<std::string> out(in.ConsumeIntegralInRange<size_t>(0, 3));
    for (auto& s : out) s = next();
    return out;
  }
};

template <class T>
std::optional<T> maybe(FuzzedDataProvider& in, T value) {
  return in.ConsumeBool() ? std::optional<T>(std::move(value)) : std::nullopt;
}

SessionSnapshot makeSnapshot(FuzzedDataProvider& in, Texts& texts) {
  SessionSnapshot s;
  s.id = texts.next();
  s.goal = texts.next();
  s.mode = in.ConsumeBool() ? SessionMode::goal : SessionMode::timer;
  s.strictness =
      in.PickValueInArray({Strictness::gentle, Strictness::strict, Strictness::lockdown});
  s.startedAt = in.ConsumeIntegral<int64_t>();
  s.endsAt = maybe(in, in.ConsumeIntegral<int64_t>());
  s.milestonesDone = in.ConsumeIntegral<int64_t>();
  s.milestonesTotal = in.ConsumeIntegral<int64_t>();
  s.anchors = texts.list();
  s.anchorUrl = texts.next();
  s.breakUntil = maybe(in, in.ConsumeIntegral<int64_t>());
  s.sideQuestUntil = maybe(in, in.ConsumeIntegral<int64_t>());
  s.sideQuestDoubt = maybe(in, texts.next());
  return s;
}

// What the record reads back as from `text`; a text that does not parse is a failure.
template <class T>
T readBack(const std::string& text) {
  return T::fromJson(json::parse(text));
}

template <class T>
void check(const T& record, bool allValid) {
  const std::string written = json::encode(record);
  const T fromWriter = readBack<T>(written);
  FUZZ_CHECK(fromWriter == readBack<T>(json::compact(record.toJson())));
  if (allValid) FUZZ_CHECK(fromWriter == record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Texts texts{in};
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: {
      BrowserLink link(in.ConsumeBool(), in.ConsumeIntegral<int64_t>());
      link.extensionVersion = maybe(in, texts.next());
      if (in.ConsumeBool()) link.session = makeSnapshot(in, texts);
      link.bridgePID = maybe(in, in.ConsumeIntegral<int32_t>());
      check(link, texts.allValid);
      break;
    }
    case 1: {
      SessionDraft draft;
      draft.goal = texts.next();
      draft.anchors = texts.list();
      draft.mode = in.ConsumeBool() ? SessionMode::goal : SessionMode::timer;
      draft.strictness = Strictness::lockdown;
      draft.durationMin = maybe(in, in.ConsumeIntegral<int64_t>());
      draft.milestones = texts.list();
      check(HostMessage{HostMessage::Start{draft}}, texts.allValid);
      break;
    }
    default:
      check(HostMessage{HostMessage::AppBlocked{texts.next()}}, texts.allValid);
      break;
  }
  return 0;
}
