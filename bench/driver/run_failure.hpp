#pragma once

#include <stdexcept>
#include <string>

namespace quillbeam::bench {

// A host did not do what a measurement needs (did not start, died, stayed silent, broke
// the framing). The measurement counts the run as failed and reports the text.
class RunFailure : public std::runtime_error {
 public:
  explicit RunFailure(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace quillbeam::bench
