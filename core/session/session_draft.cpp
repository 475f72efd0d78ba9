#include "quillbeam/session/session_draft.hpp"

namespace quillbeam {

SessionDraft SessionDraft::fromJson(const json::Value& value) {
  json::ObjectReader r(value);
  SessionDraft d;
  d.goal = r.required<std::string>("goal");
  d.anchors = r.required<std::vector<std::string>>("anchors");
  d.mode = sessionModeFromRaw(r.required<std::string>("mode")).value_or(SessionMode::timer);
  d.strictness =
      strictnessFromRaw(r.required<std::string>("strictness")).value_or(Strictness::strict);
  d.durationMin = r.optional<int64_t>("durationMin");
  d.milestones = r.required<std::vector<std::string>>("milestones");
  return d;
}

json::Ordered SessionDraft::toJson() const {
  json::Ordered j = json::Ordered::object();
  j["goal"] = goal;
  j["anchors"] = anchors;
  j["mode"] = rawValue(mode);
  j["strictness"] = rawValue(strictness);
  json::putOptional(j, "durationMin", durationMin);
  j["milestones"] = milestones;
  return j;
}

}  // namespace quillbeam
