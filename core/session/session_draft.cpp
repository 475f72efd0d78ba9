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

void SessionDraft::writeJson(json::Writer& w) const {
  w.beginObject();
  w.field("goal", goal);
  w.field("anchors", anchors);
  w.field("mode", rawValue(mode));
  w.field("strictness", rawValue(strictness));
  w.field("durationMin", durationMin);
  w.field("milestones", milestones);
  w.endObject();
}

json::Ordered SessionDraft::toJson() const {
  return json::Ordered::parse(encode());
}

}  // namespace quillbeam
