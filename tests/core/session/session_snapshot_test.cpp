#include "quillbeam/session/session_snapshot.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "quillbeam/session/session_draft.hpp"

namespace quillbeam {
namespace {

const std::string minimalJson =
    R"({"id":"s1","goal":"Read","mode":"goal","strictness":"lockdown","startedAt":1000,)"
    R"("milestonesDone":1,"milestonesTotal":3,"anchors":["example.org"],"anchorUrl":"u"})";
const std::string fullJson =
    R"({"id":"s1","goal":"Read","mode":"goal","strictness":"lockdown","startedAt":1000,)"
    R"("endsAt":61000,"milestonesDone":1,"milestonesTotal":3,"anchors":["example.org"],)"
    R"("anchorUrl":"u","breakUntil":2000,"sideQuestUntil":3000,"sideQuestDoubt":"\"é\""})";

SessionSnapshot read(const json::Value& j) {
  return SessionSnapshot::fromJson(j);
}

TEST(SessionRecords, EncodeInKeyOrderAndReadBack) {
  for (const std::string& text : {minimalJson, fullJson})
    EXPECT_EQ(read(json::parse(text)).encode(), text);
  const std::string draft = R"({"goal":"Essay","anchors":["a.org"],"mode":"timer",)"
                            R"("strictness":"gentle","durationMin":25,"milestones":[]})";
  EXPECT_EQ(SessionDraft::fromJson(json::parse(draft)).encode(), draft);
  json::Value noMilestones = json::parse(draft);
  noMilestones.erase("milestones");
  EXPECT_THROW(SessionDraft::fromJson(noMilestones), DecodingError);
}

TEST(SessionRecords, DecodingIsStrictAboutKeysAndTypesButLenientAboutEnumText) {
  const json::Value full = json::parse(fullJson);
  json::Value nulls = json::parse(minimalJson);
  for (const char* key : {"endsAt", "breakUntil", "sideQuestUntil", "sideQuestDoubt"}) {
    nulls[key] = nullptr;
  }
  nulls["unknown"] = {1};
  EXPECT_EQ(read(nulls), read(json::parse(minimalJson)));
  const std::pair<const char*, json::Value> bad[] = {
      {"id", nullptr},    {"startedAt", "now"},
      {"startedAt", 1.5}, {"milestonesDone", true},
      {"anchors", {1}},   {"anchorUrl", false},
      {"endsAt", "soon"}, {"sideQuestDoubt", 3},
      {"strictness", 2},  {"mode", json::Value::object()}};
  for (const auto& [key, value] : bad) {
    json::Value j = full;
    j[key] = value;
    EXPECT_THROW(read(j), DecodingError) << key << " = " << value.dump();
  }
  json::Value lenient = full;
  lenient["mode"] = "pomodoro";
  lenient["strictness"] = "Strict";
  EXPECT_EQ(read(lenient).mode, SessionMode::timer);
  EXPECT_EQ(read(lenient).strictness, Strictness::strict);
}

TEST(SessionSnapshot, EndsBreaksAndSideQuestsAreExclusive) {
  SessionSnapshot s = read(json::parse(fullJson));
  EXPECT_TRUE(s.isActive(Date(60.999)));
  EXPECT_FALSE(s.isActive(Date(61)));
  EXPECT_DOUBLE_EQ(*s.remaining(Date(58.5)), 2.5);
  EXPECT_TRUE(s.onBreak(Date(1.5)));
  EXPECT_FALSE(s.onBreak(Date(2)));
  EXPECT_DOUBLE_EQ(*s.sideQuestRemaining(Date(2.5)), 0.5);
  EXPECT_EQ(s.sideQuestRemaining(Date(3)), std::nullopt);
  EXPECT_EQ(s.elapsed(Date(0)), 0.0);
  EXPECT_DOUBLE_EQ(s.elapsed(Date(91)), 90.0);
  EXPECT_EQ(s.elapsed(Date(std::nan(""))), 0.0);
  s.endsAt.reset();
  EXPECT_TRUE(s.isActive(Date(1e12)));
  EXPECT_EQ(s.remaining(Date(1e12)), std::nullopt);
}

}  // namespace
}  // namespace quillbeam
