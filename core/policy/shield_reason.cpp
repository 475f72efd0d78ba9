#include "quillbeam/policy/shield_reason.hpp"

#include <ostream>

namespace quillbeam {

std::string_view name(ShieldReason reason) {
  switch (reason) {
    case ShieldReason::distractingApp:
      return "distractingApp";
    case ShieldReason::otherBrowser:
      return "otherBrowser";
    case ShieldReason::extensionOff:
      break;
  }
  return "extensionOff";
}

std::ostream& operator<<(std::ostream& out, ShieldReason reason) {
  return out << name(reason);
}

}  // namespace quillbeam
