// Connects to the session bus, posts <count> browser-state style signals whose "json"
// entry is their index, flushes and ends with _exit(0), as the bridge ends at the end of
// its input: nothing may be lost although the handshake had not completed.
//
//   quillbeam_test_post_and_exit <count>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "platform/linux/linux_platform.hpp"

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1;
  auto platform = quillbeam::bridge::platform::makeLinuxPlatform(
      [](std::string_view line) { std::fprintf(stderr, "%.*s\n", int(line.size()), line.data()); });
  for (int i = 0; i < count; ++i) {
    platform->notifications().post("com.quillbeam.test.browserState",
                                   std::map<std::string, std::string>{{"json", std::to_string(i)}});
  }
  platform->notifications().flush();
  _exit(0);
}
