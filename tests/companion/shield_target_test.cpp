#include "companion/desktop/shield_target.hpp"

#include <gtest/gtest.h>

namespace quillbeam::companion {
namespace {

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
