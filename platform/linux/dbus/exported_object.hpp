#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/linux/dbus/connection.hpp"
#include "platform/linux/dbus/marshal.hpp"
#include "platform/linux/dbus/message.hpp"

namespace quillbeam::platform::dbus {

// One argument of a method or signal: a name for introspection (letters, digits and '_')
// and one single complete type.
struct Argument {
  std::string name;
  std::string type;
};

// The error a method answers with: an error name ("com.quillbeam.Error.NoSuchApp") and
// a text for people.
struct MethodError {
  std::string name;
  std::string text;
};

// A method's reply body, of its output types, or its error.
using MethodResult = std::variant<std::string, MethodError>;

struct Method {
  std::string name;
  std::vector<Argument> in;
  std::vector<Argument> out;
  // Reads the arguments, already checked to be well-formed values of `in`, and answers.
  // Strings in the reply must be valid text (see toValidText). An exception refuses the
  // call with org.freedesktop.DBus.Error.Failed.
  std::function<MethodResult(Reader& arguments)> handler;
};

struct SignalInfo {
  std::string name;
  std::vector<Argument> arguments;
};

struct Interface {
  std::string name;
  std::vector<Method> methods;
  std::vector<SignalInfo> signals;
};

// One object path serving one interface on a connection, as bus tools expect: it answers
// Introspect for its path and for each path above it (so `busctl tree` finds it), checks
// each call's argument types before its handler runs (InvalidArgs otherwise), refuses
// members it lacks with UnknownMethod, and checks each reply against the method's output
// types, so a faulty handler cannot make the bus drop the connection. It is the
// connection's method-call handler while it lives. Main thread only.
class ExportedObject {
 public:
  static constexpr const char* kIntrospectable = "org.freedesktop.DBus.Introspectable";

  // Serves `interface` at `path` on `connection`, which must outlive the object. Throws
  // std::invalid_argument when a path, name, argument or type would break the bus's rules.
  ExportedObject(Connection& connection, std::string path, Interface interface);
  ExportedObject(const ExportedObject&) = delete;
  ExportedObject& operator=(const ExportedObject&) = delete;
  ~ExportedObject();

  // Broadcasts the interface's signal `member` from the object, with `body` holding its
  // arguments. False, sending nothing, when there is no such signal or the body does not
  // hold its types.
  bool emit(std::string_view member, std::string body);

  // The introspection document for `path`: ours, or a path above ours with its child;
  // absent for any other path.
  std::optional<std::string> introspect(std::string_view path) const;

 private:
  bool handle(const Message& call);
  MethodResult invoke(const Method& method, const Message& call) const;

  Connection& connection_;
  std::string path_;
  Interface interface_;
};

}  // namespace quillbeam::platform::dbus
