// The text library's work on Linux, by ICU. Grapheme cuts: boundaries that no rule can
// suppress (between two stand-alone letters, around controls) are counted here; ICU's
// character break iterator decides the rest.
#include "text.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include "text_platform.h"

namespace vandrelis {
namespace {

// One iterator and one reusable UTF-8 text per thread: opening either costs an allocation.
struct Segmenter {
  std::unique_ptr<icu::BreakIterator> iterator;
  UText* text = nullptr;

  Segmenter() {
    UErrorCode status = U_ZERO_ERROR;
    iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !iterator) std::abort();  // ICU data missing: nothing sensible to do
  }
  ~Segmenter() {
    iterator.reset();
    if (text != nullptr) utext_close(text);
  }
  Segmenter(const Segmenter&) = delete;
  Segmenter& operator=(const Segmenter&) = delete;

  // Counts up to `limit` clusters of `segment`; returns the count and sets *end to the byte
  // offset after the last one counted.
  std::size_t clusters(std::string_view segment, std::size_t limit, std::size_t* end) {
    UErrorCode status = U_ZERO_ERROR;
    text = utext_openUTF8(text, segment.data(), static_cast<int64_t>(segment.size()), &status);
    iterator->setText(text, status);
    if (U_FAILURE(status)) std::abort();
    std::size_t counted = 0;
    std::int32_t boundary = 0;
    while (counted < limit) {
      const std::int32_t next = iterator->next();
      if (next == icu::BreakIterator::DONE) break;
      boundary = next;
      ++counted;
    }
    *end = static_cast<std::size_t>(boundary);
    return counted;
  }
};

Segmenter& segmenter() {
  thread_local Segmenter instance;
  return instance;
}

// A code point's Grapheme_Cluster_Break value, with "Other" split by the rules that can
// still join such a character to what precedes it.
enum Kind : unsigned char {
  kUnknown = 0,  // not yet looked up
  kCr,
  kLf,
  kControl,
  kPlain,         // Other: joined only by a preceding prepend
  kPictographic,  // Other and Extended_Pictographic: also joined after ZWJ
  kConsonant,     // Other that an Indic virama sequence can join to what precedes it
  kExtend,
  kZwj,
  kSpacingMark,
  kPrepend,
  kRegional,
  kHangulL,
  kHangulV,
  kHangulT,
  kHangulLv,
  kHangulLvt,
  kObsolete,  // values no code point has had since Unicode 11: always left to the iterator
};

bool indicConsonant(UChar32 c) {
#if U_ICU_VERSION_MAJOR_NUM >= 76
  return u_getIntPropertyValue(c, UCHAR_INDIC_CONJUNCT_BREAK) == U_INCB_CONSONANT;
#else
  // Every consonant of the conjunct rule lies in the Devanagari to Malayalam blocks.
  return c >= 0x0900 && c <= 0x0DFF;
#endif
}

Kind kindOfCodePoint(UChar32 c) {
  switch (u_getIntPropertyValue(c, UCHAR_GRAPHEME_CLUSTER_BREAK)) {
    case U_GCB_OTHER:
      if (u_hasBinaryProperty(c, UCHAR_EXTENDED_PICTOGRAPHIC)) return kPictographic;
      return indicConsonant(c) ? kConsonant : kPlain;
    case U_GCB_CR:
      return kCr;
    case U_GCB_LF:
      return kLf;
    case U_GCB_CONTROL:
      return kControl;
    case U_GCB_EXTEND:
      return kExtend;
    case U_GCB_ZWJ:
      return kZwj;
    case U_GCB_SPACING_MARK:
      return kSpacingMark;
    case U_GCB_PREPEND:
      return kPrepend;
    case U_GCB_REGIONAL_INDICATOR:
      return kRegional;
    case U_GCB_L:
      return kHangulL;
    case U_GCB_V:
      return kHangulV;
    case U_GCB_T:
      return kHangulT;
    case U_GCB_LV:
      return kHangulLv;
    case U_GCB_LVT:
      return kHangulLvt;
    default:
      return kObsolete;
  }
}

// Looked up once per code point of the first two planes (where text and emoji live) per
// process; threads race only to store equal values.
Kind kindOf(UChar32 c) {
  constexpr UChar32 kCached = 0x20000;
  if (c >= kCached) return kindOfCodePoint(c);
  static std::atomic<unsigned char> cache[kCached];
  auto& slot = cache[c];
  unsigned char kind = slot.load(std::memory_order_relaxed);
  if (kind == kUnknown) {
    kind = kindOfCodePoint(c);
    slot.store(kind, std::memory_order_relaxed);
  }
  return static_cast<Kind>(kind);
}

bool isHangul(Kind k) { return k >= kHangulL && k <= kHangulLvt; }

// Between two of these there is always a boundary: no rule joins them, whatever precedes.
bool standsAlone(Kind k) {
  return k == kPlain || k == kPictographic || k == kConsonant || k == kHangulLv || k == kHangulLvt;
}

// True when no rule of UAX #29 can keep a and b in one cluster, whatever surrounds them. The
// rules that look further back (emoji ZWJ sequences, flag pairs, Indic conjuncts) all need a
// particular kind right before b, so two kinds decide it. Conservative: false means "ask the
// iterator", not "no boundary".
bool certainBoundary(Kind a, Kind b) {
  if (a == kCr) return b != kLf;
  if (a == kLf || a == kControl) return true;
  if (b == kCr || b == kLf || b == kControl) return true;
  if (a == kPrepend || a == kObsolete || b == kObsolete) return false;
  switch (b) {
    case kExtend:
    case kZwj:
    case kSpacingMark:
      return false;
    case kHangulV:
    case kHangulT:
      return !isHangul(a);
    case kHangulL:
    case kHangulLv:
    case kHangulLvt:
      return a != kHangulL;
    case kRegional:
      return a != kRegional;
    case kPictographic:
      return a != kZwj;
    case kConsonant:
      return a != kExtend && a != kZwj;
    default:
      return true;
  }
}

// Extenders and spacing marks join whatever non-control comes before them, so a base followed
// only by them is one cluster.
bool joinsAsOne(Kind first) { return first != kCr && first != kLf && first != kControl; }
bool extender(Kind k) { return k == kExtend || k == kZwj || k == kSpacingMark; }

struct CodePoint {
  std::size_t length;
  Kind kind;
};

// Ill-formed and rare sequences, kept out of line so that the common path inlines.
[[gnu::noinline]] CodePoint uncommonCodePointAt(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  std::size_t bad = 0;
  const std::size_t length = utf8SequenceLength(text.substr(i), &bad);
  if (length == 0) return {bad, kPlain};  // read as U+FFFD, as the iterator does
  UChar32 c = 0;
  if (length == 2) {
    c = ((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
  } else if (length == 3) {
    c = ((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
  } else {
    c = ((byte(0) & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) |
        (byte(3) & 0x3F);
  }
  return {length, kindOf(c)};
}

inline CodePoint codePointAt(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    if (lead == '\r') return {1, kCr};
    if (lead == '\n') return {1, kLf};
    return {1, lead < 0x20 || lead == 0x7F ? kControl : kPlain};
  }
  // The common well-formed forms first.
  const std::size_t left = text.size() - i;
  const auto continuation = [&](std::size_t k) { return (byte(k) & 0xC0) == 0x80; };
  if (lead >= 0xC2 && lead <= 0xDF && left >= 2 && continuation(1)) {
    return {2, kindOf(((lead & 0x1F) << 6) | (byte(1) & 0x3F))};
  }
  // Three bytes: E0 and ED need narrower second bytes (no overlong forms, no surrogates).
  if (lead >= 0xE0 && lead <= 0xEF && left >= 3 && continuation(1) && continuation(2) &&
      (lead != 0xE0 || byte(1) >= 0xA0) && (lead != 0xED || byte(1) <= 0x9F)) {
    return {3, kindOf(((lead & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F))};
  }
  if (lead >= 0xF0 && lead <= 0xF3 && left >= 4 && (lead != 0xF0 || byte(1) >= 0x90) &&
      continuation(1) && continuation(2) && continuation(3)) {
    return {4, kindOf(((lead & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) |
                      (byte(3) & 0x3F))};
  }
  return uncommonCodePointAt(text, i);
}

// Eight ASCII bytes with no CR, each a cluster of its own when the byte after them is ASCII.
bool plainAsciiWord(const char* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  const std::uint64_t cr = word ^ (kOnes * '\r');
  const bool hasCr = ((cr - kOnes) & ~cr & kHigh) != 0;
  return (word & kHigh) == 0 && !hasCr && static_cast<unsigned char>(bytes[8]) < 0x80;
}

}  // namespace

std::string_view prefixCharacters(std::string_view text, std::size_t n) {
  if (text.size() <= n) return text;  // a cluster is at least one byte
  if (n == 0) return text.substr(0, 0);

  // Invariant: pos is a boundary, `count` < n clusters lie before it, and `current` is the
  // code point at pos.
  std::size_t pos = 0;
  std::size_t count = 0;
  CodePoint current = codePointAt(text, 0);
  while (true) {
    if (current.length == 1 && current.kind != kCr) {
      const std::size_t before = pos;
      while (pos + 9 <= text.size() && count + 8 < n && plainAsciiWord(text.data() + pos)) {
        pos += 8;
        count += 8;
      }
      if (pos != before) current = codePointAt(text, pos);
    }
    // A run of letters that each stand alone (most scripts' text) needs no segment logic;
    // back to ASCII, the word-at-a-time path takes over again.
    bool backToAscii = false;
    while (standsAlone(current.kind) && pos + current.length < text.size()) {
      const CodePoint next = codePointAt(text, pos + current.length);
      if (!standsAlone(next.kind)) break;
      pos += current.length;
      if (++count == n) return text.substr(0, pos);
      current = next;
      if (current.length == 1) {
        backToAscii = true;
        break;
      }
    }
    if (backToAscii) continue;

    // The segment from pos to the next certain boundary. Hard runs are bounded, so that a
    // long run of joining characters is left to the iterator, which stops at the cap.
    constexpr std::size_t kLongestSegment = 256;
    const std::size_t start = pos;
    const Kind first = current.kind;
    CodePoint last = current;
    std::size_t end = pos + current.length;
    bool single = true;      // one code point so far
    bool oneCluster = true;  // a base with its extenders or emoji ZWJ sequence, or CR LF
    bool certain = false;    // end is a boundary known without the iterator
    // Flags: regional indicators pair up from the start of their run, which is here.
    std::size_t regionals = first == kRegional ? 1 : 0;
    bool allRegional = first == kRegional;
    bool emojiChain = first == kPictographic;  // an emoji and its extenders so far
    bool emojiZwj = false;                     // a ZWJ right after such a chain
    while (true) {
      if (end == text.size()) {
        certain = true;
        break;
      }
      if (end - start > kLongestSegment) break;
      const CodePoint next = codePointAt(text, end);
      if (certainBoundary(last.kind, next.kind)) {
        certain = true;
        current = next;
        break;
      }
      const bool joins =
          first == kCr ? single && next.kind == kLf
                       : joinsAsOne(first) &&
                             (extender(next.kind) || (emojiZwj && next.kind == kPictographic));
      oneCluster = oneCluster && joins;
      emojiZwj = emojiChain && next.kind == kZwj;
      emojiChain = next.kind == kPictographic || (emojiChain && next.kind == kExtend);
      allRegional = allRegional && next.kind == kRegional;
      ++regionals;
      single = false;
      end += next.length;
      last = next;
    }

    std::size_t counted = 1;
    std::size_t cut = end - start;
    if (certain && !oneCluster && allRegional) {
      constexpr std::size_t kRegionalBytes = 4;
      counted = std::min((regionals + 1) / 2, n - count);
      cut = std::min(counted * 2 * kRegionalBytes, end - start);
    } else if (!certain || !oneCluster) {
      // Without a certain end, the iterator takes the rest of the text up to the cap.
      // The iterator's offsets are 32-bit; no cap comes near that many bytes.
      constexpr std::size_t kIteratorLimit = INT32_MAX;
      const std::string_view segment =
          text.substr(start, std::min(certain ? end - start : text.size() - start, kIteratorLimit));
      counted = segmenter().clusters(segment, n - count, &cut);
    }
    count += counted;
    if (count == n) return text.substr(0, start + cut);
    if (!certain || end == text.size()) return text;
    pos = end;
  }
}

std::string platform_text::nfc(std::string_view text) {
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

}  // namespace vandrelis
