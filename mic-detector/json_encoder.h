// The wire form of a snapshot line: compact JSON, "/" written as "\/", non-ASCII raw, absent
// optional fields left out.
#pragma once

#include <string>
#include <string_view>

#include "snapshot_message.h"

namespace micdetector {

// Appends text as a JSON string; each ill-formed UTF-8 sequence becomes U+FFFD.
void appendJsonString(std::string& out, std::string_view text);

void appendJson(std::string& out, const MicInputDevice& device);
void appendJson(std::string& out, const MicActiveApp& app);
void appendJson(std::string& out, const SnapshotMessage& message);

std::string encodeJson(const SnapshotMessage& message);

// Encodes into a buffer it keeps, so that a line a second does not allocate once the buffer
// has grown to the size of a typical line.
class JsonEncoder {
 public:
  // The document's bytes, valid until the next call.
  std::string_view encode(const SnapshotMessage& message);

 private:
  std::string buffer_;
};

}  // namespace micdetector
