#include "companion/desktop/shield_target.hpp"

#include <algorithm>
#include <limits>

namespace quillbeam::companion {
namespace {

struct ProcessRecord {
  ProcessRef ref;

  static ProcessRecord fromJson(const json::Value& value) {
    json::ObjectReader r(value);
    const int32_t pid = r.required<int32_t>("pid");
    const int64_t startTime = r.required<int64_t>("startTime");
    if (pid <= 0) throw DecodingError("pid: must be positive");
    if (startTime < 0) throw DecodingError("startTime: must not be negative");
    return ProcessRecord{ProcessRef{pid, static_cast<uint64_t>(startTime)}};
  }
};

}  // namespace

ShieldTarget ShieldTarget::cgroup(std::filesystem::path directory) {
  return ShieldTarget(std::move(directory));
}

ShieldTarget ShieldTarget::processes(std::vector<ProcessRef> processes) {
  return ShieldTarget(std::move(processes));
}

json::Ordered ShieldTarget::toJson() const {
  json::Ordered j = json::Ordered::object();
  if (isCgroup()) {
    j["cgroup"] = cgroupDirectory().string();
    return j;
  }
  json::Ordered list = json::Ordered::array();
  for (const ProcessRef& p : processList()) {
    json::Ordered entry = json::Ordered::object();
    entry["pid"] = p.pid;
    // Start times are clock ticks since boot: far below int64's range.
    entry["startTime"] =
        static_cast<int64_t>(std::min<uint64_t>(p.startTime, std::numeric_limits<int64_t>::max()));
    list.push_back(std::move(entry));
  }
  j["processes"] = std::move(list);
  return j;
}

ShieldTarget ShieldTarget::fromJson(const json::Value& value) {
  json::ObjectReader r(value);
  auto directory = r.optional<std::string>("cgroup");
  auto records = r.optional<std::vector<ProcessRecord>>("processes");
  if (directory.has_value() == records.has_value()) {
    throw DecodingError("shield target: exactly one of cgroup and processes");
  }
  if (directory) {
    std::filesystem::path path(*directory);
    if (!path.is_absolute()) throw DecodingError("cgroup: must be an absolute path");
    return cgroup(std::move(path));
  }
  if (records->empty()) throw DecodingError("processes: must not be empty");
  std::vector<ProcessRef> refs;
  refs.reserve(records->size());
  for (const ProcessRecord& record : *records) refs.push_back(record.ref);
  return processes(std::move(refs));
}

}  // namespace quillbeam::companion
