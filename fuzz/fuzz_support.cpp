// A JSON reader of our own: the point is to be stricter than the writers, so that a wrong
// escape or a raw control character is found rather than tolerated.
#include "fuzz_support.h"

#include <cstdint>
#include <vector>

#include <unicode/ustring.h>

namespace fuzzsupport {

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length;
    std::uint32_t code;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07u;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) return false;
      code = (code << 6) | (byte(i + k) & 0x3Fu);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

std::string repairedUtf8(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t units = 0;
  std::vector<UChar> utf16(text.size() + 1);
  u_strFromUTF8WithSub(utf16.data(), static_cast<int32_t>(utf16.size()), &units, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) fail("ICU could not convert the input");
  std::string out(static_cast<std::size_t>(units) * 3 + 1, '\0');
  int32_t bytes = 0;
  status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &bytes, utf16.data(), units, &status);
  if (U_FAILURE(status)) fail("ICU could not convert back");
  out.resize(static_cast<std::size_t>(bytes));
  return out;
}

namespace {

void appendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

struct Reader {
  std::string_view text;
  std::size_t pos = 0;

  bool hex4(std::uint32_t* value) {
    if (pos + 4 > text.size()) return false;
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[pos++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<std::uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<std::uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<std::uint32_t>(c - 'A' + 10);
      else return false;
    }
    *value = v;
    return true;
  }

  // Reads a string literal at pos into *out (when out is given).
  bool string(std::string* out) {
    if (pos >= text.size() || text[pos] != '"') return false;
    ++pos;
    const std::size_t rawStart = pos;
    std::string value;
    while (pos < text.size()) {
      const char c = text[pos];
      if (c == '"') {
        // Raw bytes must be valid UTF-8 by themselves, not only after the escapes.
        if (!isValidUtf8(text.substr(rawStart, pos - rawStart))) return false;
        ++pos;
        if (out != nullptr) *out = std::move(value);
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        value += c;
        ++pos;
        continue;
      }
      if (++pos >= text.size()) return false;
      const char e = text[pos++];
      switch (e) {
        case '"': value += '"'; break;
        case '\\': value += '\\'; break;
        case '/': value += '/'; break;
        case 'b': value += '\b'; break;
        case 'f': value += '\f'; break;
        case 'n': value += '\n'; break;
        case 'r': value += '\r'; break;
        case 't': value += '\t'; break;
        case 'u': {
          std::uint32_t code;
          if (!hex4(&code)) return false;
          if (code >= 0xDC00 && code <= 0xDFFF) return false;
          if (code >= 0xD800 && code <= 0xDBFF) {
            std::uint32_t low;
            if (pos + 2 > text.size() || text[pos] != '\\' || text[pos + 1] != 'u') return false;
            pos += 2;
            if (!hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          }
          appendUtf8(value, code);
          break;
        }
        default: return false;
      }
    }
    return false;
  }

  void space() {
    while (pos < text.size() &&
           (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r')) {
      ++pos;
    }
  }

  bool literal(std::string_view word) {
    if (text.substr(pos, word.size()) != word) return false;
    pos += word.size();
    return true;
  }

  bool digitRun() {
    const std::size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
    return pos > start;
  }

  bool number() {
    if (pos < text.size() && text[pos] == '-') ++pos;
    if (pos < text.size() && text[pos] == '0') {
      ++pos;
    } else if (!digitRun()) {
      return false;
    }
    if (pos < text.size() && text[pos] == '.') {
      ++pos;
      if (!digitRun()) return false;
    }
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
      ++pos;
      if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
      if (!digitRun()) return false;
    }
    return true;
  }

  bool value(int depth) {
    space();
    if (pos >= text.size()) return false;
    const char c = text[pos];
    if (c == '"') return string(nullptr);
    if (c == 't') return literal("true");
    if (c == 'f') return literal("false");
    if (c == 'n') return literal("null");
    if (c == '[' || c == '{') {
      if (depth == 0) return false;
      const bool object = c == '{';
      const char close = object ? '}' : ']';
      ++pos;
      space();
      if (pos < text.size() && text[pos] == close) {
        ++pos;
        return true;
      }
      while (true) {
        if (object) {
          space();
          if (!string(nullptr)) return false;
          space();
          if (pos >= text.size() || text[pos++] != ':') return false;
        }
        if (!value(depth - 1)) return false;
        space();
        if (pos >= text.size()) return false;
        if (text[pos] == close) {
          ++pos;
          return true;
        }
        if (text[pos++] != ',') return false;
      }
    }
    return number();
  }
};

}  // namespace

std::optional<std::string> decodeJsonString(std::string_view literal) {
  Reader reader{literal};
  std::string value;
  if (!reader.string(&value) || reader.pos != literal.size()) return std::nullopt;
  return value;
}

bool isValidJson(std::string_view text, int maxDepth) {
  Reader reader{text};
  if (!reader.value(maxDepth)) return false;
  reader.space();
  return reader.pos == text.size();
}

}  // namespace fuzzsupport
