#include "quillbeam/policy/policy.hpp"

#include <algorithm>

#include "quillbeam/policy/app_catalog.hpp"

namespace quillbeam::Policy {

Verdict evaluate(const AppIdentity& app, const PolicyContext& context) {
  const std::optional<SessionSnapshot>& session = context.session;
  const std::string& id = app.bundleID;
  const CompanionSettings& settings = context.settings;

  if (!session) return Verdict::allow();
  if (!session->isActive(context.now)) return Verdict::allow();
  if (session->onBreak(context.now)) return Verdict::allow();
  if (AppCatalog::exempt().contains(id)) return Verdict::allow();

  // An allowance that has run out is ignored, not removed.
  if (auto it = context.allowances.find(id);
      it != context.allowances.end() && it->second > context.now) {
    return Verdict::allow();
  }

  const std::vector<std::string> studyIDs = settings.studyBrowserIDs();
  if (std::find(studyIDs.begin(), studyIDs.end(), id) != studyIDs.end()) {
    if (settings.guardExtension && session->strictness != Strictness::gentle &&
        !context.extensionHealthy) {
      return Verdict::shield(ShieldReason::extensionOff);
    }
    return Verdict::allow();
  }

  if (AppCatalog::browser(id) != nullptr) {
    return settings.blockOtherBrowsers ? Verdict::shield(ShieldReason::otherBrowser)
                                       : Verdict::allow();
  }

  if (settings.isBlocked(id)) return Verdict::shield(ShieldReason::distractingApp);
  return Verdict::allow();
}

}  // namespace quillbeam::Policy
