#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "quillbeam/session/browser_link.hpp"

namespace quillbeam::SharedFiles {

// Refused by readLink: no record the bridge writes comes anywhere near this.
inline constexpr std::uintmax_t maxLinkFileSize = 64u * 1024u * 1024u;

// The user's home directory: $HOME when set and non-empty, else the password database
// entry of the real user id.
std::filesystem::path homeDirectory();

// <home>/Library/Application Support/Quillbeam. Computed afresh on every call; creates
// nothing.
std::filesystem::path directory();
// directory()/browser-link.json.
std::filesystem::path browserLink();

// The stored record, or nothing when the file is missing, unreadable, not a regular file
// (a FIFO or device is never opened for blocking reads), larger than maxLinkFileSize or
// not a valid record. Never throws.
std::optional<BrowserLink> readLink(const std::filesystem::path& from);

// Creates the parent directory as needed and replaces the file atomically: the record is
// written to a uniquely named temporary file beside it, which is then renamed over the
// target. On failure the temporary file is removed, the earlier file stays intact and
// std::system_error is thrown; its what() is the text the bridge logs.
void writeLink(const BrowserLink& link, const std::filesystem::path& to);

// Writes `bytes` to `to` the same atomic way; the primitive under writeLink. The file gets
// `mode` before it appears under its name (the link file: readable by all, like any file
// the user creates).
void writeFileAtomically(const std::filesystem::path& to, std::string_view bytes,
                         mode_t mode = 0644);

// Removes the temporary files that writers of `target` left behind when they were killed
// between creating one and renaming it: regular files named like ours for `target` whose
// last change is older than `olderThan` (a live writer's exists for microseconds). Returns
// how many were removed. Never throws.
size_t removeStaleTemporaries(const std::filesystem::path& target, std::chrono::seconds olderThan);

}  // namespace quillbeam::SharedFiles
