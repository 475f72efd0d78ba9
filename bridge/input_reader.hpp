#pragma once

#include <functional>

#include "quillbeam/wire/native_messaging.hpp"

namespace quillbeam::bridge {

// Reads `fd` until it ends or its framing breaks, handing each complete message to
// `onMessage` in arrival order and then calling `onEnd` once. Does framing only: no JSON,
// file or bus work, so reading never waits for handling. Runs on the calling thread.
void readInput(int fd, const std::function<void(ByteString&&)>& onMessage,
               const std::function<void()>& onEnd);

}  // namespace quillbeam::bridge
