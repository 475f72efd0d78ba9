#include "version.hpp"

namespace quillbeam::bridge {

std::string_view bridgeVersion() {
  return QUILLBEAM_VERSION;
}

}  // namespace quillbeam::bridge
