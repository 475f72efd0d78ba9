#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quillbeam::Register {

enum class WriteOutcome { created, replaced, unchanged };
enum class RemoveOutcome { removed, absent };

// Puts `bytes` at `file`, creating its folder, unless the file already holds exactly them
// with the read and execute permissions of `mode`. The file is replaced atomically and gets
// `mode`: by default readable by everyone (a browser of any user must read a system-wide
// manifest). With `dryRun` nothing changes and the outcome says what would happen. Throws
// std::system_error (or filesystem_error) on failure. Also used for the Flatpak launcher.
WriteOutcome writeManifest(const std::filesystem::path& file, std::string_view bytes, bool dryRun,
                           mode_t mode = 0644);

// Removes `file`, then its folder when that is left empty. Throws on failure, and for a
// directory in the file's place.
RemoveOutcome removeManifest(const std::filesystem::path& file, bool dryRun);

// Removes `folder` and then each folder above it while they are empty (or gone), up to
// and including `last`; a folder that holds anything stops it. Never throws.
void removeEmptyFolders(const std::filesystem::path& folder, const std::filesystem::path& last);

// The content of `file` when it is a regular file of at most a megabyte (none of the files
// this tool reads is anywhere near), else nothing; never blocks on a FIFO.
std::optional<std::string> readRegularFile(const std::filesystem::path& file);

}  // namespace quillbeam::Register
