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

// `frames` frames of `payloadSize` bytes, each payload one letter repeated.
std::string stream(size_t frames, size_t payloadSize) {
  std::string out;
  out.reserve(frames * (payloadSize + 4));
  for (size_t i = 0; i < frames; ++i) {
    for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>(payloadSize >> shift);
    out.append(payloadSize, static_cast<char>('a' + i % 26));
  }
  return out;
}

// Runs `decode`, which returns the messages it got from `bytes`, once per iteration and
// reports bytes and frames per second.
template <class Decode>
void measure(benchmark::State& state, size_t frames, const std::string& bytes, Decode decode) {
  for (auto _ : state) {
    const size_t n = decode();
    benchmark::DoNotOptimize(n);
    if (n != frames) state.SkipWithError("decoder returned the wrong number of messages");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
}

// In 64 KiB reads, as from a pipe. With 100-byte payloads the read boundaries fall inside
// headers and payloads alike; each 1 MiB payload spans sixteen reads and is assembled in
// the buffer. Arguments: frames, payload size.
void BM_DecodeFramesInChunks(benchmark::State& state) {
  const auto frames = static_cast<size_t>(state.range(0));
  const std::string bytes = stream(frames, static_cast<size_t>(state.range(1)));
  measure(state, frames, bytes, [&] {
    NativeMessaging::Decoder decoder;
    size_t n = 0;
    for (size_t at = 0; at < bytes.size(); at += chunkSize) {
      n += decoder.append(std::string_view(bytes).substr(at, chunkSize)).size();
    }
    return n;
  });
}
BENCHMARK(BM_DecodeFramesInChunks)->Args({10'000, 100})->Args({8, 1024 * 1024});

// The small frames again, through appendTo with one reused result vector.
void BM_DecodeSmallFramesInChunksReused(benchmark::State& state) {
  const size_t frames = 10'000;
  const std::string bytes = stream(frames, 100);
  std::vector<ByteString> out;
  measure(state, frames, bytes, [&] {
    NativeMessaging::Decoder decoder;
    size_t n = 0;
    for (size_t at = 0; at < bytes.size(); at += chunkSize) {
      out.clear();
      decoder.appendTo(std::string_view(bytes).substr(at, chunkSize), out);
      n += out.size();
    }
    return n;
  });
}
BENCHMARK(BM_DecodeSmallFramesInChunksReused);

// One read holding N small frames. Bytes per second that stay level from 1,000 to
// 100,000 frames show the work is linear in the chunk, not quadratic. The decoder and the
// result vector are reused so that fresh-page faults (costly in a VM, and linear anyway)
// do not drown the decoder's own work at the larger sizes.
void BM_DecodeOneChunkOfManyFrames(benchmark::State& state) {
  const auto frames = static_cast<size_t>(state.range(0));
  const std::string bytes = stream(frames, 60);
  NativeMessaging::Decoder decoder;
  std::vector<ByteString> out;
  measure(state, frames, bytes, [&] {
    out.clear();
    decoder.appendTo(bytes, out);
    return out.size();
  });
}
BENCHMARK(BM_DecodeOneChunkOfManyFrames)->Arg(1'000)->Arg(10'000)->Arg(100'000);

}  // namespace
}  // namespace quillbeam::bench
