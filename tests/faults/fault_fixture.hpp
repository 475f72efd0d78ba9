#pragma once

#include <csignal>

#include "bridge/bridge_fixture.hpp"

namespace quillbeam::testing {

// The bridge fixture for fault tests. A bridge that dies where it should not makes the
// test's next write to its input fail: that must fail the one test (the write throws),
// not end the whole test program with SIGPIPE.
class FaultFixture : public BridgeFixture {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);
    BridgeFixture::SetUp();
  }
};

}  // namespace quillbeam::testing
