#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillbeam::bench {

// Cuts a host's output back into frames (4-byte little-endian length, then the payload).
// A host hello is told apart from other frames without parsing JSON: a "type" key whose value
// is "hello", blanks allowed around the colon, and an "appVersion" key, which the
// extension's own hello lacks (so an echo of it is no reply).
bool isHostHello(std::string_view payload);

class ReplyReader {
 public:
  // Largest reply payload believed; a longer header means the host broke its framing.
  static constexpr size_t maxPayload = 8 * 1024 * 1024;

  void add(std::string_view bytes) { buffer_.append(bytes); }

  // Consumes complete frames up to and including the first host hello; true when one was
  // found. Other frames are dropped. Throws RunFailure on a header above maxPayload.
  bool takeHostHello();

 private:
  std::string buffer_;
};

}  // namespace quillbeam::bench
