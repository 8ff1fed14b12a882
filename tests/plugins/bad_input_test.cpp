// Blocks no panel would send: every plug-in answers with its failure text,
// zero-terminated inside the buffer, and never claims success.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugins/heron/heron.h"
#include "plugins/plover/plover.h"
#include "tests/plugins/plugin_test_util.h"

namespace korvane::testing {
namespace {

/// Lengths 0 to 1100 one by one, then the ones around the buffer sizes, up to 64 KiB.
std::vector<size_t> Lengths() {
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 1100; ++n) lengths.push_back(n);
  for (size_t n : {4095u, 4096u, 5119u, 5120u, 5121u, 65535u, 65536u}) lengths.push_back(n);
  return lengths;
}

void ExpectRefused(IKSLDataValidatorAPI& plugin, const std::string& block, const std::string& failure) {
  const Answer answer = Validate(plugin, block);
  ASSERT_FALSE(answer.ok) << "length " << block.size();
  ASSERT_TRUE(answer.terminated);
  // An empty block is refused before any parse, with an empty output.
  ASSERT_EQ(answer.text, block.empty() ? "" : failure);
  ASSERT_EQ(answer.length, answer.text.size());
}

class BadInputTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    WriteFile(CHeron::kEventTableFile,
              R"(<ContactID><Events><Event number="130" text="Burglary"/></Events></ContactID>)");
    ASSERT_TRUE(heron.Open(nullptr, nullptr));
    ASSERT_TRUE(plover.Open(nullptr, nullptr));
  }
  void ExpectAllRefused(const std::string& block) {
    ExpectRefused(heron, block, "Unable to parse Texecom message: invalid format or currupted");
    ExpectRefused(plover, block, "Unable to parse Galaxy message: invalid format or currupted");
  }

  CHeron heron;
  CPlover plover;
};

TEST_F(BadInputTest, EveryLengthAndEveryByteValue) {
  for (size_t n : Lengths()) {
    std::string block(n, '\0');
    for (size_t i = 0; i < n; ++i) block[i] = static_cast<char>((i * 7 + 3) & 0xff);
    ExpectAllRefused(block);
  }
  for (int value = 0; value < 256; ++value) {
    ExpectAllRefused(std::string(1, static_cast<char>(value)));
    ExpectAllRefused(std::string(17, static_cast<char>(value)));
  }
}

TEST_F(BadInputTest, ControlBytesInsideOtherwiseValidBlocksAreRefused) {
  // A zero byte counts 10 in the check digit like a "0", so this message passes
  // every check, but no XML document can carry it.
  ASSERT_TRUE(Validate(heron, "24721181131010050").ok);
  ExpectRefused(heron,
                std::string("24721181131\0"
                            "10050",
                            17),
                "Unable to parse Texecom message: invalid format or currupted");
  // An event number may be any bytes; control bytes are still damage.
  std::string block = "\x43NBV\x01";
  uint8_t parity = 0xff;
  for (char c : block) parity ^= static_cast<uint8_t>(c);
  ExpectRefused(plover, block + static_cast<char>(parity),
                "Unable to parse Galaxy message: invalid format or currupted");
}

TEST_F(BadInputTest, NullArgumentsAreRefusedWithoutTouchingTheOutput) {
  const std::string message = "24721181130000020";
  const auto* data = reinterpret_cast<const uint8_t*>(message.data());
  for (IKSLDataValidatorAPI* plugin :
       {static_cast<IKSLDataValidatorAPI*>(&heron), static_cast<IKSLDataValidatorAPI*>(&plover)}) {
    char output[64] = "untouched";
    uint32_t length = sizeof output;
    uint32_t count = 9;
    EXPECT_FALSE(plugin->Validate(nullptr, 17, output, &length, &count));
    EXPECT_STREQ(output, "");
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(plugin->Validate(data, 17, nullptr, &length, &count));
    EXPECT_FALSE(plugin->Validate(data, 17, output, nullptr, nullptr));
  }
}

}  // namespace
}  // namespace korvane::testing
