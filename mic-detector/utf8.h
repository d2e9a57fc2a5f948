// UTF-8 repair: every ill-formed sequence becomes one U+FFFD, so what we write is always valid.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace micdetector {

// Length of the well-formed sequence that starts text (which must not be empty), or 0 when it is
// ill-formed; then `bad` is the length of its maximal ill-formed subpart (at least 1).
std::size_t utf8SequenceLength(std::string_view text, std::size_t& bad);

// Appends text with each maximal ill-formed subpart replaced by U+FFFD.
void appendValidUtf8(std::string& out, std::string_view text);

std::string validUtf8(std::string_view text);

}  // namespace micdetector
