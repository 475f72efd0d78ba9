#pragma once

#include <cstddef>
#include <string_view>

namespace quillbeam::json {

// Length of the valid UTF-8 sequence of two to four bytes at the start of `s` (no
// overlong forms, surrogates or values past U+10FFFF), or 0 when there is none there.
size_t validMultibyteSequence(std::string_view s);

// Whether all of `text` is valid UTF-8.
bool isValidUtf8(std::string_view text);

}  // namespace quillbeam::json
