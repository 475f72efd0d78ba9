// Carrying decisions out, with the desktop scripted: what is recorded before a pause, what
// is told, when and in which words, and what a refusal leaves behind.
#include <gmock/gmock.h>

#include <algorithm>

#include "companion/desktop/small_file.hpp"
#include "companion/pause_record.hpp"
#include "companion/shield.hpp"
#include "companion/shield_notice.hpp"
#include "support/file_text.hpp"
#include "support/scoped_env.hpp"
#include "support/scratch_dir.hpp"

namespace quillbeam::companion {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// The desktop as a list of what was done to it, in order.
struct ScriptedDesktop final : ShieldEffects {
  std::filesystem::path record;
  std::vector<std::string> done;
  std::set<std::string> refusePause;
  std::set<std::string> refuseResume;
  std::optional<std::string> pause(const ShieldTarget& target) override {
    const std::string dir = target.cgroupDirectory().filename().string();
    // Nothing is paused that the record does not hold already.
    const bool recorded = slurp().find(dir) != std::string::npos;
    done.push_back("pause " + dir + (recorded ? "" : " UNRECORDED"));
    if (refusePause.count(dir)) return "permission denied";
    return std::nullopt;
  }
  std::optional<std::string> resume(const ShieldTarget& target) override {
    const std::string dir = target.cgroupDirectory().filename().string();
    done.push_back("resume " + dir);
    if (refuseResume.count(dir)) return "device busy";
    return std::nullopt;
  }
  void notify(const std::string& key, const std::string& summary, const std::string&) override {
    done.push_back("notify " + key + ": " + summary);
  }
  void withdraw(const std::string& key) override { done.push_back("withdraw " + key); }
  void appBlocked(const std::string& name) override { done.push_back("app-blocked " + name); }
  void log(std::string_view line) override { done.push_back("log " + std::string(line)); }
  std::string slurp() const {
    auto text = readSmallFile(record);
    return text ? *text : "[]";
  }
  std::vector<std::string> take() { return std::exchange(done, {}); }
};

RunningApp app(const std::string& id, const std::string& name, const std::string& unit) {
  return RunningApp{id, name, id, ShieldTarget::cgroup("/sys/fs/cgroup/app.slice/" + unit), false};
}

Decision shielding(std::string sessionID, std::vector<JudgedApp> apps) {
  Decision decision;
  decision.session = SessionSnapshot{};
  decision.session->id = std::move(sessionID);
  decision.session->goal = "Deep work";
  decision.apps = std::move(apps);
  return decision;
}

class ShieldApply : public ::testing::Test {
 protected:
  ShieldApply() { desktop.record = dir.path() / "paused.json"; }
  testing::ScratchDir dir;
  ScriptedDesktop desktop;
  Shield shield{dir.path() / "paused.json", desktop};
  const CompanionSettings& settings = CompanionSettings::defaults();
  const RunningApp discord = app("com.hnc.Discord", "Discord", "app-discord-1.scope");
  const RunningApp chrome = app("com.google.Chrome", "Google Chrome", "app-chrome-2.scope");
  const Verdict blocked = Verdict::shield(ShieldReason::distractingApp);
  const Verdict extensionOff = Verdict::shield(ShieldReason::extensionOff);
};

TEST_F(ShieldApply, PausesAfterRecordingTellsOncePerSessionAndResumesWhenAllowed) {
  shield.apply(shielding("s1", {{discord, blocked}, {chrome, extensionOff}}), settings);
  EXPECT_THAT(
      desktop.take(),
      ElementsAre("notify com.hnc.Discord: Discord is paused",
                  "notify com.google.Chrome: Turn the Quillbeam extension back on in Google Chrome",
                  "pause app-discord-1.scope", "app-blocked Discord"));
  EXPECT_EQ(PauseRecord::read(desktop.record).apps.size(), 1u);

  // The same decision again does nothing; a break resumes and withdraws.
  shield.apply(shielding("s1", {{discord, blocked}, {chrome, extensionOff}}), settings);
  EXPECT_THAT(desktop.take(), IsEmpty());
  shield.apply(shielding("s1", {{discord, Verdict::allow()}, {chrome, Verdict::allow()}}),
               settings);
  EXPECT_THAT(desktop.take(),
              ElementsAre("resume app-discord-1.scope", "withdraw com.google.Chrome",
                          "withdraw com.hnc.Discord"));
  EXPECT_FALSE(std::filesystem::exists(desktop.record));

  // Paused again in the same session: not told to the extension twice; a new session is.
  shield.apply(shielding("s1", {{discord, blocked}}), settings);
  shield.apply(shielding("s2", {{discord, Verdict::allow()}}), settings);
  shield.apply(shielding("s2", {{discord, blocked}}), settings);
  EXPECT_THAT(desktop.take(),
              ElementsAre("notify com.hnc.Discord: Discord is paused", "pause app-discord-1.scope",
                          "resume app-discord-1.scope", "withdraw com.hnc.Discord",
                          "notify com.hnc.Discord: Discord is paused", "pause app-discord-1.scope",
                          "app-blocked Discord"));
}

TEST_F(ShieldApply, ARefusedPauseIsNotRecordedAndAnUnwritableRecordPausesNothing) {
  desktop.refusePause = {"app-discord-1.scope"};
  shield.apply(shielding("s1", {{discord, blocked}}), settings);
  EXPECT_THAT(shield.paused(), IsEmpty());
  EXPECT_THAT(PauseRecord::read(desktop.record).apps, IsEmpty());
  desktop.take();

  std::filesystem::create_directory(dir.path() / "record-is-a-folder");
  ScriptedDesktop unwritable;
  unwritable.record = dir.path() / "record-is-a-folder";
  Shield blind(unwritable.record, unwritable);
  blind.apply(shielding("s1", {{discord, blocked}}), settings);
  for (const auto& line : unwritable.done) EXPECT_FALSE(line.starts_with("pause")) << line;
  EXPECT_THAT(blind.paused(), IsEmpty());
}

TEST_F(ShieldApply,
       WhatAnEarlierRunPausedIsResumedUnlessStillShieldedAndResumeAllEmptiesTheRecord) {
  const RunningApp steam = app("com.valvesoftware.steam", "Steam", "app-steam-3.scope");
  shield.adopt({PausedApp{discord.bundleID, discord.name, discord.target},
                PausedApp{steam.bundleID, steam.name, steam.target}});
  shield.apply(shielding("s1", {{discord, blocked}, {steam, Verdict::allow()}}), settings);
  EXPECT_THAT(desktop.take(),
              ElementsAre("notify com.hnc.Discord: Discord is paused", "resume app-steam-3.scope"));
  EXPECT_EQ(shield.paused().size(), 1u);
  EXPECT_EQ(PauseRecord::read(desktop.record).apps.size(), 1u);

  EXPECT_EQ(shield.resumeAll().resumed, 1u);
  EXPECT_THAT(desktop.take(),
              ElementsAre("resume app-discord-1.scope", "withdraw com.hnc.Discord"));
  EXPECT_FALSE(std::filesystem::exists(desktop.record));
}

TEST_F(ShieldApply, TheBrowserTheExtensionRunsInIsNeverPausedAndTheUserIsToldTheFixOnce) {
  const RunningApp chromium = app("org.chromium.Chromium", "Chromium", "app-chromium-3.scope");
  const JudgedApp spared{chromium, Verdict::shield(ShieldReason::otherBrowser), true};
  shield.apply(shielding("s1", {spared, {discord, blocked}}), settings);
  shield.apply(shielding("s1", {spared, {discord, blocked}}), settings);
  const auto done = desktop.take();
  EXPECT_THAT(done, Contains("notify org.chromium.Chromium: Chromium is left running"));
  EXPECT_THAT(done, Contains(HasSubstr("pause app-discord-1.scope")));
  EXPECT_THAT(done, Not(Contains(HasSubstr("pause app-chromium-3.scope"))));
  EXPECT_EQ(std::count_if(done.begin(), done.end(),
                          [](const std::string& line) { return line.starts_with("notify org."); }),
            1);
  EXPECT_THAT(
      sparedNotice("Chromium", ShieldReason::otherBrowser, *shielding("s1", {}).session, settings)
          .body,
      HasSubstr("quillbeam settings --study-browser Chromium."));
}

// A resume that fails stays recorded and is tried again, at the next decision and at the
// end; nothing that could not be resumed is forgotten.
TEST_F(ShieldApply, AResumeThatFailsStaysRecordedAndIsTriedAgain) {
  shield.apply(shielding("s1", {{discord, blocked}}), settings);
  desktop.refuseResume = {"app-discord-1.scope"};
  shield.apply(shielding("s1", {{discord, Verdict::allow()}}), settings);
  EXPECT_EQ(PauseRecord::read(desktop.record).apps.size(), 1u);
  const ResumeOutcome atTheEnd = shield.resumeAll();
  EXPECT_THAT(atTheEnd.failed, ElementsAre("Discord"));
  EXPECT_EQ(PauseRecord::read(desktop.record).apps.size(), 1u);
  desktop.refuseResume.clear();
  desktop.take();
  shield.apply(shielding("s1", {{discord, Verdict::allow()}}), settings);
  EXPECT_THAT(desktop.take(), Contains("resume app-discord-1.scope"));
  EXPECT_FALSE(std::filesystem::exists(desktop.record));
}

// A damaged record: every readable entry is resumed, the rest is kept beside it.
TEST(PauseRecord, ReadsWhatItCanAndKeepsTheRestBesideIt) {
  testing::ScratchDir dir;
  const auto record = dir.path() / "paused.json";
  const std::string good =
      R"({"bundleID":"com.hnc.Discord","name":"Discord","target":{"cgroup":"/sys/fs/cgroup/a.slice/b.scope"}})";
  struct Row {
    std::string text;
    size_t readable;
    std::string damage;
  };
  for (const Row& row : {
           Row{"[" + good + "]", 1, ""},
           Row{"[" + good + R"(,{"bundleID":"x","name":"X","target":{"cgroup":"relative"}}])", 1,
               "1 entry could not be read ("},
           Row{"[" + good + ",", 0, "is not a record"},
           Row{"{}", 0, "is not a record"},
       }) {
    testing::writeFile(record, row.text);
    const RecordContents contents = PauseRecord::read(record);
    EXPECT_EQ(contents.apps.size(), row.readable) << row.text;
    if (row.damage.empty()) {
      EXPECT_EQ(contents.damage, std::nullopt);
      continue;
    }
    ASSERT_TRUE(contents.damage) << row.text;
    EXPECT_THAT(*contents.damage, HasSubstr(row.damage));
    const std::string kept = contents.damage->substr(contents.damage->find("kept in ") + 8);
    EXPECT_EQ(testing::readFile(kept), row.text);
  }
}

TEST_F(ShieldApply, WithoutACgroupTreeShieldsAreOnlyTold) {
  Shield telling(desktop.record, desktop, false);
  telling.apply(shielding("s1", {{discord, blocked}}), settings);
  EXPECT_THAT(desktop.take(), ElementsAre("notify com.hnc.Discord: Discord is paused"));
}

TEST(ShieldNotice, SaysWhichAppWhyAndUntilWhenInLocalTime) {
  const testing::ScopedEnv utc("TZ", "UTC");
  const CompanionSettings& settings = CompanionSettings::defaults();
  SessionSnapshot session = *shielding("s1", {}).session;
  session.endsAt = 1'800'000'000'000;
  const ShieldNotice timed =
      shieldNotice("Discord", ShieldReason::distractingApp, session, settings);
  EXPECT_EQ(timed.summary, "Discord is paused");
  EXPECT_THAT(timed.body, HasSubstr("blocked list during your focus session \u201cDeep work\u201d. "
                                    "Paused until 08:00;"));
  session.endsAt.reset();
  EXPECT_THAT(shieldNotice("Safari", ShieldReason::otherBrowser, session, settings).body,
              HasSubstr("Only Google Chrome is for browsing during your focus session \u201cDeep "
                        "work\u201d. Paused until the session ends."));
  EXPECT_EQ(shieldNotice("Google Chrome", ShieldReason::extensionOff, session, settings).summary,
            "Turn the Quillbeam extension back on in Google Chrome");
}

}  // namespace
}  // namespace quillbeam::companion
