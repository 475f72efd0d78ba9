#include "support/test_extension.hpp"

namespace quillbeam::testing::TestExtension {

std::filesystem::path sourceDir() {
  return QUILLBEAM_E2E_EXTENSION_DIR;
}

std::string receiptID(int count, std::string_view type) {
  return "received-" + std::to_string(count) + "-" + std::string(type);
}

// Mirrors sessionTemplate in background.js.
SessionSnapshot receiptSession(int count, std::string_view type, std::string goalJson) {
  SessionSnapshot session;
  session.id = receiptID(count, type);
  session.goal = std::move(goalJson);
  session.mode = SessionMode::goal;
  session.strictness = Strictness::lockdown;
  session.startedAt = 1700000000000;
  session.endsAt = 1700003600000;
  session.milestonesDone = count;
  session.milestonesTotal = 5;
  session.anchors = {"docs.example.org", "notes.example.org"};
  session.anchorUrl = "https://docs.example.org/";
  session.sideQuestDoubt = "Is this on the way?";
  return session;
}

}  // namespace quillbeam::testing::TestExtension
