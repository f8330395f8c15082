#include <gtest/gtest.h>

#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel {
namespace {

TEST(Text, NonEmptyTrimsUnicodeWhiteSpace) {
  EXPECT_FALSE(nonEmpty(" \n\t \r\n").has_value());
  EXPECT_EQ(nonEmpty("\n  inner  text \n"), "inner  text");
  EXPECT_EQ(nonEmpty("\u3000全角\u00A0"), "全角");
  EXPECT_FALSE(nonEmpty("\u2028\u2029\u0085").has_value());
  // A lone continuation byte at the end is not white space and stays.
  EXPECT_EQ(nonEmpty("a \x80"), "a \x80");
}

TEST(Text, CaseMappingIsUnicodeAware) {
  EXPECT_EQ(Text::lowercased("Ärger ÖL"), "ärger öl");
  EXPECT_EQ(Text::capitalized("hello wORLD ärger"), "Hello World Ärger");
  EXPECT_EQ(Text::lowercased("bad\xFFtail"), "bad\xFFtail");
  EXPECT_EQ(Text::lowercased("MiXeD [Case] 42!"), "mixed [case] 42!");
}

TEST(Text, CharactersAreGraphemeClusters) {
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // one emoji
  const std::string combining = "e\u0301";                                  // é as two code points
  EXPECT_EQ(Text::characterCount(family + combining + "x"), 3u);
  EXPECT_EQ(Text::prefixCharacters(family + combining + "x", 2), family + combining);
  EXPECT_EQ(Text::prefixCharacters("abc", 5), "abc");
  EXPECT_EQ(Text::suffixCharacters("a" + combining, 1), combining);
  EXPECT_EQ(Text::characterCount("\xFF\xFE"), 2u);
  EXPECT_EQ(Text::normalizedWord("Idle-Prompt"), "idle_prompt");
}

}  // namespace
}  // namespace tarvel
