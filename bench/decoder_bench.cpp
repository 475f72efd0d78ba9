// Throughput of the frame decoder on the stream shapes the reader meets: many small
// frames, large frames, and one read holding a great many frames at once.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quillbeam/wire/native_messaging.hpp"

namespace quillbeam::bench {
namespace {

constexpr size_t chunkSize = 64 * 1024;

std::string framed(size_t payloadSize, char fill) {
  const auto n = static_cast<uint32_t>(payloadSize);
  std::string out{static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
                  static_cast<char>((n >> 16) & 0xff), static_cast<char>((n >> 24) & 0xff)};
  out.append(payloadSize, fill);
  return out;
}

std::string stream(size_t frames, size_t payloadSize) {
  std::string out;
  out.reserve(frames * (payloadSize + 4));
  for (size_t i = 0; i < frames; ++i) {
    out += framed(payloadSize, static_cast<char>('a' + i % 26));
  }
  return out;
}

// Feeds `bytes` in chunks of `chunk` bytes, as a pipe reader would, and counts messages.
size_t feed(std::string_view bytes, size_t chunk) {
  NativeMessaging::Decoder decoder;
  size_t messages = 0;
  for (size_t at = 0; at < bytes.size(); at += chunk) {
    messages += decoder.append(bytes.substr(at, chunk)).size();
  }
  return messages;
}

void checkCount(benchmark::State& state, size_t got, size_t want) {
  if (got != want) state.SkipWithError("decoder returned the wrong number of messages");
}

// 100-byte payloads: chunk boundaries fall inside headers and payloads alike.
void BM_DecodeSmallFramesInChunks(benchmark::State& state) {
  const size_t frames = 10'000;
  const std::string bytes = stream(frames, 100);
  for (auto _ : state) {
    size_t n = feed(bytes, chunkSize);
    benchmark::DoNotOptimize(n);
    checkCount(state, n, frames);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
}
BENCHMARK(BM_DecodeSmallFramesInChunks);

// The same stream through appendTo with one reused result vector.
void BM_DecodeSmallFramesInChunksReused(benchmark::State& state) {
  const size_t frames = 10'000;
  const std::string bytes = stream(frames, 100);
  std::vector<ByteString> out;
  for (auto _ : state) {
    NativeMessaging::Decoder decoder;
    size_t n = 0;
    for (size_t at = 0; at < bytes.size(); at += chunkSize) {
      out.clear();
      decoder.appendTo(std::string_view(bytes).substr(at, chunkSize), out);
      n += out.size();
    }
    benchmark::DoNotOptimize(n);
    checkCount(state, n, frames);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
}
BENCHMARK(BM_DecodeSmallFramesInChunksReused);

// 1 MiB payloads: each frame spans sixteen reads and is assembled in the buffer.
void BM_DecodeLargeFramesInChunks(benchmark::State& state) {
  const size_t frames = 8;
  const std::string bytes = stream(frames, 1024 * 1024);
  for (auto _ : state) {
    size_t n = feed(bytes, chunkSize);
    benchmark::DoNotOptimize(n);
    checkCount(state, n, frames);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
}
BENCHMARK(BM_DecodeLargeFramesInChunks);

// One read holding N small frames. Bytes per second that stay level from 1,000 to
// 100,000 frames show the work is linear in the chunk, not quadratic. The decoder and the
// result vector are reused so that fresh-page faults (costly in a VM, and linear anyway)
// do not drown the decoder's own work at the larger sizes.
void BM_DecodeOneChunkOfManyFrames(benchmark::State& state) {
  const auto frames = static_cast<size_t>(state.range(0));
  const std::string bytes = stream(frames, 60);
  NativeMessaging::Decoder decoder;
  std::vector<ByteString> out;
  for (auto _ : state) {
    out.clear();
    decoder.appendTo(bytes, out);
    benchmark::DoNotOptimize(out.data());
    checkCount(state, out.size(), frames);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
}
BENCHMARK(BM_DecodeOneChunkOfManyFrames)->Arg(1'000)->Arg(10'000)->Arg(100'000);

}  // namespace
}  // namespace quillbeam::bench
