// Grapheme cuts use ICU's character break iterator over the UTF-8 bytes in place; ASCII runs
// are counted without it, since among ASCII characters only CR LF forms a cluster of two.
#include "text.h"

#include <memory>

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

namespace vandrelis {
namespace {

icu::BreakIterator& characterIterator() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !it) std::abort();  // ICU data missing: nothing sensible to do
    return it;
  }();
  return *iterator;
}

bool isAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

std::string nfc(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) std::abort();
  icu::UnicodeString source = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  icu::UnicodeString normalized = normalizer->normalize(source, status);
  if (U_FAILURE(status)) std::abort();
  std::string out;
  normalized.toUTF8String(out);
  return out;
}

}  // namespace

std::string_view prefixCharacters(std::string_view text, std::size_t n) {
  if (text.size() <= n) return text;  // a cluster is at least one byte
  if (n == 0) return text.substr(0, 0);

  // ASCII prefix: count clusters by hand.
  std::size_t clusters = 0;
  std::size_t i = 0;
  std::size_t lastClusterStart = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) break;
    if (clusters == n) return text.substr(0, i);
    lastClusterStart = i;
    ++clusters;
    i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
  }
  if (i == text.size()) return text;  // whole text is ASCII with at most n clusters

  // A non-ASCII byte may extend the last ASCII cluster (a combining mark), so let ICU take
  // over from that cluster's start.
  std::size_t from = 0;
  std::size_t remaining = n;
  if (clusters > 0) {
    from = lastClusterStart;
    remaining = n - (clusters - 1);
  }
  std::string_view rest = text.substr(from);
  UErrorCode status = U_ZERO_ERROR;
  UText* ut = utext_openUTF8(nullptr, rest.data(), static_cast<int64_t>(rest.size()), &status);
  if (U_FAILURE(status)) std::abort();
  icu::BreakIterator& it = characterIterator();
  it.setText(ut, status);
  std::int32_t boundary = 0;
  for (std::size_t k = 0; k < remaining; ++k) {
    boundary = it.next();
    if (boundary == icu::BreakIterator::DONE) {
      boundary = static_cast<std::int32_t>(rest.size());
      break;
    }
  }
  // Leave the iterator pointing at nothing of ours before the UText goes.
  it.setText(icu::UnicodeString());
  utext_close(ut);
  return text.substr(0, from + static_cast<std::size_t>(boundary));
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  if (isAscii(a) && isAscii(b)) return false;
  return nfc(a) == nfc(b);
}

std::string canonicalKey(std::string_view text) {
  if (isAscii(text)) return std::string(text);
  return nfc(text);
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

}  // namespace vandrelis
