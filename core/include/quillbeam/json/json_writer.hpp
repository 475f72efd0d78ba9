#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillbeam::json {

// Writes compact JSON text straight into a string, without building a document first:
// the link record is encoded on every message, and a session may hold hundreds of
// thousands of anchors. Strings are escaped as JSON requires; invalid UTF-8 becomes
// U+FFFD, so writing never fails.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  void beginObject() { open('{'); }
  void endObject() { out_.push_back('}'); }
  void beginArray() { open('['); }
  void endArray() { out_.push_back(']'); }
  void key(std::string_view name);

  void value(std::string_view text);
  void value(const char* text) { value(std::string_view(text)); }
  void value(int64_t number);
  void value(int32_t number) { value(static_cast<int64_t>(number)); }
  void value(bool flag);
  void null();
  void value(const std::vector<std::string>& texts);
  template <class Record>
  requires requires(const Record& r, Writer& w) { r.writeJson(w); }
  void value(const Record& record) {
    separate();
    record.writeJson(*this);
  }

  template <class T>
  void field(std::string_view name, const T& v) {
    key(name);
    value(v);
  }
  // An absent optional leaves no key at all.
  template <class T>
  void field(std::string_view name, const std::optional<T>& v) {
    if (v) field(name, *v);
  }

 private:
  void open(char bracket);
  // A comma before every member or element but the first.
  void separate();
  void escaped(std::string_view text);

  std::string& out_;
};

// The compact JSON text of a record that can write itself.
template <class Record>
std::string encode(const Record& record) {
  std::string out;
  Writer writer(out);
  record.writeJson(writer);
  return out;
}

}  // namespace quillbeam::json
