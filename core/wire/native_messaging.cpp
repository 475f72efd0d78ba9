#include "quillbeam/wire/native_messaging.hpp"

namespace quillbeam::NativeMessaging {
namespace {

uint32_t readLength(const char* p) {
  auto b = [p](int i) { return static_cast<uint32_t>(static_cast<unsigned char>(p[i])); };
  return b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
}

}  // namespace

FramingError::FramingError(int64_t length)
    : length_(length), text_("tooLarge(" + std::to_string(length) + ")") {}

ByteString frame(std::string_view payload) {
  const auto n = static_cast<int64_t>(payload.size());
  if (n > maxOutgoing) throw FramingError(n);
  ByteString out;
  out.reserve(payload.size() + 4);
  const auto length = static_cast<uint32_t>(n);
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<char>((length >> shift) & 0xffu));
  }
  out.append(payload);
  return out;
}

std::vector<ByteString> Decoder::append(std::string_view chunk) {
  std::vector<ByteString> messages;
  appendTo(chunk, messages);
  return messages;
}

void Decoder::appendTo(std::string_view chunk, std::vector<ByteString>& out) {
  if (failure_) throw *failure_;
  buffer_.append(chunk);
  const size_t before = out.size();
  for (;;) {
    const size_t available = buffer_.size() - offset_;
    if (available < 4) break;
    const uint32_t length = readLength(buffer_.data() + offset_);
    if (length > static_cast<uint64_t>(maxIncoming)) {
      failure_.emplace(static_cast<int64_t>(length));
      break;
    }
    if (available - 4 < length) break;
    out.emplace_back(buffer_, offset_ + 4, length);
    offset_ += 4 + static_cast<size_t>(length);
  }
  // Compact once per call, not once per frame.
  if (offset_ > 0) {
    buffer_.erase(0, offset_);
    offset_ = 0;
  }
  if (failure_ && out.size() == before) throw *failure_;
}

}  // namespace quillbeam::NativeMessaging
