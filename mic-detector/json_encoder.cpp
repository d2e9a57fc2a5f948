// Members are written in the records' field order; a reader looks them up by name.
#include "json_encoder.h"

#include <charconv>
#include <cstdint>

#include "utf8.h"

namespace micdetector {
namespace {

constexpr char kHex[] = "0123456789abcdef";

template <typename Integer>
void appendInteger(std::string& out, Integer value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

void appendKey(std::string& out, std::string_view name) {
  out.push_back('"');
  out.append(name);
  out.append("\":");
}

template <typename T>
void appendArray(std::string& out, const std::vector<T>& values) {
  out.push_back('[');
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out.push_back(',');
    appendJson(out, values[i]);
  }
  out.push_back(']');
}

bool needsEscape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\' || c == '/'; }

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t runStart = 0;
  std::size_t i = 0;
  const auto flush = [&] { out.append(text.data() + runStart, i - runStart); };
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      std::size_t bad = 0;
      const std::size_t length = utf8SequenceLength(text.substr(i), bad);
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
    if (!needsEscape(c)) {
      ++i;
      continue;
    }
    flush();
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '/':
        out.append("\\/");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      default:
        out.append("\\u00");
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
        break;
    }
    ++i;
    runStart = i;
  }
  flush();
  out.push_back('"');
}

void appendJson(std::string& out, const MicInputDevice& device) {
  out.push_back('{');
  appendKey(out, "uid");
  appendJsonString(out, device.uid);
  out.push_back(',');
  appendKey(out, "name");
  appendJsonString(out, device.name);
  out.push_back('}');
}

void appendJson(std::string& out, const MicActiveApp& app) {
  out.push_back('{');
  appendKey(out, "bundleId");
  appendJsonString(out, app.bundleId);
  out.push_back(',');
  appendKey(out, "pid");
  appendInteger(out, app.pid);
  out.push_back(',');
  appendKey(out, "detectedAtMs");
  appendInteger(out, app.detectedAtMs);
  if (app.applicationName) {
    out.push_back(',');
    appendKey(out, "applicationName");
    appendJsonString(out, *app.applicationName);
  }
  if (app.inputDevices) {
    out.push_back(',');
    appendKey(out, "inputDevices");
    appendArray(out, *app.inputDevices);
  }
  out.push_back('}');
}

void appendJson(std::string& out, const SnapshotMessage& message) {
  out.push_back('{');
  appendKey(out, "type");
  appendJsonString(out, message.type);
  out.push_back(',');
  appendKey(out, "timestampMs");
  appendInteger(out, message.timestampMs);
  out.push_back(',');
  appendKey(out, "apps");
  appendArray(out, message.apps);
  out.push_back('}');
}

std::string encodeJson(const SnapshotMessage& message) {
  std::string out;
  appendJson(out, message);
  return out;
}

std::string_view JsonEncoder::encode(const SnapshotMessage& message) {
  buffer_.clear();
  appendJson(buffer_, message);
  return buffer_;
}

}  // namespace micdetector
