#pragma once

#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>
#include <utility>

namespace quillbeam::testing {

// Sets an environment variable for as long as this lives, then puts back what was there
// (or unsets it). TZ is re-read at both ends: the C library reads it only in tzset().
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* was = ::getenv(name_.c_str())) before_ = was;
    ::setenv(name_.c_str(), value.c_str(), 1);
    if (name_ == "TZ") ::tzset();
  }
  ~ScopedEnv() {
    if (before_) {
      ::setenv(name_.c_str(), before_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
    if (name_ == "TZ") ::tzset();
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> before_;
};

}  // namespace quillbeam::testing
