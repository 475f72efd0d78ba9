#pragma once

#include <filesystem>
#include <string_view>

namespace quillbeam::Register {

enum class WriteOutcome { created, replaced, unchanged };
enum class RemoveOutcome { removed, absent };

// Puts `bytes` at `file`, creating its folder, unless the file already holds exactly them.
// The file is replaced atomically and left readable by everyone (a browser of any user
// must read a system-wide manifest). With `dryRun` nothing changes and the outcome says
// what would happen. Throws std::system_error (or filesystem_error) on failure.
WriteOutcome writeManifest(const std::filesystem::path& file, std::string_view bytes, bool dryRun);

// Removes `file`, then its folder when that is left empty. Throws on failure, and for a
// directory in the file's place.
RemoveOutcome removeManifest(const std::filesystem::path& file, bool dryRun);

}  // namespace quillbeam::Register
