#include "quillbeam/json/strict_json.hpp"

#include <cmath>
#include <limits>
#include <optional>

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

// A JSON number's text as a whole number: its sign and magnitude, or nothing when it has
// a fractional part. `tooLarge` when its magnitude exceeds 2^64 - 1. The text is one the
// lexer accepted: -?digits(.digits)?([eE][+-]?digits)?.
struct Whole {
  bool negative = false;
  bool tooLarge = false;
  uint64_t magnitude = 0;
};

std::optional<Whole> wholeNumber(std::string_view text) {
  Whole whole;
  whole.negative = text.starts_with('-');
  if (whole.negative) text.remove_prefix(1);
  const size_t exponentAt = text.find_first_of("eE");
  // The digits without the point, and the power of ten they are scaled by.
  std::string digits(text.substr(0, exponentAt));
  long long scale = 0;
  if (const size_t point = digits.find('.'); point != std::string::npos) {
    scale = -static_cast<long long>(digits.size() - point - 1);
    digits.erase(point, 1);
  }
  if (exponentAt != std::string_view::npos) {
    long long exponent = 0;
    const std::string_view written = text.substr(exponentAt + 1);
    const bool down = written.starts_with('-');
    for (char c : written) {
      // Beyond any length a message can have; the sign alone then decides.
      if (c >= '0' && c <= '9' && exponent < 1'000'000'000) exponent = exponent * 10 + (c - '0');
    }
    scale += down ? -exponent : exponent;
  }
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  while (!digits.empty() && digits.back() == '0') {
    digits.pop_back();
    ++scale;
  }
  if (digits.empty()) return whole;  // zero, however written
  if (scale < 0) return std::nullopt;
  if (static_cast<long long>(digits.size()) + scale > 20) {
    whole.tooLarge = true;
    return whole;
  }
  digits.append(static_cast<size_t>(scale), '0');
  for (char c : digits) {
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (whole.magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
      whole.tooLarge = true;
      return whole;
    }
    whole.magnitude = whole.magnitude * 10 + digit;
  }
  return whole;
}

// Builds the document as nlohmann does, but judges each number with a fraction or an
// exponent (or too long for 64 bits) by its text: a whole number in the 64-bit range
// becomes an integer, whatever its spelling. Any other number stays a double, unless the
// double would pass for a valid integer after rounding; then it becomes a value every
// integer read refuses with the right complaint: NaN for a fraction, infinity for a
// number beyond the range.
class ExactNumbers : public nlohmann::detail::json_sax_dom_parser<Value> {
 public:
  explicit ExactNumbers(Value& root) : json_sax_dom_parser(root, /*allow_exceptions=*/false) {}

  bool number_float(double value, const std::string& text) {
    constexpr uint64_t lowest = uint64_t{1} << 63;  // the magnitude of INT64_MIN
    const auto whole = wholeNumber(text);
    const bool looksValid = std::trunc(value) == value && value >= -0x1p63 && value < 0x1p63;
    if (!whole) {
      return json_sax_dom_parser::number_float(
          looksValid ? std::numeric_limits<double>::quiet_NaN() : value, text);
    }
    if (!whole->negative && !whole->tooLarge) return number_unsigned(whole->magnitude);
    if (whole->negative && !whole->tooLarge && whole->magnitude <= lowest) {
      return number_integer(whole->magnitude == lowest ? std::numeric_limits<int64_t>::min()
                                                       : -static_cast<int64_t>(whole->magnitude));
    }
    const double beyond = whole->negative ? -HUGE_VAL : HUGE_VAL;
    return json_sax_dom_parser::number_float(looksValid ? beyond : value, text);
  }
};

}  // namespace

Value parse(std::string_view text) {
  if (!nestsWithin(text, maxDepth)) throw DecodingError("nested too deeply");
  // The lexer takes a NUL byte for the end of the input; no valid JSON text holds one
  // outside a string, and none inside one either (it must be escaped there).
  if (text.find('\0') != std::string_view::npos) throw DecodingError("not valid JSON");
  // The parser validates UTF-8 inside strings and rejects trailing bytes.
  Value v;
  ExactNumbers builder(v);
  if (!Value::sax_parse(text.begin(), text.end(), &builder) || builder.is_errored()) {
    throw DecodingError("not valid JSON");
  }
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
    // parse() turns whole numbers written with a fraction or exponent (5.0, 1e3) into
    // integers; a double still here was built in code, or does not hold an integer.
    double d = v.get_ref<const Value::number_float_t&>();
    if (std::trunc(d) != d) throw DecodingError(std::string(where) + ": expected an integer");
    if (!(d >= -0x1p63 && d < 0x1p63)) {
      throw DecodingError(std::string(where) + ": integer out of range");
    }
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
