#include "platform/linux/dbus/exported_object.hpp"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <utility>

#include "platform/linux/dbus/names.hpp"

namespace quillbeam::platform::dbus {
namespace {

constexpr const char* kInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
constexpr const char* kUnknownMethod = "org.freedesktop.DBus.Error.UnknownMethod";
constexpr const char* kFailed = "org.freedesktop.DBus.Error.Failed";

// The interfaces every object of ours offers, as the bus libraries describe them.
constexpr std::string_view kStandardInterfaces =
    " <interface name=\"org.freedesktop.DBus.Peer\">\n"
    "  <method name=\"Ping\"/>\n"
    "  <method name=\"GetMachineId\">\n"
    "   <arg type=\"s\" name=\"machine_uuid\" direction=\"out\"/>\n"
    "  </method>\n"
    " </interface>\n"
    " <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "  <method name=\"Introspect\">\n"
    "   <arg type=\"s\" name=\"xml_data\" direction=\"out\"/>\n"
    "  </method>\n"
    " </interface>\n";

std::string signatureOf(const std::vector<Argument>& arguments) {
  std::string signature;
  for (const auto& argument : arguments) signature += argument.type;
  return signature;
}

void check(bool valid, const std::string& what) {
  if (!valid) throw std::invalid_argument("cannot export " + what);
}

// Names and types only ever hold [A-Za-z0-9_] and type codes, so nothing needs escaping.
void checkArguments(const std::vector<Argument>& arguments, const std::string& owner) {
  for (const auto& argument : arguments) {
    check(isMemberName(argument.name), owner + ": argument name '" + argument.name + "'");
    check(!argument.type.empty() && completeTypeLength(argument.type) == argument.type.size(),
          owner + ": type '" + argument.type + "'");
  }
  check(isSignature(signatureOf(arguments)), owner + ": too many arguments");
}

void appendArguments(std::string& xml, const std::vector<Argument>& arguments,
                     const char* direction) {
  for (const auto& argument : arguments) {
    xml += "   <arg type=\"" + argument.type + "\" name=\"" + argument.name + "\"";
    if (direction) xml += std::string(" direction=\"") + direction + "\"";
    xml += "/>\n";
  }
}

}  // namespace

ExportedObject::ExportedObject(Connection& connection, std::string path, Interface interface)
    : connection_(connection), path_(std::move(path)), interface_(std::move(interface)) {
  check(isObjectPath(path_), "path '" + path_ + "'");
  check(isInterfaceName(interface_.name), "interface '" + interface_.name + "'");
  for (const auto& method : interface_.methods) {
    check(isMemberName(method.name) && method.handler, "method '" + method.name + "'");
    checkArguments(method.in, method.name);
    checkArguments(method.out, method.name);
  }
  for (const auto& signal : interface_.signals) {
    check(isMemberName(signal.name), "signal '" + signal.name + "'");
    checkArguments(signal.arguments, signal.name);
  }
  connection_.onMethodCall([this](const Message& call) { return handle(call); });
}

ExportedObject::~ExportedObject() {
  connection_.onMethodCall(nullptr);
}

bool ExportedObject::emit(std::string_view member, std::string body) {
  const auto signal = std::find_if(interface_.signals.begin(), interface_.signals.end(),
                                   [&](const SignalInfo& s) { return s.name == member; });
  if (signal == interface_.signals.end()) return false;
  Message message = Message::signal(path_, interface_.name, signal->name);
  message.signature = signatureOf(signal->arguments);
  if (!Reader(body, false).holds(message.signature)) return false;
  message.body = std::move(body);
  connection_.send(std::move(message));
  return true;
}

std::optional<std::string> ExportedObject::introspect(std::string_view path) const {
  std::string xml =
      "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
      "\"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n"
      "<node>\n";
  xml += kStandardInterfaces;
  if (path == path_) {
    xml += " <interface name=\"" + interface_.name + "\">\n";
    for (const auto& method : interface_.methods) {
      xml += "  <method name=\"" + method.name + "\">\n";
      appendArguments(xml, method.in, "in");
      appendArguments(xml, method.out, "out");
      xml += "  </method>\n";
    }
    for (const auto& signal : interface_.signals) {
      xml += "  <signal name=\"" + signal.name + "\">\n";
      appendArguments(xml, signal.arguments, nullptr);
      xml += "  </signal>\n";
    }
    xml += " </interface>\n";
  } else {
    // A path above ours names the next element of ours as its child.
    const std::string prefix = path == "/" ? "/" : std::string(path) + "/";
    if (!path_.starts_with(prefix)) return std::nullopt;
    const std::string_view rest = std::string_view(path_).substr(prefix.size());
    xml += " <node name=\"" + std::string(rest.substr(0, rest.find('/'))) + "\"/>\n";
  }
  return xml + "</node>\n";
}

bool ExportedObject::handle(const Message& call) {
  if (call.member == "Introspect" &&
      (call.interface.empty() || call.interface == kIntrospectable)) {
    auto xml = introspect(call.path);
    if (!xml) return false;
    if (!call.signature.empty()) {
      connection_.reply(call,
                        Message::errorFor(call, kInvalidArgs, "Introspect takes no arguments"));
      return true;
    }
    Message reply = Message::returnFor(call);
    reply.signature = "s";
    Writer(reply.body).string(*xml);
    connection_.reply(call, std::move(reply));
    return true;
  }
  if (call.path != path_) return false;
  const auto method =
      std::find_if(interface_.methods.begin(), interface_.methods.end(), [&](const Method& m) {
        return m.name == call.member &&
               (call.interface.empty() || call.interface == interface_.name);
      });
  if (method == interface_.methods.end()) {
    connection_.reply(
        call, Message::errorFor(call, kUnknownMethod,
                                "Unknown method " + toValidText(call.member) + " or interface " +
                                    toValidText(call.interface) + "."));
    return true;
  }
  auto result = invoke(*method, call);
  if (auto* error = std::get_if<MethodError>(&result)) {
    // An error name that breaks the rules would cost us the connection.
    connection_.reply(call,
                      Message::errorFor(call, isInterfaceName(error->name) ? error->name : kFailed,
                                        toValidText(error->text)));
    return true;
  }
  Message reply = Message::returnFor(call);
  reply.signature = signatureOf(method->out);
  reply.body = std::move(std::get<std::string>(result));
  connection_.reply(call, std::move(reply));
  return true;
}

MethodResult ExportedObject::invoke(const Method& method, const Message& call) const {
  const std::string expected = signatureOf(method.in);
  if (call.signature != expected) {
    return MethodError{kInvalidArgs, "Invalid arguments '" + call.signature + "' to call " +
                                         interface_.name + "." + method.name + "(), expecting '" +
                                         expected + "'."};
  }
  if (!call.bodyReader().holds(expected)) {
    return MethodError{kInvalidArgs, "The arguments of " + method.name + " are malformed."};
  }
  MethodResult result;
  try {
    Reader arguments = call.bodyReader();
    result = method.handler(arguments);
  } catch (const ProtocolError& e) {
    return MethodError{kInvalidArgs, e.what()};
  } catch (const std::exception& e) {
    return MethodError{kFailed, e.what()};
  }
  if (auto* body = std::get_if<std::string>(&result);
      body && !Reader(*body, false).holds(signatureOf(method.out))) {
    return MethodError{kFailed, method.name + " made a reply that does not hold its types."};
  }
  return result;
}

}  // namespace quillbeam::platform::dbus
