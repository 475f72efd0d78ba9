#include "companion/desktop/shield_target.hpp"

#include <gtest/gtest.h>

namespace quillbeam::companion {
namespace {

TEST(ShieldTarget, RoundTripsThroughJson) {
  const ShieldTarget targets[] = {
      ShieldTarget::cgroup("/sys/fs/cgroup/user.slice/app.slice/app-x-1.scope"),
      ShieldTarget::processes({{12, 345}, {2'000'000'000, 9'000'000'000'000}}),
  };
  for (const ShieldTarget& target : targets) {
    const std::string text = json::compact(target.toJson());
    EXPECT_EQ(ShieldTarget::fromJson(json::parse(text)), target) << text;
  }
  EXPECT_EQ(
      json::compact(targets[1].toJson()),
      R"({"processes":[{"pid":12,"startTime":345},{"pid":2000000000,"startTime":9000000000000}]})");
  EXPECT_NE(targets[0], ShieldTarget::cgroup("/sys/fs/cgroup/user.slice/app.slice/app-x-2.scope"));
  EXPECT_NE(targets[1], ShieldTarget::processes({{12, 346}, {2'000'000'000, 9'000'000'000'000}}));
}

TEST(ShieldTarget, RefusesRecordsThatCouldAimAnywhere) {
  for (const char* text : {
           R"({})",
           R"({"cgroup":"/a/b.scope","processes":[{"pid":1,"startTime":1}]})",
           R"({"cgroup":"relative/b.scope"})",
           R"({"cgroup":7})",
           R"({"processes":[]})",
           R"({"processes":[{"pid":0,"startTime":1}]})",
           R"({"processes":[{"pid":-1,"startTime":1}]})",
           R"({"processes":[{"pid":4294967297,"startTime":1}]})",
           R"({"processes":[{"pid":1.5,"startTime":1}]})",
           R"({"processes":[{"pid":1}]})",
           R"({"processes":[{"pid":1,"startTime":-1}]})",
           R"([])",
       }) {
    EXPECT_THROW(ShieldTarget::fromJson(json::parse(text)), DecodingError) << text;
  }
}

}  // namespace
}  // namespace quillbeam::companion
