#pragma once

#include <stdexcept>
#include <string>

namespace quillbeam {

// Every failure to read a record or message from JSON. The text names the key path and
// the reason; no part of the system shows it to a user.
class DecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace quillbeam
