// Checks shared by the fuzz targets: a strict JSON reader, UTF-8 validity, and ICU's repair of
// ill-formed UTF-8 as the reference the programs' own repair must match.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace fuzzsupport {

// A property the target checks has failed: libFuzzer keeps the input as a crash.
[[noreturn]] inline void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "property failed: %s\n%.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

#define FUZZ_CHECK(condition, detail) \
  ((condition) ? static_cast<void>(0) : ::fuzzsupport::fail(#condition, (detail)))

// True when text is well-formed UTF-8 (no surrogates, no overlong forms, nothing past U+10FFFF).
bool isValidUtf8(std::string_view text);

// text with each maximal ill-formed subpart replaced by U+FFFD, as ICU converts it.
std::string repairedUtf8(std::string_view text);

// The value of exactly one JSON string literal (RFC 8259: no raw control characters, only the
// standard escapes, \u surrogates in pairs), or none.
std::optional<std::string> decodeJsonString(std::string_view literal);

// True when text is exactly one JSON value (RFC 8259, strings as above), nested at most
// maxDepth arrays and objects deep.
bool isValidJson(std::string_view text, int maxDepth = 64);

}  // namespace fuzzsupport
