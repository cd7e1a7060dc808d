// inspect's JSON strings: escapes for what JSON forbids raw, UTF-16 names as UTF-8, and lone
// surrogates, which no UTF-8 can carry, as \uXXXX.
#include "tools/stubpack/json_writer.h"

#include <gtest/gtest.h>

namespace packer_tests {
namespace {

TEST(JsonWriter, Utf16NamesAsJson) {
  struct Case {
    std::u16string units;
    std::string json;
  };
  const Case cases[] = {
      {u"SETUP.EX_", "\"SETUP.EX_\""},
      {u"A\"B\\C", "\"A\\\"B\\\\C\""},
      {u"\n\t\r", "\"\\n\\t\\r\""},
      {std::u16string{0x01, 0x1F, 0x7F}, "\"\\u0001\\u001f\\u007f\""},
      {u"\u00e9\u4e2d", "\"\xc3\xa9\xe4\xb8\xad\""},
      {std::u16string{0xD83D, 0xDE00}, "\"\xf0\x9f\x98\x80\""},
      {std::u16string{0xD800}, "\"\\ud800\""},
      {std::u16string{0xDC00, 'X'}, "\"\\udc00X\""},
      {std::u16string{0xD800, 'X', 0xDBFF}, "\"\\ud800X\\udbff\""},
      {std::u16string{0xD800, 0xD800, 0xDC00}, "\"\\ud800\xf0\x90\x80\x80\""},
      {std::u16string{'A', 0, 'B'}, "\"A\\u0000B\""},
  };
  for (const Case& c : cases) EXPECT_EQ(stubpack::JsonString16(c.units), c.json);
}

TEST(JsonWriter, Utf8TextsAsJson) {
  const std::pair<std::string, std::string> cases[] = {
      {"exit code 108: \"x\"", "\"exit code 108: \\\"x\\\"\""},
      {"C:\\dir\x02", "\"C:\\\\dir\\u0002\""},
      {"\xe4\xb8\xad", "\"\xe4\xb8\xad\""},
      {"", "\"\""},
  };
  for (const auto& [text, json] : cases) EXPECT_EQ(stubpack::JsonString(text), json);
}

}  // namespace
}  // namespace packer_tests
