// The text library's work on Apple, by CoreFoundation, the system's own: grapheme cuts by its
// composed character sequences and NFC by its normalizer, so that no text library from outside
// the system is linked.
#include "text.h"

#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "text_platform.h"

namespace vandrelis {
namespace {

// Characters of Grapheme_Cluster_Break Control, CR and LF that text holds in practice: no
// cluster extends across them except CR LF, which is one. Kept here so that the cut is the
// same on every platform whatever the system's idea of a composed sequence around them.
bool isControl(char16_t unit) {
  return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) || unit == 0x2028 || unit == 0x2029;
}

// One string over a UTF-16 buffer that the caller keeps alive: CoreFoundation neither copies
// nor frees it.
class BorrowedString {
 public:
  explicit BorrowedString(const std::u16string& units)
      : string_(CFStringCreateWithCharactersNoCopy(
            kCFAllocatorDefault, reinterpret_cast<const UniChar*>(units.data()),
            static_cast<CFIndex>(units.size()), kCFAllocatorNull)) {
    if (string_ == nullptr) std::abort();  // out of memory: nothing sensible to do
  }
  ~BorrowedString() { CFRelease(string_); }
  BorrowedString(const BorrowedString&) = delete;
  BorrowedString& operator=(const BorrowedString&) = delete;

  // The end of the cluster that starts at unit `start`.
  std::size_t clusterEnd(std::size_t start) const {
    const CFRange range =
        CFStringGetRangeOfComposedCharactersAtIndex(string_, static_cast<CFIndex>(start));
    return std::max(start + 1, static_cast<std::size_t>(range.location + range.length));
  }

 private:
  CFStringRef string_;
};

}  // namespace

std::string_view prefixCharacters(std::string_view text, std::size_t n) {
  if (text.size() <= n) return text;  // a cluster is at least one byte
  if (n == 0) return text.substr(0, 0);

  // The text is read in windows from a known boundary, so that the cost follows n and not the
  // text's length. A window's last cluster may go on past it: it is counted only when the
  // window reaches the end of the text, and otherwise read again at the start of the next.
  std::size_t pos = 0;    // a boundary, with `count` clusters before it
  std::size_t count = 0;  // < n
  std::size_t window = 4 * n + 64;
  std::vector<std::size_t> offsets;
  while (true) {
    std::size_t end = std::min(text.size(), pos + window);
    const bool last = end == text.size();
    if (!last) {
      // Not into a character that the window would cut in two.
      std::size_t lead = end;
      while (lead > pos && end - lead < 4 &&
             (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80)
        --lead;
      if (lead > pos && static_cast<unsigned char>(text[lead]) >= 0xC0) end = lead;
    }
    const std::u16string units = utf16FromUtf8(text.substr(pos, end - pos), &offsets);
    const BorrowedString string(units);
    std::size_t unit = 0;
    while (unit < units.size()) {
      std::size_t next = string.clusterEnd(unit);
      for (std::size_t k = unit + 1; k < next; ++k) {
        const bool crLf = units[k - 1] == u'\r' && units[k] == u'\n';
        if (!crLf && (isControl(units[k - 1]) || isControl(units[k]))) {
          next = k;
          break;
        }
      }
      if (next == unit + 1 && units[unit] == u'\r' && next < units.size() && units[next] == u'\n')
        ++next;
      if (next >= units.size() && !last) break;
      unit = std::min(next, units.size());
      if (++count == n) return text.substr(0, pos + offsets[unit]);
    }
    if (last) return text;
    if (unit == 0) {
      window *= 2;  // one cluster longer than the window
    } else {
      pos += offsets[unit];
    }
  }
}

std::string platform_text::nfc(std::string_view text) {
  const std::u16string units = utf16FromUtf8(text);
  CFMutableStringRef string = CFStringCreateMutable(kCFAllocatorDefault, 0);
  if (string == nullptr) std::abort();
  CFStringAppendCharacters(string, reinterpret_cast<const UniChar*>(units.data()),
                           static_cast<CFIndex>(units.size()));
  CFStringNormalize(string, kCFStringNormalizationFormC);
  const CFIndex length = CFStringGetLength(string);
  std::u16string normalized(static_cast<std::size_t>(length), u'\0');
  CFStringGetCharacters(string, CFRangeMake(0, length),
                        reinterpret_cast<UniChar*>(normalized.data()));
  CFRelease(string);
  std::string out;
  appendUtf8(out, normalized);
  return out;
}

}  // namespace vandrelis
