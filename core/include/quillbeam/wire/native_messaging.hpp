#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillbeam {

// An owned, contiguous byte string; a message on the pipe is one of these.
using ByteString = std::string;

namespace NativeMessaging {

// Largest payload frame() accepts.
inline constexpr int64_t maxOutgoing = 1048576;
// Largest payload length the Decoder accepts from a header.
inline constexpr int64_t maxIncoming = 8388608;

// The one framing failure: a payload length above a limit (the real size outgoing, the
// declared length incoming). what() is "tooLarge(<length>)".
class FramingError : public std::exception {
 public:
  explicit FramingError(int64_t length);
  int64_t length() const { return length_; }
  const char* what() const noexcept override { return text_.c_str(); }
  friend bool operator==(const FramingError& a, const FramingError& b) {
    return a.length_ == b.length_;
  }

 private:
  int64_t length_;
  std::string text_;
};

// The 4-byte little-endian length followed by the payload. Throws FramingError when the
// payload is longer than maxOutgoing.
ByteString frame(std::string_view payload);

// Cuts a stream of chunks back into messages. Work is linear in the bytes fed: consumed
// frames are skipped by an offset and the buffer is compacted once per call.
class Decoder {
 public:
  // Adds a chunk and returns every message now complete, in arrival order; each owns its
  // bytes. A header declaring more than maxIncoming breaks the stream: the messages cut
  // before it in the same call are still returned and failure() reports the error at
  // once; when there are none, the call throws it. The bad header stays at the front of
  // the buffer and every later call throws the same error.
  std::vector<ByteString> append(std::string_view chunk);

  // As append, but adds the messages to `out` so a caller can reuse its vector.
  void appendTo(std::string_view chunk, std::vector<ByteString>& out);

  // The error that broke the stream, if any.
  const std::optional<FramingError>& failure() const { return failure_; }

  // Bytes received and not yet handed out.
  std::string_view buffer() const { return std::string_view(buffer_).substr(offset_); }

 private:
  std::string buffer_;
  size_t offset_ = 0;
  std::optional<FramingError> failure_;
};

}  // namespace NativeMessaging
}  // namespace quillbeam
