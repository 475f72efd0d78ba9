#include "pause_record.hpp"

#include <stdexcept>

#include "quillbeam/json/strict_json.hpp"
#include "quillbeam/session/shared_files.hpp"
#include "user_file.hpp"

namespace quillbeam::companion {

PausedApp PausedApp::fromJson(const json::Value& value) {
  const json::ObjectReader reader(value);
  return PausedApp{reader.required<std::string>("bundleID"), reader.required<std::string>("name"),
                   reader.required<ShieldTarget>("target")};
}

json::Ordered PausedApp::toJson() const {
  json::Ordered out;
  out["bundleID"] = bundleID;
  out["name"] = name;
  out["target"] = target.toJson();
  return out;
}

std::vector<PausedApp> PauseRecord::read(const std::filesystem::path& file) {
  try {
    const auto text = readUserFile(file, 16u << 20);
    if (!text) return {};
    return json::readAs<std::vector<PausedApp>>(json::parse(*text), "paused");
  } catch (const std::exception& error) {
    throw std::runtime_error(file.string() + ": " + error.what());
  }
}

void PauseRecord::write(const std::filesystem::path& file, const std::vector<PausedApp>& apps) {
  try {
    if (apps.empty()) {
      std::filesystem::remove(file);
      return;
    }
    json::Ordered out = json::Ordered::array();
    for (const auto& app : apps) out.push_back(app.toJson());
    SharedFiles::writeFileAtomically(file, json::compact(out), 0600);
  } catch (const std::exception& error) {
    throw std::runtime_error(file.string() + ": " + error.what());
  }
}

}  // namespace quillbeam::companion
