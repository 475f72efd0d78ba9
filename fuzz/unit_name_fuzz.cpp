// Unit names in the user's app.slice, which whatever starts a unit chooses. A name that
// parses is of the kind its suffix says and names a non-empty app ID; the unescaped texts
// are printable UTF-8 without '/', which unescaping them again with every byte escaped shows.
#include <string>

#include "companion/desktop/unit_name.hpp"

using namespace quillbeam::companion;

static std::string escapeAll(std::string_view text) {
  std::string out;
  for (unsigned char c : text)
    out += {'\\', 'x', "0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
  return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto unit = parseUnitName(text)) {
    FUZZ_CHECK(!unit->appId.empty() && unescapeUnitText(escapeAll(unit->appId)) == unit->appId);
    FUZZ_CHECK(!unit->launcher || unescapeUnitText(escapeAll(*unit->launcher)) == unit->launcher);
    FUZZ_CHECK(unit->kind == UnitKind::slice ? isSliceName(text) : isServiceOrScopeName(text));
  }
  if (const auto plain = unescapeUnitText(text))
    FUZZ_CHECK(unescapeUnitText(escapeAll(*plain)) == plain);
  return 0;
}
