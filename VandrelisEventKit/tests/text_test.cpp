// Cuts by user-perceived characters and canonical equivalence.
#include "text.h"

#include <string>
#include <vector>

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

TEST(Text, PrefixOfIllFormedTextAndControls) {
  // Each ill-formed sequence is one character, as its U+FFFD would be; a combining mark after
  // it joins it, one after a control or a line end stands alone.
  EXPECT_EQ(prefixCharacters("\xFF\xE2\x82z", 2), "\xFF\xE2\x82");
  EXPECT_EQ(prefixCharacters("\xE2\x82\xCC\x81z", 1), "\xE2\x82\xCC\x81");
  EXPECT_EQ(prefixCharacters("\t\xCC\x81z", 1), "\t");
  EXPECT_EQ(prefixCharacters("\n\xCC\x81z", 2), "\n\xCC\x81");
  // A cut far into a long text of mixed characters.
  const std::string unit = "ab\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD\r\ne\xCC\x81";  // 5 characters
  EXPECT_EQ(prefixCharacters(repeat(unit, 500), 2498),
            repeat(unit, 499) + "ab\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD");
}

TEST(Text, Utf16BothWays) {
  struct Case {
    std::string utf8;
    std::u16string utf16;
    std::vector<std::size_t> offsets;  // of each unit, then the end
    std::string back;                  // the UTF-16 as UTF-8 again
  };
  const Case cases[] = {
      {"", u"", {0}, ""},
      {"a\xC3\xA9\xE4\xB8\xAD", u"a\u00E9\u4E2D", {0, 1, 3, 6}, "a\xC3\xA9\xE4\xB8\xAD"},
      // Beyond the first plane: a surrogate pair, both units at the character's first byte.
      {"\xF0\x9F\x91\x8Dx", u"\U0001F44Dx", {0, 0, 4, 5}, "\xF0\x9F\x91\x8Dx"},
      // Ill-formed: the lone continuation byte and the cut-short sequence are one U+FFFD each.
      {"\x80\xE2\x82z", u"\uFFFD\uFFFDz", {0, 1, 3, 4}, "\xEF\xBF\xBD\xEF\xBF\xBDz"},
  };
  for (const Case& c : cases) {
    std::vector<std::size_t> offsets;
    const std::u16string units = utf16FromUtf8(c.utf8, &offsets);
    EXPECT_EQ(units, c.utf16) << ::testing::PrintToString(c.utf8);
    EXPECT_EQ(offsets, c.offsets) << ::testing::PrintToString(c.utf8);
    std::string back = "<";
    appendUtf8(back, units);
    EXPECT_EQ(back, "<" + c.back);
  }
  // Unpaired surrogates have no UTF-8 form.
  std::string out;
  appendUtf8(out, std::u16string{u'a', char16_t(0xD83D), u'b', char16_t(0xDC4D)});
  EXPECT_EQ(out, "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST(Text, RepairReplacesEachIllFormedSequence) {
  std::string out;
  appendRepairedUtf8(out, "ok\xC3\xA9\xFF\xE2\x82z");
  EXPECT_EQ(out, "ok\xC3\xA9\xEF\xBF\xBD\xEF\xBF\xBDz");
}

}  // namespace
}  // namespace vandrelis
