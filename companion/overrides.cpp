#include "overrides.hpp"

#include <stdexcept>

#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/session/shared_files.hpp"
#include "user_file.hpp"

namespace quillbeam::companion {

Overrides Overrides::fromJson(const json::Value& value) {
  const json::ObjectReader reader(value);
  Overrides overrides;
  overrides.dismissedSession = reader.optional<std::string>("dismissedSession");
  if (const auto allowances = value.find("allowances");
      allowances != value.end() && !allowances->is_null()) {
    if (!allowances->is_object()) throw DecodingError("allowances: expected an object");
    for (const auto& [app, until] : allowances->items()) {
      overrides.allowances.emplace(app, Date::fromMs(json::readInt64(until, "allowances")));
    }
  }
  return overrides;
}

json::Ordered Overrides::toJson() const {
  json::Ordered out;
  out["allowances"] = json::Ordered::object();
  for (const auto& [app, until] : allowances) out["allowances"][app] = until.ms();
  if (dismissedSession) out["dismissedSession"] = *dismissedSession;
  return out;
}

Overrides readOverrides(const std::filesystem::path& file) {
  try {
    const auto text = readUserFile(file);
    return text ? Overrides::fromJson(json::parse(*text)) : Overrides{};
  } catch (const std::exception& error) {
    throw std::runtime_error(file.string() + ": " + error.what());
  }
}

void writeOverrides(const std::filesystem::path& file, Overrides overrides, Date now) {
  std::erase_if(overrides.allowances, [now](const auto& entry) { return !(entry.second > now); });
  try {
    SharedFiles::writeFileAtomically(file, json::compact(overrides.toJson()), 0600);
  } catch (const std::exception& error) {
    throw std::runtime_error(file.string() + ": " + error.what());
  }
}

}  // namespace quillbeam::companion
