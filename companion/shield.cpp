#include "shield.hpp"

#include <algorithm>

#include "shield_notice.hpp"

namespace quillbeam::companion {
namespace {

bool holds(const std::vector<PausedApp>& apps, const ShieldTarget& target) {
  return std::any_of(apps.begin(), apps.end(),
                     [&](const PausedApp& app) { return app.target == target; });
}

}  // namespace

bool Shield::isPaused(const ShieldTarget& target) const {
  return holds(paused_, target);
}

bool Shield::saveRecord(const std::vector<PausedApp>& apps) {
  try {
    PauseRecord::write(record_, apps);
    return true;
  } catch (const std::exception& error) {
    effects_.log(std::string("cannot record what is paused: ") + error.what());
    return false;
  }
}

bool Shield::resume(const PausedApp& app) {
  if (auto problem = effects_.resume(app.target)) {
    effects_.log("could not resume " + app.name + ": " + *problem);
    return false;
  }
  return true;
}

void Shield::apply(const Decision& decision, const CompanionSettings& settings) {
  // Told once per session: what was told in earlier sessions need not be kept.
  std::erase_if(announced_, [&](const auto& told) {
    return !decision.session || told.first != decision.session->id;
  });
  std::vector<PausedApp> wanted;
  std::set<std::string> shielded;  // bundle IDs told about now
  for (const auto& [app, verdict, spared] : decision.apps) {
    const auto reason = verdict.reason();
    if (!reason || !decision.session) continue;
    shielded.insert(app.bundleID);
    tell(app, *reason, spared, decision, settings);
    if (*reason != ShieldReason::extensionOff && !spared && canPause_) {
      wanted.push_back(PausedApp{app.bundleID, app.name, app.target});
    }
  }

  // Resume first what no longer needs it, then record, then pause what is new: the
  // record always holds at least what is paused.
  std::vector<PausedApp> kept;
  for (const auto& app : paused_) {
    // One that cannot be resumed stays recorded, to be tried again next time.
    if (holds(wanted, app.target) || !resume(app)) kept.push_back(app);
  }
  std::vector<PausedApp> fresh;
  for (const auto& app : wanted) {
    if (!holds(kept, app.target)) fresh.push_back(app);
  }
  std::vector<PausedApp> next = kept;
  next.insert(next.end(), fresh.begin(), fresh.end());
  if (!fresh.empty() && !saveRecord(next)) {
    // Nothing new is paused that the record does not hold.
    next = kept;
    fresh.clear();
  }
  std::vector<PausedApp> failed;
  for (const auto& app : fresh) {
    if (auto problem = effects_.pause(app.target)) {
      effects_.log("could not pause " + app.name + ": " + *problem);
      failed.push_back(app);
      continue;
    }
    if (announced_.emplace(decision.session->id, app.name).second) effects_.appBlocked(app.name);
  }
  std::erase_if(next, [&](const PausedApp& app) { return holds(failed, app.target); });
  if (!failed.empty() || (fresh.empty() && kept.size() != paused_.size())) saveRecord(next);
  paused_ = std::move(next);

  for (auto it = shown_.begin(); it != shown_.end();) {
    if (shielded.count(it->first) != 0) {
      ++it;
      continue;
    }
    effects_.withdraw(it->first);
    it = shown_.erase(it);
  }
}

void Shield::tell(const RunningApp& app, ShieldReason reason, bool spared, const Decision& decision,
                  const CompanionSettings& settings) {
  const ShieldNotice notice = spared ? sparedNotice(app.name, reason, *decision.session, settings)
                                     : shieldNotice(app.name, reason, *decision.session, settings);
  auto& shown = shown_[app.bundleID];
  if (shown == notice.body) return;
  shown = notice.body;
  effects_.notify(app.bundleID, notice.summary, notice.body);
}

ResumeOutcome Shield::resumeAll() {
  ResumeOutcome outcome;
  std::vector<PausedApp> left;
  for (const auto& app : paused_) {
    if (resume(app)) {
      ++outcome.resumed;
    } else {
      outcome.failed.push_back(app.name);
      left.push_back(app);
    }
  }
  paused_ = std::move(left);
  saveRecord(paused_);
  for (const auto& [key, body] : shown_) effects_.withdraw(key);
  shown_.clear();
  return outcome;
}

}  // namespace quillbeam::companion
