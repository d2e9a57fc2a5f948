// Colour texts read the way GTK reads them: hex forms widened to 16 bits a channel, rgb() and
// rgba() with numbers or percentages, and the CSS colour names.
#include "store/eds/eds_color.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace vandrelis::store {
namespace {

struct NamedColor {
  std::string_view name;
  std::uint32_t rgb;
};

// The CSS colour names, sorted for a binary search.
// clang-format off
constexpr std::array<NamedColor, 148> kNamedColors{{
    {"aliceblue", 0xF0F8FF}, {"antiquewhite", 0xFAEBD7}, {"aqua", 0x00FFFF},
    {"aquamarine", 0x7FFFD4}, {"azure", 0xF0FFFF}, {"beige", 0xF5F5DC}, {"bisque", 0xFFE4C4},
    {"black", 0x000000}, {"blanchedalmond", 0xFFEBCD}, {"blue", 0x0000FF}, {"blueviolet", 0x8A2BE2},
    {"brown", 0xA52A2A}, {"burlywood", 0xDEB887}, {"cadetblue", 0x5F9EA0}, {"chartreuse", 0x7FFF00},
    {"chocolate", 0xD2691E}, {"coral", 0xFF7F50}, {"cornflowerblue", 0x6495ED},
    {"cornsilk", 0xFFF8DC}, {"crimson", 0xDC143C}, {"cyan", 0x00FFFF}, {"darkblue", 0x00008B},
    {"darkcyan", 0x008B8B}, {"darkgoldenrod", 0xB8860B}, {"darkgray", 0xA9A9A9},
    {"darkgreen", 0x006400}, {"darkgrey", 0xA9A9A9}, {"darkkhaki", 0xBDB76B},
    {"darkmagenta", 0x8B008B}, {"darkolivegreen", 0x556B2F}, {"darkorange", 0xFF8C00},
    {"darkorchid", 0x9932CC}, {"darkred", 0x8B0000}, {"darksalmon", 0xE9967A},
    {"darkseagreen", 0x8FBC8F}, {"darkslateblue", 0x483D8B}, {"darkslategray", 0x2F4F4F},
    {"darkslategrey", 0x2F4F4F}, {"darkturquoise", 0x00CED1}, {"darkviolet", 0x9400D3},
    {"deeppink", 0xFF1493}, {"deepskyblue", 0x00BFFF}, {"dimgray", 0x696969}, {"dimgrey", 0x696969},
    {"dodgerblue", 0x1E90FF}, {"firebrick", 0xB22222}, {"floralwhite", 0xFFFAF0},
    {"forestgreen", 0x228B22}, {"fuchsia", 0xFF00FF}, {"gainsboro", 0xDCDCDC},
    {"ghostwhite", 0xF8F8FF}, {"gold", 0xFFD700}, {"goldenrod", 0xDAA520}, {"gray", 0x808080},
    {"green", 0x008000}, {"greenyellow", 0xADFF2F}, {"grey", 0x808080}, {"honeydew", 0xF0FFF0},
    {"hotpink", 0xFF69B4}, {"indianred", 0xCD5C5C}, {"indigo", 0x4B0082}, {"ivory", 0xFFFFF0},
    {"khaki", 0xF0E68C}, {"lavender", 0xE6E6FA}, {"lavenderblush", 0xFFF0F5},
    {"lawngreen", 0x7CFC00}, {"lemonchiffon", 0xFFFACD}, {"lightblue", 0xADD8E6},
    {"lightcoral", 0xF08080}, {"lightcyan", 0xE0FFFF}, {"lightgoldenrodyellow", 0xFAFAD2},
    {"lightgray", 0xD3D3D3}, {"lightgreen", 0x90EE90}, {"lightgrey", 0xD3D3D3},
    {"lightpink", 0xFFB6C1}, {"lightsalmon", 0xFFA07A}, {"lightseagreen", 0x20B2AA},
    {"lightskyblue", 0x87CEFA}, {"lightslategray", 0x778899}, {"lightslategrey", 0x778899},
    {"lightsteelblue", 0xB0C4DE}, {"lightyellow", 0xFFFFE0}, {"lime", 0x00FF00},
    {"limegreen", 0x32CD32}, {"linen", 0xFAF0E6}, {"magenta", 0xFF00FF}, {"maroon", 0x800000},
    {"mediumaquamarine", 0x66CDAA}, {"mediumblue", 0x0000CD}, {"mediumorchid", 0xBA55D3},
    {"mediumpurple", 0x9370DB}, {"mediumseagreen", 0x3CB371}, {"mediumslateblue", 0x7B68EE},
    {"mediumspringgreen", 0x00FA9A}, {"mediumturquoise", 0x48D1CC}, {"mediumvioletred", 0xC71585},
    {"midnightblue", 0x191970}, {"mintcream", 0xF5FFFA}, {"mistyrose", 0xFFE4E1},
    {"moccasin", 0xFFE4B5}, {"navajowhite", 0xFFDEAD}, {"navy", 0x000080}, {"oldlace", 0xFDF5E6},
    {"olive", 0x808000}, {"olivedrab", 0x6B8E23}, {"orange", 0xFFA500}, {"orangered", 0xFF4500},
    {"orchid", 0xDA70D6}, {"palegoldenrod", 0xEEE8AA}, {"palegreen", 0x98FB98},
    {"paleturquoise", 0xAFEEEE}, {"palevioletred", 0xDB7093}, {"papayawhip", 0xFFEFD5},
    {"peachpuff", 0xFFDAB9}, {"peru", 0xCD853F}, {"pink", 0xFFC0CB}, {"plum", 0xDDA0DD},
    {"powderblue", 0xB0E0E6}, {"purple", 0x800080}, {"rebeccapurple", 0x663399}, {"red", 0xFF0000},
    {"rosybrown", 0xBC8F8F}, {"royalblue", 0x4169E1}, {"saddlebrown", 0x8B4513},
    {"salmon", 0xFA8072}, {"sandybrown", 0xF4A460}, {"seagreen", 0x2E8B57}, {"seashell", 0xFFF5EE},
    {"sienna", 0xA0522D}, {"silver", 0xC0C0C0}, {"skyblue", 0x87CEEB}, {"slateblue", 0x6A5ACD},
    {"slategray", 0x708090}, {"slategrey", 0x708090}, {"snow", 0xFFFAFA}, {"springgreen", 0x00FF7F},
    {"steelblue", 0x4682B4}, {"tan", 0xD2B48C}, {"teal", 0x008080}, {"thistle", 0xD8BFD8},
    {"tomato", 0xFF6347}, {"turquoise", 0x40E0D0}, {"violet", 0xEE82EE}, {"wheat", 0xF5DEB3},
    {"white", 0xFFFFFF}, {"whitesmoke", 0xF5F5F5}, {"yellow", 0xFFFF00}, {"yellowgreen", 0x9ACD32}
}};
// clang-format on

constexpr bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

constexpr char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }

constexpr int hexDigit(char c) {
  if (isDigit(c)) return c - '0';
  c = lower(c);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

constexpr void skipSpaces(std::string_view& text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
}

// Removes `word` (lower case) from the front of `text` when it is there in any letter case.
constexpr bool consumeWord(std::string_view& text, std::string_view word) {
  if (text.size() < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (lower(text[i]) != word[i]) return false;
  }
  text.remove_prefix(word.size());
  return true;
}

constexpr bool consume(std::string_view& text, char c) {
  skipSpaces(text);
  if (text.empty() || text.front() != c) return false;
  text.remove_prefix(1);
  return true;
}

// 3, 6, 9 or 12 hexadecimal digits, a third for each channel. A channel's digits are repeated
// to fill 16 bits ("f" is 0xffff, "abc" 0xabca), as GTK widens them.
std::optional<std::vector<double>> hexChannels(std::string_view digits) {
  if (digits.empty() || digits.size() % 3 != 0 || digits.size() > 12) return std::nullopt;
  const std::size_t width = digits.size() / 3;
  const unsigned bits = static_cast<unsigned>(width) * 4;
  std::vector<double> channels;
  for (std::size_t channel = 0; channel < 3; ++channel) {
    std::uint32_t value = 0;
    for (char c : digits.substr(channel * width, width)) {
      const int digit = hexDigit(c);
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    std::uint32_t wide = value << (16 - bits);
    for (unsigned filled = bits; filled < 16; filled *= 2) wide |= wide >> filled;
    channels.push_back(static_cast<double>(wide & 0xffff) / 65535.0);
  }
  return channels;
}

// A decimal number ("98", "-1.5", ".5", "2e1") and an optional "%": the value as a fraction
// of `scale`, or of 100 with "%", held to 0..1. Read by hand rather than by strtod, whose
// decimal point follows the locale.
std::optional<double> fraction(std::string_view& text, double scale) {
  skipSpaces(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  double mantissa = 0;
  int digits = 0, exponent = 0;
  for (; !text.empty() && isDigit(text.front()); text.remove_prefix(1), ++digits)
    mantissa = mantissa * 10 + (text.front() - '0');
  if (!text.empty() && text.front() == '.') {
    text.remove_prefix(1);
    for (; !text.empty() && isDigit(text.front()); text.remove_prefix(1), ++digits, --exponent)
      mantissa = mantissa * 10 + (text.front() - '0');
  }
  if (digits == 0) return std::nullopt;
  if (text.size() >= 2 && lower(text.front()) == 'e' &&
      (isDigit(text[1]) ||
       ((text[1] == '+' || text[1] == '-') && text.size() >= 3 && isDigit(text[2])))) {
    const bool down = text[1] == '-';
    text.remove_prefix(isDigit(text[1]) ? 1 : 2);
    int written = 0;
    for (; !text.empty() && isDigit(text.front()); text.remove_prefix(1))
      written = std::min(written * 10 + (text.front() - '0'), 1000);
    exponent += down ? -written : written;
  }
  // One multiplication or division by an exact power of ten rounds once.
  double value = mantissa == 0   ? 0
                 : exponent >= 0 ? mantissa * std::pow(10.0, exponent)
                                 : mantissa / std::pow(10.0, -exponent);
  if (negative) value = -value;
  skipSpaces(text);
  if (!text.empty() && text.front() == '%') {
    text.remove_prefix(1);
    scale = 100;
  }
  value /= scale;
  if (std::isnan(value)) return std::nullopt;
  return std::clamp(value, 0.0, 1.0);
}

// "(r, g, b)" or, with `alpha`, "(r, g, b, a)": each channel a number of 0 to 255 or a
// percentage, the alpha a number of 0 to 1 or a percentage.
std::optional<std::vector<double>> functionChannels(std::string_view text, bool alpha) {
  if (!consume(text, '(')) return std::nullopt;
  std::vector<double> channels;
  for (int i = 0; i < 3; ++i) {
    if (i > 0 && !consume(text, ',')) return std::nullopt;
    std::optional<double> channel = fraction(text, 255);
    if (!channel) return std::nullopt;
    channels.push_back(*channel);
  }
  if (alpha && (!consume(text, ',') || !fraction(text, 1))) return std::nullopt;
  if (!consume(text, ')')) return std::nullopt;
  skipSpaces(text);
  if (!text.empty()) return std::nullopt;
  return channels;
}

std::optional<std::vector<double>> namedChannels(std::string_view text) {
  std::string key;
  for (char c : text) key.push_back(lower(c));
  auto found = std::lower_bound(
      kNamedColors.begin(), kNamedColors.end(), key,
      [](const NamedColor& entry, const std::string& name) { return entry.name < name; });
  if (found == kNamedColors.end() || found->name != key) return std::nullopt;
  return std::vector<double>{((found->rgb >> 16) & 0xff) / 255.0,
                             ((found->rgb >> 8) & 0xff) / 255.0, (found->rgb & 0xff) / 255.0};
}

}  // namespace

std::optional<CalendarColor> parseEdsColor(std::string_view text) {
  skipSpaces(text);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  std::optional<std::vector<double>> channels;
  if (!text.empty() && text.front() == '#') {
    channels = hexChannels(text.substr(1));
  } else if (consumeWord(text, "rgba")) {
    channels = functionChannels(text, true);
  } else if (consumeWord(text, "rgb")) {
    channels = functionChannels(text, false);
  } else {
    channels = namedChannels(text);
  }
  if (!channels) return std::nullopt;
  return CalendarColor{std::move(channels)};
}

}  // namespace vandrelis::store
