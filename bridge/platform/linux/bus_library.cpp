#include "platform/linux/bus_library.hpp"

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace quillbeam::bridge::platform {
namespace {

std::runtime_error loadError(const char* soname) {
  const char* reason = dlerror();
  return std::runtime_error(std::string("couldn't load ") + soname + ": " +
                            (reason ? reason : "unknown error"));
}

}  // namespace

void BusLibrary::Close::operator()(void* handle) const {
  dlclose(handle);
}

std::unique_ptr<const BusLibrary> BusLibrary::load(const char* soname) {
  // Bound at once, so a missing symbol of a dependency shows here and not in a later call.
  void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (!handle) throw loadError(soname);
  auto library = std::make_unique<BusLibrary>(Key{});
  library->handle_.reset(handle);
#define QUILLBEAM_SD_BUS_RESOLVE(name)                                             \
  library->name = reinterpret_cast<decltype(library->name)>(dlsym(handle, #name)); \
  if (!library->name) throw loadError(soname);
  QUILLBEAM_SD_BUS_FUNCTIONS(QUILLBEAM_SD_BUS_RESOLVE)
#undef QUILLBEAM_SD_BUS_RESOLVE
  return library;
}

}  // namespace quillbeam::bridge::platform
