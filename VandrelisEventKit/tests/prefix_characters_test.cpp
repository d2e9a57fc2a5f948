// The character cut against ICU's break iterator run over the whole text: the counted fast
// paths must find exactly the iterator's boundaries, for every kind of cluster and for bytes
// that are not UTF-8.
#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include "text.h"

namespace vandrelis {
namespace {

// Every boundary of the text by the iterator alone, from 0 to the end.
std::vector<std::size_t> referenceBoundaries(std::string_view text) {
  static std::unique_ptr<icu::BreakIterator> it = [] {
    UErrorCode status = U_ZERO_ERROR;
    return std::unique_ptr<icu::BreakIterator>(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  }();
  UErrorCode status = U_ZERO_ERROR;
  UText* ut = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  it->setText(ut, status);
  std::vector<std::size_t> boundaries = {0};
  for (std::int32_t b = it->next(); b != icu::BreakIterator::DONE; b = it->next()) {
    boundaries.push_back(static_cast<std::size_t>(b));
  }
  it->setText(icu::UnicodeString());
  utext_close(ut);
  return boundaries;
}

// Checks every cut of the text, from none to more characters than it has.
void expectCutsMatch(std::string_view text) {
  const std::vector<std::size_t> boundaries = referenceBoundaries(text);
  for (std::size_t n = 0; n <= boundaries.size(); ++n) {
    const std::size_t expected = boundaries[std::min(n, boundaries.size() - 1)];
    ASSERT_EQ(prefixCharacters(text, n).size(), expected)
        << "n " << n << " of " << ::testing::PrintToString(std::string(text));
  }
}

// Code points of every cluster-break kind, and ill-formed sequences.
const std::vector<std::string> kPool = {
    "a",
    "Z",
    " ",
    "\r",
    "\n",
    "\t",
    "\x7F",
    "\x01",
    "\xC3\xA9",          // precomposed e-acute
    "\xCC\x81",          // combining acute
    "\xE2\x80\x8D",      // zero width joiner
    "\xF0\x9F\x87\xAB",  // regional indicator F
    "\xF0\x9F\x87\xB7",  // regional indicator R
    "\xF0\x9F\x91\x8D",  // thumbs up
    "\xF0\x9F\x8F\xBD",  // skin tone modifier
    "\xE2\x9D\xA4",      // heavy black heart (pictographic, BMP)
    "\xEF\xB8\x8F",      // variation selector 16
    "\xE1\x84\x92",
    "\xE1\x85\xA1",
    "\xE1\x86\xAB",  // Hangul L, V, T
    "\xEA\xB0\x80",
    "\xED\x95\x9C",  // Hangul LV, LVT
    "\xE0\xA4\x95",
    "\xE0\xA4\xB7",  // Devanagari ka, ssa
    "\xE0\xA5\x8D",
    "\xE0\xA4\xBF",  // virama, vowel sign i
    "\xD8\x80",      // Arabic number sign (prepend)
    "\xE0\xB8\x81",
    "\xE0\xB8\xB3",  // Thai ko kai, sara am
    "\xE4\xB8\xAD",  // CJK
    "\x80",
    "\xC3",
    "\xED\xA0\x80",
    "\xF4\x90\x80\x80",
    "\xE0\x80",
    "\xF0\x9F\x91",
};

// Kinds whose boundaries depend on their neighbours, with a plain letter and line ends.
const std::vector<std::string> kJoiners = {"a",
                                           "\r",
                                           "\n",
                                           "\xCC\x81",
                                           "\xE2\x80\x8D",
                                           "\xF0\x9F\x87\xAB",
                                           "\xF0\x9F\x91\x8D",
                                           "\xEF\xB8\x8F",
                                           "\xE1\x84\x92",
                                           "\xE1\x85\xA1",
                                           "\xE1\x86\xAB",
                                           "\xEA\xB0\x80",
                                           "\xE0\xA4\x95",
                                           "\xE0\xA5\x8D",
                                           "\xE0\xA4\xBF",
                                           "\xD8\x80",
                                           "\x80"};

TEST(PrefixCharacters, MatchesTheBreakIteratorOnEveryShortSequence) {
  for (const std::string& a : kPool) {
    for (const std::string& b : kPool) {
      for (const std::string& c : kPool) expectCutsMatch(a + b + c);
    }
  }
  for (const std::string& a : kJoiners) {
    for (const std::string& b : kJoiners) {
      for (const std::string& c : kJoiners) {
        // After a run long enough for the word-at-a-time path.
        expectCutsMatch("xxxxxxxxx" + a + b + c + "yy");
        for (const std::string& d : kJoiners) expectCutsMatch(a + b + c + d);
      }
    }
  }
}

TEST(PrefixCharacters, MatchesTheBreakIteratorOnRandomText) {
  std::mt19937 random(20240501);
  for (int round = 0; round < 1500; ++round) {
    std::string text;
    const std::size_t points = random() % 40;
    // Runs of plain ASCII, where the word-at-a-time path applies, between any code points.
    for (std::size_t i = 0; i < points; ++i) {
      switch (random() % 3) {
        case 0:
          text += std::string(random() % 20, 'x');
          break;
        case 1:
          text += kJoiners[random() % kJoiners.size()];
          break;
        default:
          text += kPool[random() % kPool.size()];
      }
    }
    expectCutsMatch(text);
  }
}

TEST(PrefixCharacters, LongRunsOfJoiningCharacters) {
  for (const std::string& unit : {kPool[9], kPool[10], kPool[11], kPool[18], kPool[26]}) {
    std::string joined = "a", alternating;
    for (int i = 0; i < 400; ++i) {
      joined += unit;
      alternating += unit + "b";
    }
    expectCutsMatch(joined);
    expectCutsMatch(alternating);
  }
}

}  // namespace
}  // namespace vandrelis
