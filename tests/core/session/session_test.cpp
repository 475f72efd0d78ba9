#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

#include "quillbeam/session/format.hpp"
#include "quillbeam/session/session_draft.hpp"
#include "quillbeam/session/session_snapshot.hpp"

namespace quillbeam {
namespace {

TEST(Date, MillisecondsRoundHalvesAwayFromZeroAndSaturate) {
  const std::pair<double, int64_t> rows[] = {
      {0.0005, 1}, {-0.0005, -1}, {0.0004, 0}, {std::nan(""), 0}, {-1e300, INT64_MIN}};
  for (const auto& [seconds, ms] : rows) EXPECT_EQ(Date::fromSeconds(seconds).ms(), ms) << seconds;
  const int64_t before = static_cast<int64_t>(std::time(nullptr)) * 1000;
  EXPECT_GE(Date::now().ms(), before);
  EXPECT_LT(Date::now().ms(), before + 60'000);
}

TEST(Format, ClockAndShortRoundAtTheirEdges) {
  using Row = std::tuple<double, const char*, const char*>;
  for (const auto& [seconds, clock, brief] :
       {Row{-0.5, "0:00", "<1m"}, Row{0.5, "0:01", "<1m"}, Row{59.5, "1:00", "<1m"},
        Row{60, "1:00", "1m"}, Row{60.001, "1:00", "2m"}, Row{3541, "59:01", "1h"},
        Row{3599.5, "1:00:00", "1h"}, Row{3601, "1:00:01", "1h 1m"},
        Row{360000, "100:00:00", "100h"}, Row{NAN, "0:00", "<1m"}, Row{-INFINITY, "0:00", "<1m"},
        // Past int64 the seconds saturate; the minutes still fit at 2^63.
        Row{INFINITY, "2562047788015215:30:07", "153722867280912930h 7m"},
        Row{0x1p63, "2562047788015215:30:07", "2562047788015215h 28m"}}) {
    EXPECT_EQ(Format::clock(seconds), clock) << seconds;
    EXPECT_EQ(Format::short_(seconds), brief) << seconds;
  }
}

const std::string minimalJson =
    R"({"id":"s1","goal":"Read","mode":"timer","strictness":"strict","startedAt":1000,)"
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
  const std::string noMilestones = draft.substr(0, draft.find(",\"milestones")) + "}";
  EXPECT_THROW(SessionDraft::fromJson(json::parse(noMilestones)), DecodingError);
}

TEST(SessionRecords, DecodingIsStrictAboutKeysAndTypesButLenientAboutEnumText) {
  const json::Value full = json::parse(fullJson);
  json::Value nulls = json::parse(minimalJson);
  for (const char* key : {"endsAt", "breakUntil", "sideQuestUntil", "sideQuestDoubt"}) {
    nulls[key] = nullptr;
  }
  nulls["unknown"] = {1};
  nulls["mode"] = "pomodoro";  // unknown enum text reads as the default
  nulls["strictness"] = "Strict";
  EXPECT_EQ(read(nulls), read(json::parse(minimalJson)));
  const std::pair<const char*, json::Value> bad[] = {
      {"id", nullptr},       {"startedAt", 1.5},   {"milestonesDone", true},
      {"anchors", {1}},      {"anchorUrl", false}, {"endsAt", "soon"},
      {"sideQuestDoubt", 3}, {"strictness", 2},    {"mode", json::Value::object()}};
  for (const auto& [key, value] : bad) {
    json::Value j = full;
    j[key] = value;
    EXPECT_THROW(read(j), DecodingError) << key << " = " << value.dump();
  }
}

TEST(SessionSnapshot, EndsBreaksAndSideQuestsAreExclusive) {
  // isActive is met through the policy and the effective session.
  SessionSnapshot s = read(json::parse(fullJson));
  EXPECT_DOUBLE_EQ(*s.remaining(Date::fromSeconds(58.5)), 2.5);
  EXPECT_TRUE(s.onBreak(Date::fromSeconds(1.5)));
  EXPECT_FALSE(s.onBreak(Date::fromSeconds(2)));
  EXPECT_DOUBLE_EQ(*s.sideQuestRemaining(Date::fromSeconds(2.5)), 0.5);
  EXPECT_EQ(s.sideQuestRemaining(Date::fromSeconds(3)), std::nullopt);
  EXPECT_DOUBLE_EQ(s.elapsed(Date::fromSeconds(91)), 90.0);
  EXPECT_EQ(s.elapsed(Date::fromSeconds(std::nan(""))), 0.0);
  s.endsAt.reset();
  EXPECT_EQ(s.remaining(Date::fromSeconds(1e12)), std::nullopt);
}

}  // namespace
}  // namespace quillbeam
