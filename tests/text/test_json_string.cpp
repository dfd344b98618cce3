// JSON string literals: what a consumer reads back must be what was given,
// and the document must stay valid JSON whatever bytes a drive reports.
#include <gtest/gtest.h>

#include "text/json_string.h"

namespace qelvar::text {
namespace {

TEST(JsonString, EscapesWhatJsonForbidsAndKeepsTheRest) {
  EXPECT_EQ(JsonQuoted("Pass"), "\"Pass\"");
  EXPECT_EQ(JsonEscaped("a\"b\\c"), "a\\\"b\\\\c");
  EXPECT_EQ(JsonEscaped("1\n2\r3\t4"), "1\\n2\\r3\\t4");
  EXPECT_EQ(JsonEscaped(std::string("\x01\x1f\x7f", 3)), "\\u0001\\u001f\\u007f");
  EXPECT_EQ(JsonEscaped(std::string("a\0b", 3)), "a\\u0000b") << "a zero byte is text too";
  EXPECT_EQ(JsonQuoted(""), "\"\"");
}

TEST(JsonString, ValidUtf8PassesUnchanged) {
  // Two, three and four bytes: e-acute, the window's OK caption, an emoji.
  const std::string text = "\xc3\xa9 \xe7\xa1\xae\xe5\xae\x9a \xf0\x9f\x98\x80";
  EXPECT_EQ(JsonEscaped(text), text);
}

TEST(JsonString, BytesThatAreNotUtf8BecomeEscapes) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"\x80", "\\u0080"},                         // a continuation byte alone
      {"A\xc3", "A\\u00c3"},                       // cut short at the end
      {"\xc3(", "\\u00c3("},                       // lead byte without its continuation
      {"\xc0\xaf", "\\u00c0\\u00af"},              // overlong "/"
      {"\xe0\x80\xaf", "\\u00e0\\u0080\\u00af"},   // overlong three-byte form
      {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},   // a UTF-16 surrogate
      {"\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"},  // past U+10FFFF
      {"\xff\xfe", "\\u00ff\\u00fe"},
      // A model string with stray bytes keeps its good characters.
      {"QV\xa0" "5100", "QV\\u00a05100"},
  };
  for (const Case& c : cases) EXPECT_EQ(JsonEscaped(c.in), c.out) << c.out;
}

}  // namespace
}  // namespace qelvar::text
