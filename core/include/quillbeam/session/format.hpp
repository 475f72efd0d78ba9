#pragma once

#include <string>

// Durations in seconds as short display texts, the same in every locale.
namespace quillbeam::Format {

// A clock reading to the nearest second (halves away from zero): "m:ss" below an hour,
// "h:mm:ss" from an hour on. Negative durations and NaN read "0:00"; durations beyond
// the 64-bit range (+infinity included) read as its largest second count.
std::string clock(double seconds);

// Hours and minutes, rounded up to the next whole minute: "<1m" below a minute (NaN and
// -infinity included), "59m", "1h", "1h 30m". Durations whose minute count exceeds the
// 64-bit range read as its largest minute count.
std::string short_(double seconds);

}  // namespace quillbeam::Format
