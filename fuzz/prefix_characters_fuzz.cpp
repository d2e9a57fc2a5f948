// The character cut against ICU's character break iterator over the whole text: the first
// byte is the count, the rest the text.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include "fuzz_support.h"
#include "text.h"

namespace {

// The byte offset after the first n extended grapheme clusters.
std::size_t referenceCut(std::string_view text, std::size_t n) {
  static icu::BreakIterator* const iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    icu::BreakIterator* made =
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status);
    if (U_FAILURE(status)) fuzzsupport::fail("no ICU break iterator");
    return made;
  }();
  UErrorCode status = U_ZERO_ERROR;
  UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  iterator->setText(utext, status);
  if (U_FAILURE(status)) fuzzsupport::fail("ICU could not open the text");
  std::size_t cut = 0;
  for (std::size_t counted = 0; counted < n; ++counted) {
    const std::int32_t next = iterator->next();
    if (next == icu::BreakIterator::DONE) break;
    cut = static_cast<std::size_t>(next);
  }
  // The iterator keeps a pointer to the UText: give it an empty text before closing this one.
  iterator->setText(icu::UnicodeString());
  utext_close(utext);
  return cut;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t n = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string_view cut = vandrelis::prefixCharacters(text, n);
  FUZZ_CHECK(cut.data() == text.data(), text);
  const std::size_t expected = referenceCut(text, n);
  FUZZ_CHECK(cut.size() == expected,
             std::to_string(n) + " clusters: cut at " + std::to_string(cut.size()) +
                 ", ICU at " + std::to_string(expected));
  return 0;
}
