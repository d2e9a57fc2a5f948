// Cuts by user-perceived characters and canonical equivalence.
#include "text.h"

#include <gtest/gtest.h>

namespace vandrelis {
namespace {

std::string repeat(std::string_view unit, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out.append(unit);
  return out;
}

TEST(Text, PrefixCountsGraphemeClusters) {
  EXPECT_EQ(prefixCharacters("hello", 3), "hel");
  EXPECT_EQ(prefixCharacters("hello", 5), "hello");
  EXPECT_EQ(prefixCharacters("hello", 9), "hello");
  EXPECT_EQ(prefixCharacters("hello", 0), "");
  EXPECT_EQ(prefixCharacters("", 3), "");
  // CR LF is one character.
  EXPECT_EQ(prefixCharacters("a\r\nb", 2), "a\r\n");
  EXPECT_EQ(prefixCharacters("\r\n\r\n\r\n", 2), "\r\n\r\n");
  EXPECT_EQ(prefixCharacters("a\n\rb", 2), "a\n");

  const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F"
                             "\x91\xA7";                           // man ZWJ woman ZWJ girl
  const std::string thumbs = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // thumbs up, skin tone
  const std::string flag = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";    // regional indicators F R
  const std::string eAcute = "e\xCC\x81";                           // e + combining acute
  EXPECT_EQ(prefixCharacters(repeat(family, 300), 256), repeat(family, 256));
  EXPECT_EQ(prefixCharacters(repeat(thumbs, 3), 2), repeat(thumbs, 2));
  EXPECT_EQ(prefixCharacters(repeat(flag, 3), 1), flag);
  EXPECT_EQ(prefixCharacters(repeat(eAcute, 4), 3), repeat(eAcute, 3));
  // A combining mark after an ASCII run belongs to the last ASCII letter.
  EXPECT_EQ(prefixCharacters("abc\xCC\x81" "d", 3), "abc\xCC\x81");
  EXPECT_EQ(prefixCharacters("ab\r\n\xCC\x81x", 3), "ab\r\n");
  EXPECT_EQ(prefixCharacters("ab\r\n\xCC\x81x", 4), "ab\r\n\xCC\x81");
  EXPECT_EQ(prefixCharacters(repeat("\xE4\xB8\xAD", 10), 4), repeat("\xE4\xB8\xAD", 4));
  // A text of exactly n characters stays whole.
  EXPECT_EQ(prefixCharacters(repeat(family, 5), 5), repeat(family, 5));
}

TEST(Text, PrefixOfAHugeTextStopsAtTheCap) {
  // Five megabytes of combining-heavy text: the cut must not depend on the length beyond it.
  std::string huge = repeat("e\xCC\x81", 2'500'000);
  EXPECT_EQ(prefixCharacters(huge, 20000).size(), 60000u);
  std::string ascii(5'000'000, 'x');
  EXPECT_EQ(prefixCharacters(ascii, 20000).size(), 20000u);
}

TEST(Text, CanonicalEquivalence) {
  EXPECT_TRUE(canonicallyEqual("status", "status"));
  EXPECT_FALSE(canonicallyEqual("status", "STATUS"));
  EXPECT_FALSE(canonicallyEqual("status", "status "));
  EXPECT_TRUE(canonicallyEqual("caf\xC3\xA9", "cafe\xCC\x81"));
  EXPECT_FALSE(canonicallyEqual("caf\xC3\xA9", "cafe"));
  // Compatibility forms are not canonical: the "fi" ligature differs from "fi".
  EXPECT_FALSE(canonicallyEqual("\xEF\xAC\x81", "fi"));
  EXPECT_EQ(canonicalKey("cafe\xCC\x81"), canonicalKey("caf\xC3\xA9"));
  EXPECT_EQ(canonicalKey("plain"), "plain");
}

TEST(Text, RepairReplacesEachIllFormedSequence) {
  std::string out;
  appendRepairedUtf8(out, "ok\xC3\xA9\xFF\xE2\x82z");
  EXPECT_EQ(out, "ok\xC3\xA9\xEF\xBF\xBD\xEF\xBF\xBDz");
}

}  // namespace
}  // namespace vandrelis
