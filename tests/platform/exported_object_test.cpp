// An exported object and owned names on a private dbus-daemon, called by the bus tools
// users run (dbus-send, gdbus, busctl), which check our answers against their own
// implementations of the protocol.
#include "platform/linux/dbus/exported_object.hpp"

#include <cstdio>
#include <future>
#include <regex>

#include "loop_driver.hpp"
#include "support/private_bus.hpp"

namespace quillbeam::platform::dbus {
namespace {

using ::testing::HasSubstr;
using testing::outputBeside;
using testing::runUntil;

constexpr const char* kName = "com.quillbeam.test.Companion";
constexpr const char* kPath = "/com/quillbeam/test";

Interface testInterface() {
  return Interface{
      "com.quillbeam.Test",
      {{"Add",
        {{"a", "i"}, {"b", "x"}},
        {{"sum", "x"}},
        [](Reader& in) -> MethodResult {
          std::string out;
          const int32_t a = in.int32();
          Writer(out).int64(a + in.int64());
          return out;
        }},
       {"Describe",
        {{"count", "t"}, {"ratio", "d"}},
        {{"info", "a{sv}"}},
        [](Reader& in) -> MethodResult {
          std::string out;
          Writer w(out);
          const auto entries = w.beginArray(8);
          w.beginStruct();
          w.string("count");
          w.variantType("t");
          w.uint64(in.uint64());
          w.beginStruct();
          w.string("ratio");
          w.variantType("d");
          w.float64(in.float64());
          w.endArray(entries);
          return out;
        }},
       {"Refuse",
        {},
        {},
        [](Reader&) -> MethodResult {
          return MethodError{"com.quillbeam.Error.Refused", "not now"};
        }},
       {"Broken", {}, {{"n", "u"}}, [](Reader&) -> MethodResult { return std::string("ab"); }},
       {"Throws", {}, {}, [](Reader&) -> MethodResult { throw std::runtime_error("oops"); }}},
      {{"Changed", {{"app", "s"}}}}};
}

class ExportedObjectTest : public ::testing::Test {
 protected:
  ExportedObjectTest() {
    connection.start();
    connection.requestName(kName, [this](NameState state, std::string_view) { owned = state; });
    EXPECT_TRUE(runUntil(loop, [&] { return owned.has_value(); }));
    EXPECT_EQ(owned, NameState::Owned);
  }
  // What `command` prints (stdout and stderr), run beside the loop.
  std::string run(const std::string& command) { return outputBeside(loop, command); }
  std::string send(const std::string& path, const std::string& methodAndArguments) {
    return run("dbus-send --bus='" + bus.address() + "' --print-reply --dest=" + kName + " " +
               path + " " + methodAndArguments);
  }

  quillbeam::testing::PrivateBus bus;
  EventLoop loop;
  std::optional<std::string> closed;
  Connection connection{loop, bus.address(), [this](std::string_view why) { closed = why; }};
  ExportedObject object{connection, kPath, testInterface()};
  std::optional<NameState> owned;
};

TEST_F(ExportedObjectTest, AnswersTypedCallsAndRefusesWhatItCannotServe) {
  const std::pair<std::string, std::string> calls[] = {
      {"com.quillbeam.Test.Add int32:-7 int64:9000000000", "int64 8999999993"},
      {"com.quillbeam.Test.Describe uint64:18446744073709551615 double:0.5",
       "string \"count\"\n         variant             uint64 18446744073709551615"},
      {"com.quillbeam.Test.Describe uint64:1 double:0.5",
       "string \"ratio\"\n         variant  "
       "           double 0.5"},
      {"com.quillbeam.Test.Add string:one", "org.freedesktop.DBus.Error.InvalidArgs"},
      {"com.quillbeam.Test.Add int32:1", "org.freedesktop.DBus.Error.InvalidArgs"},
      {"com.quillbeam.Test.Nope", "org.freedesktop.DBus.Error.UnknownMethod"},
      {"com.quillbeam.Other.Add int32:1 int64:2", "org.freedesktop.DBus.Error.UnknownMethod"},
      {"com.quillbeam.Test.Refuse", "Error com.quillbeam.Error.Refused: not now"},
      {"com.quillbeam.Test.Broken", "org.freedesktop.DBus.Error.Failed"},
      {"com.quillbeam.Test.Throws", "org.freedesktop.DBus.Error.Failed: oops"},
      {"org.freedesktop.DBus.Peer.Ping", "method return"},
  };
  for (const auto& [call, expected] : calls) {
    EXPECT_THAT(send(kPath, call), HasSubstr(expected)) << call;
  }
  EXPECT_THAT(send("/com/quillbeam/other", "com.quillbeam.Test.Add int32:1 int64:2"),
              HasSubstr("org.freedesktop.DBus.Error.UnknownObject"));
  EXPECT_THAT(send("/com", "org.freedesktop.DBus.Introspectable.Introspect string:x"),
              HasSubstr("org.freedesktop.DBus.Error.InvalidArgs"));
  EXPECT_EQ(closed, std::nullopt) << "no answer of ours made the bus drop us";
}

TEST_F(ExportedObjectTest, IntrospectionDescribesTheInterfaceAndLeadsToTheObject) {
  // gdbus parses the document and prints it back, one declaration to a line.
  std::string described = run("gdbus introspect --address '" + bus.address() + "' --dest " + kName +
                              " --object-path " + kPath);
  described = std::regex_replace(described, std::regex("\\s+"), " ");
  for (const char* declaration :
       {"interface com.quillbeam.Test {", "Add(in i a, in x b, out x sum);",
        "Describe(in t count, in d ratio, out a{sv} info);", "Refuse();", "Changed(s app);",
        "GetMachineId(out s machine_uuid);", "Introspect(out s xml_data);"}) {
    EXPECT_THAT(described, HasSubstr(declaration));
  }
  EXPECT_THAT(run("busctl --address='" + bus.address() + "' tree " + kName),
              ::testing::ContainsRegex("└─/com\n +└─/com/quillbeam\n +└─/com/quillbeam/test"));
  EXPECT_EQ(object.introspect("/org"), std::nullopt);
  EXPECT_EQ(object.introspect("/com/quill"), std::nullopt);
}

TEST_F(ExportedObjectTest, SignalsAreSentOnlyWithTheirDeclaredTypes) {
  std::string body;
  Writer(body).string("org.example.Game");
  EXPECT_FALSE(object.emit("Unknown", body));
  EXPECT_FALSE(object.emit("Changed", std::string()));
  EXPECT_TRUE(object.emit("Changed", body));
}

TEST_F(ExportedObjectTest, ANameIsOwnedByOneConnectionAndLostWithIt) {
  std::vector<NameState> second;
  Connection other(loop, bus.address(), [](std::string_view) {});
  other.start();
  const auto request = [&](std::string name) {
    const size_t before = second.size();
    other.requestName(std::move(name),
                      [&](NameState state, std::string_view) { second.push_back(state); });
    EXPECT_TRUE(runUntil(loop, [&] { return second.size() > before; }));
  };
  request(kName);
  request("not a name");
  connection.releaseName(kName);
  connection.flush(std::chrono::seconds(10));  // the bus has taken the release
  request(kName);
  EXPECT_EQ(second, (std::vector{NameState::OwnedElsewhere, NameState::Failed, NameState::Owned}));
  bus.kill();
  EXPECT_TRUE(runUntil(loop, [&] { return second.size() == 4; }));
  EXPECT_EQ(second.back(), NameState::Lost) << ::testing::PrintToString(second);
  EXPECT_EQ(owned, NameState::Owned) << "a released name tells nothing more";
}

}  // namespace
}  // namespace quillbeam::platform::dbus
