#include "shell_word.hpp"

#include <algorithm>

namespace quillbeam::Register {

std::string shellWord(std::string_view text) {
  const bool bare = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("-_./=:,+@%").find(c) != std::string_view::npos;
  });
  if (bare) return std::string(text);
  std::string word = "'";
  for (char c : text) word += c == '\'' ? std::string_view("'\\''") : std::string_view(&c, 1);
  return word + "'";
}

}  // namespace quillbeam::Register
