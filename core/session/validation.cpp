#include "quillbeam/session/validation.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace quillbeam::Validation {
namespace {

constexpr std::string_view exampleSite = "wikipedia.org";

// Separators of every kind (Z*), the line-break controls U+000A to U+000D, and U+0085.
bool isWhitespaceOrNewline(UChar32 c) {
  if ((c >= 0x0A && c <= 0x0D) || c == 0x85) return true;
  const auto type = u_charType(c);
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

// Space separators (Zs) and the tab; line breaks are not in it.
bool isWhitespace(UChar32 c) {
  return c == 0x09 || u_charType(c) == U_SPACE_SEPARATOR;
}

// `text` without the leading and trailing code points that `strip` accepts. Ill-formed
// UTF-8 decodes as U+FFFD, which no set strips, so a cut never falls inside a sequence.
template <class Predicate>
std::string_view trim(std::string_view text, Predicate strip) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const size_t length = text.size();
  size_t begin = length;
  size_t end = 0;
  for (size_t i = 0; i < length;) {
    const size_t start = i;
    UChar32 c;
    U8_NEXT_OR_FFFD(bytes, i, length, c);
    if (strip(c)) continue;
    if (begin == length) begin = start;
    end = i;
  }
  return begin < end ? text.substr(begin, end - begin) : std::string_view();
}

// Lead bytes and stray bytes: the code points of well-formed text.
size_t codePoints(std::string_view text) {
  return static_cast<size_t>(std::count_if(
      text.begin(), text.end(), [](char c) { return !U8_IS_TRAIL(static_cast<uint8_t>(c)); }));
}

struct UTextCloser {
  void operator()(UText* text) const { utext_close(text); }
};
using UTextPtr = std::unique_ptr<UText, UTextCloser>;

// Whether `text` holds at least `wanted` extended grapheme clusters. Walks the UTF-8
// directly (64-bit offsets) and stops as soon as the answer is known.
bool hasGraphemes(std::string_view text, int wanted) {
  if (text.empty()) return wanted <= 0;
  UErrorCode status = U_ZERO_ERROR;
  UTextPtr utext(utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status));
  std::unique_ptr<icu::BreakIterator> clusters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_SUCCESS(status)) clusters->setText(utext.get(), status);
  // Without segmentation data (never on a working install) each code point counts as one.
  if (U_FAILURE(status)) return codePoints(text) >= static_cast<size_t>(wanted);
  int count = 0;
  clusters->first();
  while (count < wanted && clusters->next() != icu::BreakIterator::DONE) ++count;
  return count >= wanted;
}

// Unicode default lower-casing, the same in every locale. Absent when ICU cannot hold the
// text (beyond 2 GiB or out of memory).
std::optional<std::string> lowerCased(std::string_view text) {
  if (text.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return std::nullopt;
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  u.toLower(icu::Locale::getRoot());
  if (u.isBogus()) return std::nullopt;
  std::string out;
  u.toUTF8String(out);
  return out;
}

bool isHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

bool isLetter(char c) {
  return c >= 'a' && c <= 'z';
}

}  // namespace

std::string normalizeDomain(std::string_view text) {
  auto lowered = lowerCased(trim(text, isWhitespaceOrNewline));
  if (!lowered) return {};
  std::string_view s = *lowered;

  if (auto scheme = s.find("://"); scheme != std::string_view::npos) s.remove_prefix(scheme + 3);
  if (auto path = s.find_first_of("/?#"); path != std::string_view::npos) s = s.substr(0, path);
  if (auto port = s.find(':'); port != std::string_view::npos) s = s.substr(0, port);
  if (s.starts_with("www.")) s.remove_prefix(4);
  if (s.ends_with('.')) s.remove_suffix(1);

  // Labels are checked byte by byte: every byte of a non-ASCII scalar value lies outside
  // the allowed characters, so this judges each scalar value as a whole too.
  size_t labels = 0;
  std::string_view last;
  for (std::string_view rest = s;;) {
    const size_t dot = rest.find('.');
    std::string_view label = rest.substr(0, dot);
    if (label.empty()) return {};
    for (char c : label) {
      if (!isHostCharacter(c)) return {};
    }
    ++labels;
    last = label;
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  if (labels < 2) return {};
  if (last.size() < 2) return {};
  for (char c : last) {
    if (!isLetter(c)) return {};
  }
  return std::string(s);
}

std::optional<std::string> problem(const SessionDraft& draft) {
  if (!hasGraphemes(trim(draft.goal, isWhitespaceOrNewline), 3)) {
    return "Write down what you want to get done.";
  }

  bool anchored = false;
  for (const std::string& anchor : draft.anchors) {
    if (!normalizeDomain(anchor).empty()) {
      anchored = true;
      break;
    }
  }
  if (!anchored) {
    return "Add the site you are studying on, like " + std::string(exampleSite) + ".";
  }

  switch (draft.mode) {
    case SessionMode::timer:
      if (!draft.durationMin || *draft.durationMin < 5 || *draft.durationMin > 480) {
        return "Pick a duration between 5 minutes and 8 hours.";
      }
      break;
    case SessionMode::goal: {
      bool written = false;
      for (const std::string& milestone : draft.milestones) {
        if (!trim(milestone, isWhitespace).empty()) {
          written = true;
          break;
        }
      }
      if (!written) return "Add at least one milestone to check off.";
      break;
    }
  }
  return std::nullopt;
}

}  // namespace quillbeam::Validation
