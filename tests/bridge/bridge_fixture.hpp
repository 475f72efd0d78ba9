#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "bridge/support/bridge_process.hpp"
#include "quillbeam/session/shared_files.hpp"
#include "support/bus_listener.hpp"
#include "support/private_bus.hpp"

namespace quillbeam::testing {

// A throwaway HOME, a private session bus and a listener for the browser-state signal.
class BridgeFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  BridgeProcess::Options options() const;
  std::unique_ptr<BridgeProcess> start();

  std::filesystem::path linkPath() const;
  std::optional<BrowserLink> link() const;
  std::string linkText() const;
  size_t stateSignals() const { return listener->received().size(); }

  std::filesystem::path home;
  std::unique_ptr<PrivateBus> bus;
  std::unique_ptr<BusListener> listener;
};

}  // namespace quillbeam::testing
