#pragma once

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "decision.hpp"
#include "desktop/running_app.hpp"
#include "pause_record.hpp"
#include "resume_outcome.hpp"
#include "shield_effects.hpp"

namespace quillbeam::companion {

// Carries decisions out: pauses the apps a decision shields and resumes the ones it no
// longer does, recording every pause in the record file before it happens. The study
// browser shielded because the extension is off is never paused (the user must be able to
// turn the extension back on in it), nor is the browser a connected extension runs in:
// the user is told instead.
class Shield {
 public:
  // `canPause` false: no cgroup tree to pause in; shields are only announced.
  Shield(std::filesystem::path record, ShieldEffects& effects, bool canPause = true)
      : record_(std::move(record)), effects_(effects), canPause_(canPause) {}

  // Takes over what an earlier run recorded: it stays paused until the next apply()
  // resumes whatever that decision does not shield.
  void adopt(std::vector<PausedApp> recorded) { paused_ = std::move(recorded); }

  // Pauses what `decision` shields and resumes what it no longer does.
  void apply(const Decision& decision, const CompanionSettings& settings);

  // Resumes everything paused and forgets it, but for what could not be resumed: that stays
  // paused in the record, to be tried again.
  ResumeOutcome resumeAll();

  const std::vector<PausedApp>& paused() const { return paused_; }
  bool isPaused(const ShieldTarget& target) const;

 private:
  bool saveRecord(const std::vector<PausedApp>& apps);
  // Whether the app is resumed (or gone); a failure is logged.
  bool resume(const PausedApp& app);
  // Shows what the user must know of a shielded app, once per change of the text.
  void tell(const RunningApp& app, ShieldReason reason, bool spared, const Decision& decision,
            const CompanionSettings& settings);

  std::filesystem::path record_;
  ShieldEffects& effects_;
  bool canPause_;
  std::vector<PausedApp> paused_;
  std::map<std::string, std::string> shown_;                 // bundle ID -> notification body
  std::set<std::pair<std::string, std::string>> announced_;  // (session ID, app name)
};

}  // namespace quillbeam::companion
