// What the platform's text library provides to text.cpp: ICU on Linux (text_icu.cpp),
// CoreFoundation on Apple (text_cf.cpp). Each also defines prefixCharacters of text.h.
#pragma once

#include <string>
#include <string_view>

namespace vandrelis::platform_text {

// text in Normalization Form C; each ill-formed UTF-8 sequence is read as U+FFFD.
std::string nfc(std::string_view text);

}  // namespace vandrelis::platform_text
