// Keys are written in sorted order by hand: the records are fixed, so the order is too.
#include "json_writer.h"

#include <string.h>

#include <cstdint>
#include <cstring>

#include "fd_write.h"
#include "helper_error.h"
#include "text.h"

namespace vandrelis {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// Writes one object member at a time, putting the comma between members.
class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& out) : out_(out) { out_.push_back('{'); }
  ~ObjectWriter() { out_.push_back('}'); }

  std::string& key(std::string_view name) {
    if (!first_) out_.push_back(',');
    first_ = false;
    out_.push_back('"');
    out_.append(name);
    out_.append("\":");
    return out_;
  }
  void string(std::string_view name, std::string_view value) { appendJsonString(key(name), value); }
  void optionalString(std::string_view name, const std::optional<std::string>& value) {
    if (value) string(name, *value);
  }
  void boolean(std::string_view name, bool value) { key(name).append(value ? "true" : "false"); }

 private:
  std::string& out_;
  bool first_ = true;
};

template <typename T>
void appendArray(std::string& out, const std::vector<T>& values) {
  out.push_back('[');
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out.push_back(',');
    appendJson(out, values[i]);
  }
  out.push_back(']');
}

// Eight bytes that are written as they stand: ASCII, no control, no '"', '\\' or '/'.
bool plainWord(const char* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  const auto hasZeroByte = [&](std::uint64_t v) { return ((v - kOnes) & ~v & kHigh) != 0; };
  if ((word & kHigh) != 0) return false;
  if (((word - kOnes * 0x20) & ~word & kHigh) != 0) return false;  // a byte below 0x20
  return !hasZeroByte(word ^ (kOnes * '"')) && !hasZeroByte(word ^ (kOnes * '\\')) &&
         !hasZeroByte(word ^ (kOnes * '/'));
}

// The length of the well-formed sequence at text[i] in its common forms, or 0 to have the
// sequence checked in full.
std::size_t commonSequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const auto continuation = [&](std::size_t k) { return (byte(k) & 0xC0) == 0x80; };
  const unsigned char lead = byte(0);
  const std::size_t left = text.size() - i;
  if (lead >= 0xC2 && lead <= 0xDF && left >= 2 && continuation(1)) return 2;
  // Three bytes: E0 and ED need narrower second bytes (no overlong forms, no surrogates).
  if (lead >= 0xE0 && lead <= 0xEF && left >= 3 && continuation(1) && continuation(2) &&
      (lead != 0xE0 || byte(1) >= 0xA0) && (lead != 0xED || byte(1) <= 0x9F)) {
    return 3;
  }
  // Four bytes: planes 1 to 15 (emoji among them); F0 needs a narrower second byte.
  if (lead >= 0xF0 && lead <= 0xF3 && left >= 4 && (lead != 0xF0 || byte(1) >= 0x90) &&
      continuation(1) && continuation(2) && continuation(3)) {
    return 4;
  }
  return 0;
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t runStart = 0;
  std::size_t i = 0;
  auto flush = [&] { out.append(text.data() + runStart, i - runStart); };
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80 && i + 8 <= text.size() && plainWord(text.data() + i)) {
      i += 8;
      continue;
    }
    if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\' && c != '/') {
      ++i;
      continue;
    }
    if (c >= 0x80) {
      if (std::size_t common = commonSequenceLength(text, i)) {
        i += common;
        continue;
      }
      std::size_t bad = 0;
      std::size_t length = utf8SequenceLength(text.substr(i), &bad);
      if (length > 0) {
        i += length;
        continue;
      }
      flush();
      out.append("\xEF\xBF\xBD");
      i += bad;
      runStart = i;
      continue;
    }
    flush();
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '/': out.append("\\/"); break;
      case '\b': out.append("\\b"); break;
      case '\f': out.append("\\f"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      default: {
        char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.append(escape, sizeof escape);
      }
    }
    ++i;
    runStart = i;
  }
  flush();
  out.push_back('"');
}

void appendJson(std::string& out, const PermissionOutput& value) {
  ObjectWriter object(out);
  object.string("authorizationStatus", value.authorizationStatus);
}

void appendJson(std::string& out, const CalendarOutput& value) {
  ObjectWriter object(out);
  object.boolean("allowsContentModifications", value.allowsContentModifications);
  object.optionalString("color", value.color);
  object.string("externalId", value.externalId);
  object.boolean("primary", value.primary);
  object.optionalString("sourceTitle", value.sourceTitle);
  object.optionalString("sourceType", value.sourceType);
  object.string("title", value.title);
}

void appendJson(std::string& out, const std::vector<CalendarOutput>& value) {
  appendArray(out, value);
}

void appendJson(std::string& out, const PartyOutput& value) {
  ObjectWriter object(out);
  object.optionalString("email", value.email);
  object.boolean("isCurrentUser", value.isCurrentUser);
  object.optionalString("name", value.name);
  object.optionalString("status", value.status);
}

void appendJson(std::string& out, const EventOutput& value) {
  ObjectWriter object(out);
  if (value.attendees) appendArray(object.key("attendees"), *value.attendees);
  object.string("calendarExternalId", value.calendarExternalId);
  object.optionalString("description", value.description);
  object.string("endsAt", value.endsAt);
  object.optionalString("icalUid", value.icalUid);
  object.boolean("isAllDay", value.isAllDay);
  object.optionalString("location", value.location);
  object.optionalString("meetingUrl", value.meetingUrl);
  if (value.organizer) appendJson(object.key("organizer"), *value.organizer);
  object.string("recurrenceId", value.recurrenceId);
  object.string("sourceEventId", value.sourceEventId);
  object.optionalString("sourceUpdatedAt", value.sourceUpdatedAt);
  object.string("startsAt", value.startsAt);
  object.string("status", value.status);
  object.string("title", value.title);
}

void appendJson(std::string& out, const SnapshotOutput& value) {
  ObjectWriter object(out);
  appendArray(object.key("events"), value.events);
}

void appendJson(std::string& out, const ChangeOutput& value) {
  ObjectWriter object(out);
  object.string("type", value.type);
}

void writeDocument(std::string_view document, int fd) {
  int error = writeAll(fd, document);
  if (error == 0) error = writeAll(fd, "\n");
  if (error != 0) throw PlatformError(strerror(error));
}

// Room for one more record beyond the chunk, so a typical record never makes it grow.
DocumentStream::DocumentStream(int fd) : fd_(fd) { buffer_.reserve(kBufferSize + 8 * 1024); }

void DocumentStream::flush() {
  if (int error = writeAll(fd_, buffer_); error != 0) throw PlatformError(strerror(error));
  buffer_.clear();
  // A record far larger than a chunk (a long note) must not keep its memory for the rest.
  if (buffer_.capacity() > 4 * kBufferSize) {
    buffer_.shrink_to_fit();
    buffer_.reserve(kBufferSize + 8 * 1024);
  }
}

void DocumentStream::finish() {
  flush();
  if (int error = writeAll(fd_, "\n"); error != 0) throw PlatformError(strerror(error));
}

}  // namespace vandrelis
