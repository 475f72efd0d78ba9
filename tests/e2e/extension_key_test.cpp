// The test extension's committed key gives the ID the tests register; no browser needed.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "quillbeam/json/strict_json.hpp"
#include "support/program_run.hpp"
#include "support/temp_dir.hpp"
#include "support/test_extension.hpp"

namespace quillbeam::testing {
namespace {

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(TestExtensionKey, HashesToTheRegisteredID) {
  const auto manifest = json::parse(readFile(TestExtension::sourceDir() / "manifest.json"));
  ASSERT_TRUE(manifest.contains("key"));
  TempDir scratch("quillbeam-key");
  std::ofstream(scratch / "key.b64") << manifest["key"].get<std::string>();

  // Chromium's rule: SHA-256 of the DER public key, first 32 hex digits, 0-f as a-p.
  const auto hashed = runProgram({"/bin/sh",
                                  {"-c", "base64 -d key.b64 | sha256sum"},
                                  {{"PATH", "/usr/bin:/bin"}},
                                  scratch.path()});
  ASSERT_EQ(hashed.exitCode, 0) << hashed.err;
  std::string id;
  for (char digit : hashed.out.substr(0, 32)) {
    const int value = digit <= '9' ? digit - '0' : digit - 'a' + 10;
    id += static_cast<char>('a' + value);
  }
  EXPECT_EQ(id, TestExtension::id);
  EXPECT_EQ(manifest["version"], TestExtension::version);
  EXPECT_EQ(manifest["manifest_version"], 3);
}

}  // namespace
}  // namespace quillbeam::testing
