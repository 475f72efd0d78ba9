// Every JSON record and message another program writes: the link file, the companion's
// settings and commands, the extension's frames, the manifest. The first byte picks the
// reader (seeds start with '0' to '7'); each is held to round_trip.hpp.
#include "quillbeam/policy/companion_settings.hpp"
#include "quillbeam/policy/known_app.hpp"
#include "quillbeam/session/browser_link.hpp"
#include "quillbeam/wire/extension_message.hpp"
#include "quillbeam/wire/host_message.hpp"
#include "quillbeam/wire/native_host_manifest.hpp"
#include "round_trip.hpp"

using namespace quillbeam;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr void (*readers[])(std::string_view) = {
      roundTrip<BrowserLink>, roundTrip<SessionSnapshot>,   roundTrip<SessionDraft>,
      roundTrip<KnownApp>,    roundTrip<CompanionSettings>, roundTrip<NativeHostManifest>,
      roundTrip<HostMessage>, roundTrip<ExtensionMessage>};
  if (size > 0) readers[data[0] % 8]({reinterpret_cast<const char*>(data) + 1, size - 1});
  return 0;
}
