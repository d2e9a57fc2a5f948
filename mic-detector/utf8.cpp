// Follows the Unicode "maximal subpart" practice, which is what most decoders do, so that one
// broken character costs one replacement character and the bytes after it survive.
#include "utf8.h"

namespace micdetector {

std::size_t utf8SequenceLength(std::string_view text, std::size_t& bad) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    bad = 1;
    return 0;
  }
  std::size_t i = 1;
  for (; i < length && i < text.size(); ++i) {
    const unsigned char c = byte(i);
    const bool fits = i == 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xBF);
    if (!fits) break;
  }
  if (i == length) return length;
  bad = i;
  return 0;
}

void appendValidUtf8(std::string& out, std::string_view text) {
  std::size_t runStart = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t bad = 0;
    const std::size_t length = utf8SequenceLength(text.substr(i), bad);
    if (length > 0) {
      i += length;
      continue;
    }
    out.append(text.data() + runStart, i - runStart);
    out.append("\xEF\xBF\xBD");
    i += bad;
    runStart = i;
  }
  out.append(text.data() + runStart, i - runStart);
}

std::string validUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  appendValidUtf8(out, text);
  return out;
}

}  // namespace micdetector
