// The character cut against ICU's break iterator run over the whole text: the counted fast
// paths must find exactly the iterator's boundaries, for every kind of cluster and for bytes
// that are not UTF-8.
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

std::string_view referencePrefix(std::string_view text, std::size_t n) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  UText* ut = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  it->setText(ut, status);
  std::int32_t boundary = 0;
  for (std::size_t k = 0; k < n; ++k) {
    std::int32_t next = it->next();
    if (next == icu::BreakIterator::DONE) break;
    boundary = next;
  }
  it.reset();
  utext_close(ut);
  return text.substr(0, static_cast<std::size_t>(boundary));
}

// Code points of every cluster-break kind, and ill-formed sequences.
const std::vector<std::string> kPool = {
    "a", "Z", " ", "\r", "\n", "\t", "\x7F", "\x01",
    "\xC3\xA9",          // precomposed e-acute
    "\xCC\x81",          // combining acute
    "\xE2\x80\x8D",      // zero width joiner
    "\xF0\x9F\x87\xAB",  // regional indicator F
    "\xF0\x9F\x87\xB7",  // regional indicator R
    "\xF0\x9F\x91\x8D",  // thumbs up
    "\xF0\x9F\x8F\xBD",  // skin tone modifier
    "\xE2\x9D\xA4",      // heavy black heart (pictographic, BMP)
    "\xEF\xB8\x8F",      // variation selector 16
    "\xE1\x84\x92", "\xE1\x85\xA1", "\xE1\x86\xAB",  // Hangul L, V, T
    "\xEA\xB0\x80", "\xED\x95\x9C",                  // Hangul LV, LVT
    "\xE0\xA4\x95", "\xE0\xA4\xB7",                  // Devanagari ka, ssa
    "\xE0\xA5\x8D", "\xE0\xA4\xBF",                  // virama, vowel sign i
    "\xD8\x80",                                      // Arabic number sign (prepend)
    "\xE0\xB8\x81", "\xE0\xB8\xB3",                  // Thai ko kai, sara am
    "\xE4\xB8\xAD",                                  // CJK
    "\x80", "\xC3", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE0\x80", "\xF0\x9F\x91",
};

TEST(PrefixCharacters, MatchesTheBreakIteratorOnRandomText) {
  std::mt19937 random(20240501);
  std::uniform_int_distribution<std::size_t> pick(0, kPool.size() - 1);
  for (int round = 0; round < 1500; ++round) {
    std::string text;
    const std::size_t points = random() % 40;
    // Favour runs of plain ASCII, where the word-at-a-time path applies.
    for (std::size_t i = 0; i < points; ++i) {
      text += random() % 3 == 0 ? std::string(random() % 20, 'x') : kPool[pick(random)];
    }
    for (std::size_t n = 0; n <= text.size() + 1; ++n) {
      ASSERT_EQ(prefixCharacters(text, n), referencePrefix(text, n))
          << "round " << round << ", n " << n;
    }
  }
}

TEST(PrefixCharacters, LongRunsOfJoiningCharacters) {
  for (const std::string& unit : {kPool[9], kPool[10], kPool[11], kPool[18], kPool[26]}) {
    for (const std::string& text :
         {std::string("a") + [&] { std::string s; for (int i = 0; i < 400; ++i) s += unit; return s; }(),
          [&] { std::string s; for (int i = 0; i < 400; ++i) s += unit + "b"; return s; }()}) {
      for (std::size_t n : {1u, 2u, 63u, 200u, 399u, 400u, 401u, 800u}) {
        ASSERT_EQ(prefixCharacters(text, n), referencePrefix(text, n)) << n;
      }
    }
  }
}

}  // namespace
}  // namespace vandrelis
