// The JSON form of the output records (compact, keys sorted, "/" escaped, raw UTF-8) and
// writeJson, which puts one document and its line feed on standard output.
#pragma once

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

template <typename T>
void writeJson(const T& value, int fd = 1) {
  writeDocument(encodeJson(value), fd);
}

}  // namespace vandrelis
