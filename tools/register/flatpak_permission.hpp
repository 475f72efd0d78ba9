#pragma once

#include "environment.hpp"

namespace quillbeam::Register {

struct FlatpakApp;

// The bus name through which a Flatpak app has programs started outside its sandbox
// (flatpak-spawn --host). Talking to it lets the app run any program as the user.
inline constexpr char hostCommandBusName[] = "org.freedesktop.Flatpak";

// Whether `app` may talk to org.freedesktop.Flatpak, as `flatpak run` decides it: the app's
// metadata, then the overrides for all users (for a system install only), then the user's,
// each time the global ones before the app's own; the last that names the bus name wins.
bool mayStartHostPrograms(const FlatpakApp& app, const Environment& environment);

}  // namespace quillbeam::Register
