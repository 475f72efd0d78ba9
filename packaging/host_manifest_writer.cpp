// Writes the bridge's native messaging host manifest for the packages' folders for all
// users. The text is made exactly as quillbeam-register makes it, so that the tool run
// after the package is installed finds the registration already in place.
//
// Usage: quillbeam_host_manifest_writer OUTPUT BRIDGE_PATH
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "quillbeam/session/shared_files.hpp"
#include "quillbeam/wire/companion_protocol.hpp"
#include "quillbeam/wire/native_host_manifest.hpp"

namespace quillbeam::Packaging {
namespace {

std::string manifestText(const std::string& bridgePath) {
  const std::vector<std::string> ids(CompanionProtocol::extensionIDs.begin(),
                                     CompanionProtocol::extensionIDs.end());
  return NativeHostManifest(bridgePath, ids).json() + "\n";
}

int run(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: quillbeam_host_manifest_writer OUTPUT BRIDGE_PATH\n";
    return 2;
  }
  const std::string bridge = argv[2];
  // A browser starts the host from a folder of its own: only an absolute path works.
  if (!bridge.starts_with('/')) {
    std::cerr << "quillbeam_host_manifest_writer: the bridge path must be absolute\n";
    return 2;
  }
  try {
    SharedFiles::writeFileAtomically(argv[1], manifestText(bridge), 0644);
  } catch (const std::exception& error) {
    std::cerr << "quillbeam_host_manifest_writer: " << error.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace quillbeam::Packaging

int main(int argc, char** argv) {
  return quillbeam::Packaging::run(argc, argv);
}
