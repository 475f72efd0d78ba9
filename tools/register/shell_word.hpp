#pragma once

#include <string>
#include <string_view>

namespace quillbeam::Register {

// `text` as one word for /bin/sh, whatever it holds (spaces, quotes, $, backslashes, line
// breaks): single-quoted, each ' written as '\''. Words of only safe characters stay bare.
std::string shellWord(std::string_view text);

}  // namespace quillbeam::Register
