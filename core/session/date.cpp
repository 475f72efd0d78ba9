#include "quillbeam/session/date.hpp"

#include <time.h>

#include "rounding.hpp"

namespace quillbeam {

Date Date::now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return fromSeconds(static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9);
}

int64_t Date::ms() const {
  return roundHalfAwayToInt64(seconds_ * 1000.0);
}

}  // namespace quillbeam
