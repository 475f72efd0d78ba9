// The per-message JSON work of the bridge: decoding a state report and encoding the link
// record that every report rewrites.

#include <benchmark/benchmark.h>

#include <string>
#include <variant>

#include "quillbeam/session/browser_link.hpp"
#include "quillbeam/wire/extension_message.hpp"
#include "quillbeam/wire/native_messaging.hpp"
#include "sample_messages.hpp"

namespace quillbeam::bench {
namespace {

void BM_DecodeStateMessage(benchmark::State& state) {
  const std::string text = stateMessage();
  for (auto _ : state) {
    ExtensionMessage message = ExtensionMessage::decode(text);
    benchmark::DoNotOptimize(message);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.SetLabel(std::to_string(text.size()) + "-byte state");
}
BENCHMARK(BM_DecodeStateMessage);

void BM_EncodeBrowserLink(benchmark::State& state) {
  const ExtensionMessage message = ExtensionMessage::decode(stateMessage());
  BrowserLink link{true, 1718000000456, "bench",
                   std::get<ExtensionMessage::State>(message.value).session, 4242};
  size_t bytes = 0;
  for (auto _ : state) {
    std::string text = link.encode();
    bytes += text.size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.SetLabel(std::to_string(link.encode().size()) + "-byte record");
}
BENCHMARK(BM_EncodeBrowserLink);

// Framing of an outgoing message, for scale beside the JSON work.
void BM_FrameHelloReply(benchmark::State& state) {
  const std::string reply = R"({"type":"hello","protocol":1,"appVersion":"0.1.0"})";
  for (auto _ : state) {
    ByteString frame = NativeMessaging::frame(reply);
    benchmark::DoNotOptimize(frame);
  }
}
BENCHMARK(BM_FrameHelloReply);

}  // namespace
}  // namespace quillbeam::bench
