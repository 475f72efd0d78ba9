#include "quillbeam/json/strict_json.hpp"

#include <cmath>
#include <limits>

namespace quillbeam::json {

namespace {

// One pass over the bytes, counting brackets outside strings. Only well-formed text needs
// the right count: anything else is refused by the parser afterwards.
bool nestsWithin(std::string_view text, size_t limit) {
  size_t depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

}  // namespace

Value parse(std::string_view text) {
  if (!nestsWithin(text, maxDepth)) throw DecodingError("nested too deeply");
  // The parser validates UTF-8 inside strings and rejects trailing bytes.
  Value v = Value::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (v.is_discarded()) throw DecodingError("not valid JSON");
  return v;
}

std::string compact(const Ordered& value) {
  // Strings that came through the decoder are valid UTF-8; a caller-built string that is
  // not gets U+FFFD rather than an exception, since encoding a record must not fail.
  return value.dump(-1, ' ', false, Ordered::error_handler_t::replace);
}

bool readBool(const Value& v, std::string_view where) {
  if (!v.is_boolean()) throw DecodingError(std::string(where) + ": expected true or false");
  return v.get_ref<const Value::boolean_t&>();
}

const std::string& readString(const Value& v, std::string_view where) {
  if (!v.is_string()) throw DecodingError(std::string(where) + ": expected a string");
  return v.get_ref<const Value::string_t&>();
}

int64_t readInt64(const Value& v, std::string_view where) {
  constexpr auto max = std::numeric_limits<int64_t>::max();
  if (v.is_number_integer() && !v.is_number_unsigned()) {
    return v.get_ref<const Value::number_integer_t&>();
  }
  if (v.is_number_unsigned()) {
    auto u = v.get_ref<const Value::number_unsigned_t&>();
    if (u > static_cast<uint64_t>(max)) {
      throw DecodingError(std::string(where) + ": integer out of range");
    }
    return static_cast<int64_t>(u);
  }
  if (v.is_number_float()) {
    // A whole number written with a fraction or exponent (5.0, 1e3) is still an integer.
    double d = v.get_ref<const Value::number_float_t&>();
    if (!(d >= -0x1p63 && d < 0x1p63)) {
      throw DecodingError(std::string(where) + ": integer out of range");
    }
    if (std::trunc(d) != d) throw DecodingError(std::string(where) + ": expected an integer");
    return static_cast<int64_t>(d);
  }
  throw DecodingError(std::string(where) + ": expected an integer");
}

int32_t readInt32(const Value& v, std::string_view where) {
  int64_t wide = readInt64(v, where);
  if (wide < std::numeric_limits<int32_t>::min() || wide > std::numeric_limits<int32_t>::max()) {
    throw DecodingError(std::string(where) + ": integer out of 32-bit range");
  }
  return static_cast<int32_t>(wide);
}

ObjectReader::ObjectReader(const Value& object) : object_(object) {
  if (!object_.is_object()) throw DecodingError("expected a JSON object");
}

const Value* ObjectReader::find(const char* key) const {
  auto it = object_.find(key);
  return it == object_.end() ? nullptr : &*it;
}

}  // namespace quillbeam::json
