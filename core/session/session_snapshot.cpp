#include "quillbeam/session/session_snapshot.hpp"

namespace quillbeam {
namespace {

// Remaining time to an optional end that must lie strictly ahead; absent otherwise.
std::optional<double> runningUntil(const std::optional<int64_t>& endMs, Date at) {
  if (!endMs) return std::nullopt;
  Date end = Date::fromMs(*endMs);
  if (!(end > at)) return std::nullopt;
  return end - at;
}

double notBelowZero(double seconds) {
  return seconds > 0 ? seconds : 0.0;
}

}  // namespace

bool SessionSnapshot::isActive(Date at) const {
  return !endsAt || Date::fromMs(*endsAt) > at;
}

bool SessionSnapshot::onBreak(Date at) const {
  return breakUntil && Date::fromMs(*breakUntil) > at;
}

std::optional<double> SessionSnapshot::remaining(Date at) const {
  if (!endsAt) return std::nullopt;
  return notBelowZero(Date::fromMs(*endsAt) - at);
}

double SessionSnapshot::elapsed(Date at) const {
  return notBelowZero(at - Date::fromMs(startedAt));
}

std::optional<double> SessionSnapshot::sideQuestRemaining(Date at) const {
  return runningUntil(sideQuestUntil, at);
}

std::optional<double> SessionSnapshot::breakRemaining(Date at) const {
  return runningUntil(breakUntil, at);
}

SessionSnapshot SessionSnapshot::fromJson(const json::Value& value) {
  json::ObjectReader r(value);
  SessionSnapshot s;
  s.id = r.required<std::string>("id");
  s.goal = r.required<std::string>("goal");
  s.mode = sessionModeFromRaw(r.required<std::string>("mode")).value_or(SessionMode::timer);
  s.strictness =
      strictnessFromRaw(r.required<std::string>("strictness")).value_or(Strictness::strict);
  s.startedAt = r.required<int64_t>("startedAt");
  s.endsAt = r.optional<int64_t>("endsAt");
  s.milestonesDone = r.required<int64_t>("milestonesDone");
  s.milestonesTotal = r.required<int64_t>("milestonesTotal");
  s.anchors = r.required<std::vector<std::string>>("anchors");
  s.anchorUrl = r.required<std::string>("anchorUrl");
  s.breakUntil = r.optional<int64_t>("breakUntil");
  s.sideQuestUntil = r.optional<int64_t>("sideQuestUntil");
  s.sideQuestDoubt = r.optional<std::string>("sideQuestDoubt");
  return s;
}

void SessionSnapshot::writeJson(json::Writer& w) const {
  w.beginObject();
  w.field("id", id);
  w.field("goal", goal);
  w.field("mode", rawValue(mode));
  w.field("strictness", rawValue(strictness));
  w.field("startedAt", startedAt);
  w.field("endsAt", endsAt);
  w.field("milestonesDone", milestonesDone);
  w.field("milestonesTotal", milestonesTotal);
  w.field("anchors", anchors);
  w.field("anchorUrl", anchorUrl);
  w.field("breakUntil", breakUntil);
  w.field("sideQuestUntil", sideQuestUntil);
  w.field("sideQuestDoubt", sideQuestDoubt);
  w.endObject();
}

json::Ordered SessionSnapshot::toJson() const {
  return json::Ordered::parse(encode());
}

}  // namespace quillbeam
