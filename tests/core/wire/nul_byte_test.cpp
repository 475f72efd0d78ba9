// A NUL byte is not the end of a message: every byte given is parsed.
#include <gtest/gtest.h>

#include <string>

#include "quillbeam/wire/extension_message.hpp"
#include "quillbeam/wire/host_message.hpp"

namespace quillbeam {
namespace {

using namespace std::string_literals;

TEST(NulBytes, MakeAMessageInvalidWhereverTheyStand) {
  for (const std::string& text : {R"({"type":"hello"})"s + '\0', R"({"type":"hello"})"s + "\0{}"s,
                                  R"({"type":"hello"})"s + "\0\xff"s}) {
    EXPECT_THROW(ExtensionMessage::decode(text), DecodingError) << text.size();
    EXPECT_THROW(HostMessage::decode(text), DecodingError) << text.size();
  }
}

}  // namespace
}  // namespace quillbeam
