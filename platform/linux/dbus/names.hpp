#pragma once

#include <string>
#include <string_view>

namespace quillbeam::platform::dbus {

// The bus's naming rules; a message carrying a name that breaks them is refused by the
// daemon, which would cost us the whole connection.

// "a.b.c": two or more elements of [A-Za-z0-9_], none empty or starting with a digit,
// at most 255 bytes.
bool isInterfaceName(std::string_view name);

// [A-Za-z0-9_], not starting with a digit, 1 to 255 bytes.
bool isMemberName(std::string_view name);

// "/" or "/a/b": elements of [A-Za-z0-9_], none empty, no trailing slash.
bool isObjectPath(std::string_view path);

// A well-known name ("a.b", elements of [A-Za-z0-9_-] not starting with a digit) or a
// unique one (":1.42", digits allowed), at most 255 bytes.
bool isBusName(std::string_view name);

// What a string may hold on the bus: valid UTF-8 without NUL.
bool isValidText(std::string_view text);

// `text` made fit for the bus: each NUL and each byte that starts no valid UTF-8 sequence
// becomes U+FFFD. The daemon drops a connection that sends anything else as a string.
std::string toValidText(std::string_view text);

}  // namespace quillbeam::platform::dbus
