#include "companion_service.hpp"

#include <algorithm>

#include "companion_effects.hpp"
#include "companion_paths.hpp"
#include "decision.hpp"
#include "desktop/app_discovery.hpp"
#include "desktop/cgroup_tree.hpp"
#include "overrides.hpp"
#include "pause_record.hpp"
#include "quillbeam/policy/bridge_alive.hpp"
#include "quillbeam/session/shared_files.hpp"
#include "settings_file.hpp"
#include "shield.hpp"

namespace quillbeam::companion {

// Everything the service keeps between calls.
class CompanionState {
 public:
  CompanionState(CompanionFiles files, CompanionService::Mode mode,
                 platform::LinuxPlatform* platform, CompanionService::Log log)
      : files(std::move(files)),
        mode(mode),
        log(std::move(log)),
        settings(this->files.settings),
        effects(platform, tree, this->log) {}

  CompanionFiles files;
  CompanionService::Mode mode;
  CompanionService::Log log;
  SettingsSource settings;
  Overrides overrides;
  std::optional<BrowserLink> link;
  std::optional<RecordLock> lock;  // enforcing: held for as long as the service lives
  std::optional<std::string> recordDamage;
  std::optional<CgroupTree> tree;  // before the effects, which act within it
  CompanionEffects effects;
  std::unique_ptr<Shield> shield;
  std::unique_ptr<AppDiscovery> discovery;
  std::vector<RunningApp> running;  // as the last scan saw them
  Decision decision;                // on those apps
  std::function<void()> decided;
  bool ended = false;  // resumed everything before the companion ends

  // Takes over what the record holds, and says what of it cannot be read.
  void adoptRecord() {
    RecordContents contents = PauseRecord::read(files.record);
    if (contents.damage && contents.damage != recordDamage) {
      log(*contents.damage + "; resuming what can be read");
    }
    recordDamage = contents.damage;
    shield->adopt(std::move(contents.apps));
  }

  void readOverrides() {
    try {
      overrides = companion::readOverrides(files.overrides);
    } catch (const std::exception& error) {
      log(std::string(error.what()) + "; starting the allowances afresh");
    }
  }

  void writeOverrides() {
    try {
      companion::writeOverrides(files.overrides, overrides, Date::now());
    } catch (const std::exception& error) {
      throw CompanionError(error.what());
    }
  }

  // The settings as the file holds them, for an edit: a broken file is refused, never
  // replaced by defaults.
  CompanionSettings settingsForEdit() const {
    try {
      return readSettings(files.settings);
    } catch (const std::exception& error) {
      throw CompanionError(error.what());
    }
  }

  void saveSettings(const CompanionSettings& edited) {
    try {
      writeSettings(files.settings, edited);
    } catch (const std::exception& error) {
      throw CompanionError(error.what());
    }
    settings.reload();
  }
};

CompanionFiles CompanionFiles::fromEnvironment() {
  return CompanionFiles{paths::settingsFile(), paths::pauseRecord(), paths::overridesFile(),
                        SharedFiles::browserLink()};
}

CompanionService::CompanionService(CompanionFiles files, Mode mode,
                                   platform::LinuxPlatform* platform, Log log)
    : state_(std::make_unique<CompanionState>(std::move(files), mode, platform, std::move(log))) {
  auto& s = *state_;
  if (mode == Mode::enforce) {
    // One companion per user changes the record, whichever bus it serves: the one that
    // holds it already keeps what it paused.
    std::string holder;
    s.lock = RecordLock::take(s.files.record, holder);
    if (!s.lock) {
      throw CompanionError("another companion (" + holder + ") runs for this user; it keeps " +
                           s.files.record.string());
    }
    PauseRecord::removeLeftovers(s.files.record);
  }
  reloadSettings();
  s.readOverrides();
  auto found = findCgroupTree();
  if (auto* problem = std::get_if<std::string>(&found)) {
    s.log(*problem + (mode == Mode::enforce ? ": apps cannot be paused, only told about"
                                            : ": only apps found by their executable are listed"));
  } else {
    s.tree = std::get<CgroupTree>(std::move(found));
  }
  s.shield = std::make_unique<Shield>(s.files.record, s.effects,
                                      mode == Mode::enforce && s.tree.has_value());
  // A crash or kill -9 of an earlier run left these paused; the first decision resumes
  // whatever it does not shield now.
  s.adoptRecord();
  // Without a tree, apps found by their executable can still be told about.
  s.discovery = std::make_unique<AppDiscovery>(s.tree);
  readLink();
  rescan();
  decide();
}

CompanionService::~CompanionService() = default;

std::vector<AppListing> CompanionService::apps() const {
  const auto& s = *state_;
  std::vector<AppListing> out;
  out.reserve(s.decision.apps.size());
  for (const auto& [app, verdict, spared] : s.decision.apps) {
    out.push_back(AppListing{app.bundleID, app.name, app.linuxId,
                             app.paused || s.shield->isPaused(app.target), verdict.reason(),
                             spared});
  }
  return out;
}

Date CompanionService::allow(std::string_view typed, double minutes) {
  auto& s = *state_;
  const Date until = Date::now() + minutes * 60.0;
  for (const auto& id : resolveApp(typed).bundleIDs) s.overrides.allowances[id] = until;
  s.writeOverrides();
  decide();
  return until;
}

BlockChange CompanionService::block(std::string_view typed) {
  return editBlocked(typed, [](CompanionSettings& edited, const NamedApp& app) {
    size_t added = 0;
    for (const auto& id : app.bundleIDs) {
      if (edited.isBlocked(id)) continue;
      edited.blockedApps.push_back(BlockedApp{app.name, id});
      ++added;
    }
    return added;
  });
}

BlockChange CompanionService::unblock(std::string_view typed) {
  return editBlocked(typed, [](CompanionSettings& edited, const NamedApp& app) {
    const auto& ids = app.bundleIDs;
    return std::erase_if(edited.blockedApps, [&](const BlockedApp& entry) {
      return std::find(ids.begin(), ids.end(), entry.bundleID) != ids.end();
    });
  });
}

BlockChange CompanionService::editBlocked(
    std::string_view typed,
    const std::function<size_t(CompanionSettings&, const NamedApp&)>& edit) {
  auto& s = *state_;
  CompanionSettings edited = s.settingsForEdit();
  BlockChange change{resolveApp(typed), 0};
  change.changed = edit(edited, change.app);
  if (change.changed > 0) {
    s.saveSettings(edited);
    decide();
  }
  return change;
}

CompanionSettings CompanionService::settings(const SettingsChange& change) {
  auto& s = *state_;
  CompanionSettings edited = s.settingsForEdit();
  if (change.empty()) return edited;
  if (change.studyBrowser) edited.studyBrowser = resolveApp(*change.studyBrowser).bundleIDs.front();
  if (change.blockOtherBrowsers) edited.blockOtherBrowsers = *change.blockOtherBrowsers;
  if (change.guardExtension) edited.guardExtension = *change.guardExtension;
  s.saveSettings(edited);
  decide();
  return edited;
}

ResumeOutcome CompanionService::resumeAll() {
  auto& s = *state_;
  if (s.decision.session) {
    s.overrides.dismissedSession = s.decision.session->id;
    try {
      s.writeOverrides();
    } catch (const CompanionError& error) {
      // Resuming matters more than remembering: the apps are resumed all the same.
      s.log(error.what());
    }
  }
  std::optional<RecordLock> lock;
  if (s.mode == Mode::inspect) {
    // The record is read again under its lock: what it holds now is what gets resumed.
    std::string holder;
    lock = RecordLock::take(s.files.record, holder);
    if (!lock) {
      throw CompanionError("the companion (" + holder +
                           ") holds the record of what is paused but did not answer; try again");
    }
    s.adoptRecord();
  }
  ResumeOutcome outcome = s.shield->resumeAll();
  if (s.recordDamage)
    outcome.failed.push_back("what the record could not name (" + *s.recordDamage + ")");
  decide();
  return outcome;
}

std::optional<std::string> CompanionService::reload() {
  reloadSettings();
  state_->readOverrides();
  readLink();
  rescan();
  decide();
  return state_->settings.problem();
}

bool CompanionService::reloadSettings() {
  auto& s = *state_;
  const bool changed = s.settings.reload();
  if (s.settings.problem()) s.log(*s.settings.problem() + "; using the last good settings");
  return changed;
}

void CompanionService::readLink() {
  state_->link = SharedFiles::readLink(state_->files.link);
}

void CompanionService::rescan() {
  state_->running = state_->discovery->scan();
}

void CompanionService::decide() {
  auto& s = *state_;
  // Allowances that ended count for nothing: keep none of them.
  const Date now = Date::now();
  std::erase_if(s.overrides.allowances,
                [&](const auto& allowance) { return allowance.second <= now; });
  s.decision = companion::decide(s.running, DecisionInputs{s.link, s.settings.settings(),
                                                           s.overrides, now, Health::bridgeAlive});
  if (s.mode == Mode::enforce && !s.ended) s.shield->apply(s.decision, s.settings.settings());
  if (s.decided) s.decided();
}

void CompanionService::onDecided(std::function<void()> decided) {
  state_->decided = std::move(decided);
}

std::optional<int> CompanionService::bridgePID() const {
  const auto& link = state_->link;
  if (!link || !link->connected || !link->bridgePID) return std::nullopt;
  return *link->bridgePID;
}

size_t CompanionService::resumeBeforeExit() {
  // Events already taken in the loop's last turn may still ask for a decision: from now on
  // nothing is paused again.
  state_->ended = true;
  return state_->shield->resumeAll().resumed;
}

std::optional<Date> CompanionService::nextChange() const {
  return state_->decision.nextChange;
}

bool CompanionService::sessionInForce() const {
  return state_->decision.session.has_value();
}

const CgroupTree* CompanionService::tree() const {
  return state_->tree ? &*state_->tree : nullptr;
}

const std::filesystem::path& CompanionService::settingsFile() const {
  return state_->files.settings;
}

size_t CompanionService::runningCount() const {
  return state_->decision.apps.size();
}

}  // namespace quillbeam::companion
