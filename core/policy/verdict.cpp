#include "quillbeam/policy/verdict.hpp"

#include <ostream>

namespace quillbeam {

std::ostream& operator<<(std::ostream& out, Verdict verdict) {
  if (auto reason = verdict.reason()) return out << "shield(" << *reason << ")";
  return out << "allow";
}

}  // namespace quillbeam
