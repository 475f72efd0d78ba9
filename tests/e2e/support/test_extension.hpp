#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "quillbeam/session/session_snapshot.hpp"

namespace quillbeam::testing {

// The extension in tests/e2e/extension. Its manifest carries a fixed public key, so its ID
// is the same wherever it is loaded from.
namespace TestExtension {

inline constexpr std::string_view id = "gmgnjhgeclmoaeiaijhkbdclaclaggep";
inline constexpr std::string_view version = "2.7.1";

std::filesystem::path sourceDir();

// The session the extension reports on receiving its `count`-th message, `message` being
// that message as JSON text (the extension's own rendering of it).
SessionSnapshot receiptSession(int count, std::string_view type, std::string goalJson);

// "received-<count>-<type>": the id of that session.
std::string receiptID(int count, std::string_view type);

}  // namespace TestExtension
}  // namespace quillbeam::testing
