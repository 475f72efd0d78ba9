#include "quillbeam/session/strictness.hpp"

namespace quillbeam {

std::string_view rawValue(Strictness strictness) {
  switch (strictness) {
    case Strictness::gentle:
      return "gentle";
    case Strictness::lockdown:
      return "lockdown";
    case Strictness::strict:
      break;
  }
  return "strict";
}

std::string_view title(Strictness strictness) {
  switch (strictness) {
    case Strictness::gentle:
      return "Gentle";
    case Strictness::lockdown:
      return "Lockdown";
    case Strictness::strict:
      break;
  }
  return "Strict";
}

std::optional<Strictness> strictnessFromRaw(std::string_view raw) {
  for (Strictness s : Strictnesses::allCases) {
    if (rawValue(s) == raw) return s;
  }
  return std::nullopt;
}

}  // namespace quillbeam
