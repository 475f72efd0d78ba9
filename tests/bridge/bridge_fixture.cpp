#include "bridge_fixture.hpp"

#include <fstream>
#include <sstream>

#include "quillbeam/session/companion_notification.hpp"

namespace quillbeam::testing {

namespace fs = std::filesystem;

void BridgeFixture::SetUp() {
  std::string pattern = (fs::temp_directory_path() / "quillbeam-bridge-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  home = pattern;
  bus = std::make_unique<PrivateBus>();
  listener = std::make_unique<BusListener>(bus->address());
  listener->subscribe(CompanionNotification::browserState);
}

void BridgeFixture::TearDown() {
  listener.reset();
  bus.reset();
  std::error_code ec;
  fs::remove_all(home, ec);
}

BridgeProcess::Options BridgeFixture::options() const {
  BridgeProcess::Options o;
  o.home = home;
  o.busAddress = bus->address();
  return o;
}

std::unique_ptr<BridgeProcess> BridgeFixture::start() {
  return std::make_unique<BridgeProcess>(options());
}

fs::path BridgeFixture::linkPath() const {
  return home / "Library/Application Support/Quillbeam/browser-link.json";
}

std::optional<BrowserLink> BridgeFixture::link() const {
  return SharedFiles::readLink(linkPath());
}

std::string BridgeFixture::linkText() const {
  std::ifstream in(linkPath(), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace quillbeam::testing
