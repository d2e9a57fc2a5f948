// The text helpers every platform shares: UTF-8 checks and repair, UTF-16 conversion, and
// canonical equivalence on top of the platform's normalization.
#include "text.h"

#include "text_platform.h"

namespace vandrelis {
namespace {

bool isAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

}  // namespace

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  if (isAscii(a) && isAscii(b)) return false;
  return platform_text::nfc(a) == platform_text::nfc(b);
}

std::string canonicalKey(std::string_view text) {
  if (isAscii(text)) return std::string(text);
  return platform_text::nfc(text);
}

std::size_t utf8SequenceLength(std::string_view text, std::size_t* badLength) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t need = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    *badLength = 1;
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (k >= text.size()) {
      *badLength = k;
      return 0;
    }
    unsigned char c = byte(k);
    unsigned char lo = k == 1 ? low : 0x80;
    unsigned char hi = k == 1 ? high : 0xBF;
    if (c < lo || c > hi) {
      *badLength = k;
      return 0;
    }
  }
  return need + 1;
}

void appendRepairedUtf8(std::string& out, std::string_view text) {
  std::size_t runStart = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t bad = 0;
    std::size_t length = utf8SequenceLength(text.substr(i), &bad);
    if (length > 0) {
      i += length;
      continue;
    }
    out.append(text.substr(runStart, i - runStart));
    out.append("\xEF\xBF\xBD");
    i += bad;
    runStart = i;
  }
  out.append(text.substr(runStart));
}

std::u16string utf16FromUtf8(std::string_view text, std::vector<std::size_t>* offsets) {
  std::u16string units;
  units.reserve(text.size());
  if (offsets != nullptr) {
    offsets->clear();
    offsets->reserve(text.size() + 1);
  }
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t bad = 0;
    const std::size_t length = utf8SequenceLength(text.substr(i), &bad);
    char32_t c = 0xFFFD;
    if (length == 1) {
      c = byte(i);
    } else if (length == 2) {
      c = ((byte(i) & 0x1Fu) << 6) | (byte(i + 1) & 0x3Fu);
    } else if (length == 3) {
      c = ((byte(i) & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
    } else if (length == 4) {
      c = ((byte(i) & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) |
          ((byte(i + 2) & 0x3Fu) << 6) | (byte(i + 3) & 0x3Fu);
    }
    if (c >= 0x10000) {
      units.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
      if (offsets != nullptr) offsets->insert(offsets->end(), 2, i);
    } else {
      units.push_back(static_cast<char16_t>(c));
      if (offsets != nullptr) offsets->push_back(i);
    }
    i += length > 0 ? length : bad;
  }
  if (offsets != nullptr) offsets->push_back(text.size());
  return units;
}

void appendUtf8(std::string& out, std::u16string_view units) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDFFF) {
      const bool paired = c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
                          units[i + 1] <= 0xDFFF;
      if (paired) {
        c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
        ++i;
      } else {
        c = 0xFFFD;
      }
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
}

}  // namespace vandrelis
