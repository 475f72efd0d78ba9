// Every JSON record and message another program writes: the link file, the companion's
// settings and commands, the extension's frames, the manifest. The first byte picks the
// reader (seeds start with '0' to '7'). Whatever decodes encodes to text that decodes to an
// equal value and encodes again to the same text; decoding may fail only with
// DecodingError, anything else escaping is a crash.
#include <optional>

#include "quillbeam/policy/companion_settings.hpp"
#include "quillbeam/policy/known_app.hpp"
#include "quillbeam/session/browser_link.hpp"
#include "quillbeam/wire/extension_message.hpp"
#include "quillbeam/wire/host_message.hpp"
#include "quillbeam/wire/native_host_manifest.hpp"

using namespace quillbeam;

template <class T>
std::optional<T> attempt(T (*decode)(std::string_view), std::string_view text) {
  try {
    return decode(text);
  } catch (const DecodingError&) {
    return std::nullopt;
  }
}

template <class T>
void roundTrip(std::string_view text) {
  T (*read)(std::string_view) = [](std::string_view t) { return T::fromJson(json::parse(t)); };
  const std::optional<T> first = attempt(read, text);
  // The bridge's own entry point agrees with reading the document.
  if constexpr (requires { T::decode(text); }) FUZZ_CHECK(attempt(T::decode, text) == first);
  if (!first) return;
  const std::string encoded = json::compact(first->toJson());
  FUZZ_CHECK(read(encoded) == *first && json::compact(read(encoded).toJson()) == encoded);
  // What goes to the file and the pipe is written straight to text, or pretty-printed.
  if constexpr (requires { first->encode(); }) FUZZ_CHECK(read(first->encode()) == *first);
  if constexpr (requires { first->json(); }) FUZZ_CHECK(read(first->json()) == *first);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr void (*readers[])(std::string_view) = {
      roundTrip<BrowserLink>, roundTrip<SessionSnapshot>,   roundTrip<SessionDraft>,
      roundTrip<KnownApp>,    roundTrip<CompanionSettings>, roundTrip<NativeHostManifest>,
      roundTrip<HostMessage>, roundTrip<ExtensionMessage>};
  if (size > 0) readers[data[0] % 8]({reinterpret_cast<const char*>(data) + 1, size - 1});
  return 0;
}
