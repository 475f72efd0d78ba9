#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "quillbeam/session/session_draft.hpp"

// Whether a session draft can be started, and what a typed site means as a host name.
// Pure; safe on any thread. Text is UTF-8; invalid bytes count as U+FFFD.
namespace quillbeam::Validation {

// The first thing wrong with `draft`, as a sentence for the user, or absent when it can
// be started. Checks, in order: a goal of at least 3 user-perceived characters, a usable
// anchor site, a timer duration of 5 to 480 minutes, a goal draft's non-empty milestone.
std::optional<std::string> problem(const SessionDraft& draft);

// The bare lower-case host name in what the user typed as a site ("https://www.Example.com:443/a"
// gives "example.com"), or the empty text when it is not a usable host name.
std::string normalizeDomain(std::string_view text);

}  // namespace quillbeam::Validation
