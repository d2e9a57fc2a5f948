// Text helpers shared by the commands: cuts by user-perceived characters, canonical
// equivalence, repair of text that is not valid UTF-8, and UTF-16 for the platform's APIs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vandrelis {

// The first n user-perceived characters (extended grapheme clusters) of text, as a view into
// it. Stops at the nth boundary, so the cost is bounded by n, not by the text's length.
std::string_view prefixCharacters(std::string_view text, std::size_t n);

// True when both texts are canonically equivalent Unicode strings.
bool canonicallyEqual(std::string_view a, std::string_view b);

// A key such that two texts have equal keys exactly when they are canonically equivalent
// (their NFC form).
std::string canonicalKey(std::string_view text);

// Appends text to out with U+FFFD in place of each ill-formed UTF-8 sequence (each maximal
// subpart of one).
void appendRepairedUtf8(std::string& out, std::string_view text);

// The length of the well-formed UTF-8 sequence at the start of text, or 0 when the first
// bytes are ill-formed; when 0, *badLength is the length of the maximal subpart to replace.
std::size_t utf8SequenceLength(std::string_view text, std::size_t* badLength);

// text as UTF-16, each ill-formed sequence read as U+FFFD as appendRepairedUtf8 does. With
// offsets, also the byte offset in text where each code unit's character starts, and
// text.size() after the last.
std::u16string utf16FromUtf8(std::string_view text,
                             std::vector<std::size_t>* offsets = nullptr);

// Appends UTF-16 code units to out as UTF-8, with U+FFFD for each unpaired surrogate.
void appendUtf8(std::string& out, std::u16string_view units);

}  // namespace vandrelis
