#include "input_reader.hpp"

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "log.hpp"

namespace quillbeam::bridge {

void readInput(int fd, const std::function<void(ByteString&&)>& onMessage,
               const std::function<void()>& onEnd) {
  // Pipes hand over at most their capacity per read; this takes several pipe-fulls.
  constexpr size_t chunkSize = 256 * 1024;
  auto chunk = std::make_unique_for_overwrite<char[]>(chunkSize);
  NativeMessaging::Decoder decoder;
  std::vector<ByteString> messages;
  for (;;) {
    ssize_t n = ::read(fd, chunk.get(), chunkSize);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // End of input; a read error ends reading the same way.
    messages.clear();
    try {
      decoder.appendTo(std::string_view(chunk.get(), static_cast<size_t>(n)), messages);
    } catch (const NativeMessaging::FramingError& e) {
      log(std::string("broken stream: ") + e.what());
      break;
    }
    for (auto& message : messages) onMessage(std::move(message));
    if (const auto& failure = decoder.failure()) {
      // Frames cut before the bad header were handed on above; the stream ends here.
      log(std::string("broken stream: ") + failure->what());
      break;
    }
  }
  onEnd();
}

}  // namespace quillbeam::bridge
