#include "quillbeam/session/session_snapshot.hpp"

#include <gtest/gtest.h>

#include "quillbeam/session/session_draft.hpp"

namespace quillbeam {
namespace {

constexpr int64_t start = 1'700'000'000'000;

SessionSnapshot minimal() {
  SessionSnapshot s;
  s.id = "s1";
  s.goal = "Read chapter 4";
  s.mode = SessionMode::goal;
  s.strictness = Strictness::lockdown;
  s.startedAt = start;
  s.milestonesDone = 1;
  s.milestonesTotal = 3;
  s.anchors = {"example.org", "docs.example.org"};
  s.anchorUrl = "https://example.org/a";
  return s;
}

SessionSnapshot full() {
  SessionSnapshot s = minimal();
  s.endsAt = start + 3'600'000;
  s.breakUntil = start + 60'000;
  s.sideQuestUntil = start + 120'000;
  s.sideQuestDoubt = "is this \"really\" needed? é";
  return s;
}

std::vector<std::string> keysOf(const json::Ordered& j) {
  std::vector<std::string> keys;
  for (const auto& [k, v] : j.items()) keys.push_back(k);
  return keys;
}

TEST(SessionSnapshotJson, WritesKeysInDeclarationOrderWithoutAbsentOptionals) {
  EXPECT_EQ(
      keysOf(minimal().toJson()),
      (std::vector<std::string>{"id", "goal", "mode", "strictness", "startedAt", "milestonesDone",
                                "milestonesTotal", "anchors", "anchorUrl"}));
  EXPECT_EQ(keysOf(full().toJson()),
            (std::vector<std::string>{"id", "goal", "mode", "strictness", "startedAt", "endsAt",
                                      "milestonesDone", "milestonesTotal", "anchors", "anchorUrl",
                                      "breakUntil", "sideQuestUntil", "sideQuestDoubt"}));
  EXPECT_EQ(minimal().toJson()["mode"], "goal");
  EXPECT_EQ(minimal().toJson()["strictness"], "lockdown");
}

TEST(SessionSnapshotJson, RoundTrips) {
  for (const auto& s : {minimal(), full()}) {
    EXPECT_EQ(SessionSnapshot::fromJson(json::parse(json::compact(s.toJson()))), s);
  }
}

TEST(SessionSnapshotJson, EveryRequiredKeyIsRequired) {
  for (const char* key : {"id", "goal", "mode", "strictness", "startedAt", "milestonesDone",
                          "milestonesTotal", "anchors", "anchorUrl"}) {
    json::Value j = json::parse(json::compact(minimal().toJson()));
    j.erase(key);
    EXPECT_THROW(SessionSnapshot::fromJson(j), DecodingError) << key;
    j[key] = nullptr;
    EXPECT_THROW(SessionSnapshot::fromJson(j), DecodingError) << key << " null";
  }
}

TEST(SessionSnapshotJson, OptionalKeysMayBeNullButNotMistyped) {
  json::Value j = json::parse(json::compact(minimal().toJson()));
  for (const char* key : {"endsAt", "breakUntil", "sideQuestUntil", "sideQuestDoubt"})
    j[key] = nullptr;
  j["unknown"] = {{"x", 1}};
  EXPECT_EQ(SessionSnapshot::fromJson(j), minimal());
  for (const char* key : {"endsAt", "breakUntil", "sideQuestUntil"}) {
    json::Value bad = j;
    bad[key] = "soon";
    EXPECT_THROW(SessionSnapshot::fromJson(bad), DecodingError) << key;
  }
  json::Value bad = j;
  bad["sideQuestDoubt"] = 3;
  EXPECT_THROW(SessionSnapshot::fromJson(bad), DecodingError);
}

TEST(SessionSnapshotJson, EnumsAreLenientAboutTextButStrictAboutType) {
  json::Value j = json::parse(json::compact(minimal().toJson()));
  j["mode"] = "pomodoro";
  j["strictness"] = "Strict";
  auto s = SessionSnapshot::fromJson(j);
  EXPECT_EQ(s.mode, SessionMode::timer);
  EXPECT_EQ(s.strictness, Strictness::strict);
  j["strictness"] = 2;
  EXPECT_THROW(SessionSnapshot::fromJson(j), DecodingError);
  j["strictness"] = "gentle";
  j["mode"] = json::Value::object();
  EXPECT_THROW(SessionSnapshot::fromJson(j), DecodingError);
}

TEST(SessionSnapshotJson, MistypedRequiredValuesFail) {
  const std::pair<const char*, json::Value> cases[] = {{"id", 5},
                                                       {"startedAt", "now"},
                                                       {"startedAt", 1.5},
                                                       {"milestonesDone", true},
                                                       {"anchors", "example.org"},
                                                       {"anchors", json::Value::array({1})},
                                                       {"anchorUrl", false}};
  for (const auto& [key, value] : cases) {
    json::Value j = json::parse(json::compact(minimal().toJson()));
    j[key] = value;
    EXPECT_THROW(SessionSnapshot::fromJson(j), DecodingError) << key << " = " << value.dump();
  }
}

TEST(Enumerations, RawValuesTitlesAndAllCases) {
  EXPECT_EQ(strictnessFromRaw("Strict"), std::nullopt);
  EXPECT_EQ(strictnessFromRaw("strict"), Strictness::strict);
  EXPECT_EQ(sessionModeFromRaw("goal"), SessionMode::goal);
  EXPECT_EQ(sessionModeFromRaw("Goal"), std::nullopt);
  std::vector<std::string> titles;
  for (auto s : Strictnesses::allCases) titles.emplace_back(title(s));
  EXPECT_EQ(titles, (std::vector<std::string>{"Gentle", "Strict", "Lockdown"}));
  EXPECT_EQ(rawValue(SessionModes::allCases[1]), "goal");
}

class TimeQueries : public ::testing::Test {
 protected:
  SessionSnapshot s = full();
  Date startAt = Date::fromMs(start);
  Date end = Date::fromMs(*s.endsAt);
  Date breakEnd = Date::fromMs(*s.breakUntil);
  Date questEnd = Date::fromMs(*s.sideQuestUntil);
};

TEST_F(TimeQueries, EndIsExclusive) {
  EXPECT_TRUE(s.isActive(end - 0.001));
  EXPECT_FALSE(s.isActive(end));
  EXPECT_EQ(s.remaining(end), 0.0);
  EXPECT_EQ(s.remaining(end + 1), 0.0);
  EXPECT_DOUBLE_EQ(*s.remaining(end - 2.5), 2.5);
}

TEST_F(TimeQueries, WithoutEndAlwaysActive) {
  s.endsAt.reset();
  EXPECT_TRUE(s.isActive(Date(1e12)));
  EXPECT_EQ(s.remaining(Date(1e12)), std::nullopt);
}

TEST_F(TimeQueries, BreakAndSideQuestVanishWhenOver) {
  EXPECT_TRUE(s.onBreak(breakEnd - 1));
  EXPECT_FALSE(s.onBreak(breakEnd));
  EXPECT_DOUBLE_EQ(*s.breakRemaining(breakEnd - 1), 1.0);
  EXPECT_EQ(s.breakRemaining(breakEnd), std::nullopt);
  EXPECT_DOUBLE_EQ(*s.sideQuestRemaining(questEnd - 0.5), 0.5);
  EXPECT_EQ(s.sideQuestRemaining(questEnd + 10), std::nullopt);
  s.breakUntil.reset();
  s.sideQuestUntil.reset();
  EXPECT_FALSE(s.onBreak(startAt));
  EXPECT_EQ(s.breakRemaining(startAt), std::nullopt);
  EXPECT_EQ(s.sideQuestRemaining(startAt), std::nullopt);
}

TEST_F(TimeQueries, ElapsedNeverNegative) {
  EXPECT_EQ(s.elapsed(startAt - 5), 0.0);
  EXPECT_DOUBLE_EQ(s.elapsed(startAt + 90), 90.0);
  EXPECT_EQ(s.elapsed(Date(std::nan(""))), 0.0);
}

TEST(SessionDraftJson, KeysRoundTripAndOptionalDuration) {
  SessionDraft d{"Write essay", {"example.org"}, SessionMode::timer, Strictness::gentle, 25, {}};
  EXPECT_EQ(keysOf(d.toJson()), (std::vector<std::string>{"goal", "anchors", "mode", "strictness",
                                                          "durationMin", "milestones"}));
  EXPECT_EQ(SessionDraft::fromJson(json::parse(json::compact(d.toJson()))), d);
  d.durationMin.reset();
  json::Ordered j = d.toJson();
  EXPECT_FALSE(j.contains("durationMin"));
  EXPECT_EQ(SessionDraft::fromJson(json::parse(json::compact(j))), d);
  json::Value missing = json::parse(json::compact(j));
  missing.erase("milestones");
  EXPECT_THROW(SessionDraft::fromJson(missing), DecodingError);
}

}  // namespace
}  // namespace quillbeam
