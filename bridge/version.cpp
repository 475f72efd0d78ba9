#include "version.hpp"

namespace quillbeam::bridge {

std::string_view bridgeVersion() {
#ifdef QUILLBEAM_VERSION
  return QUILLBEAM_VERSION;
#else
  return "dev";
#endif
}

}  // namespace quillbeam::bridge
