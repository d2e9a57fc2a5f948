// The JSON form of the output records (compact, keys sorted, "/" escaped, raw UTF-8) and
// writeJson, which puts one document and its line feed on standard output.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "output_records.h"

namespace vandrelis {

// Appends text as a JSON string literal; ill-formed UTF-8 becomes U+FFFD.
void appendJsonString(std::string& out, std::string_view text);

void appendJson(std::string& out, const PermissionOutput& value);
void appendJson(std::string& out, const CalendarOutput& value);
void appendJson(std::string& out, const std::vector<CalendarOutput>& value);
void appendJson(std::string& out, const PartyOutput& value);
void appendJson(std::string& out, const EventOutput& value);
void appendJson(std::string& out, const SnapshotOutput& value);
void appendJson(std::string& out, const ChangeOutput& value);

template <typename T>
std::string encodeJson(const T& value) {
  std::string out;
  appendJson(out, value);
  return out;
}

// Writes the document in one write and the line feed in a second, each retried until whole.
// Throws PlatformError with the system's description when the descriptor cannot be written.
void writeDocument(std::string_view document, int fd);

// One document written as it is encoded: the encoder appends to buffer(), and every full
// buffer goes out at once, so memory holds at most one buffer and one record. A document that
// fits the buffer is written as writeDocument writes it: one write, then the line feed.
class DocumentStream {
 public:
  static constexpr std::size_t kBufferSize = 64 * 1024;

  explicit DocumentStream(int fd);
  std::string& buffer() { return buffer_; }
  // Writes the buffer out when it holds a full chunk. Throws as writeDocument does.
  void flushIfFull() {
    if (buffer_.size() >= kBufferSize) flush();
  }
  // Writes what is left, then the line feed in a write of its own.
  void finish();

 private:
  void flush();

  int fd_;
  std::string buffer_;
};

template <typename T>
void writeJson(const T& value, int fd = 1) {
  writeDocument(encodeJson(value), fd);
}

}  // namespace vandrelis
