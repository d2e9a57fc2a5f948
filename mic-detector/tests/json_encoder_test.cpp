// Exact bytes of the snapshot line's JSON form.
#include "json_encoder.h"

#include <gtest/gtest.h>

#include "utf8.h"

namespace micdetector {
namespace {

std::string jsonString(std::string_view text) {
  std::string out;
  appendJsonString(out, text);
  return out;
}

TEST(JsonEncoder, SnapshotsHaveExactBytes) {
  SnapshotMessage empty{"snapshot", 1733660000123, {}};
  EXPECT_EQ(encodeJson(empty), R"({"type":"snapshot","timestampMs":1733660000123,"apps":[]})");

  MicActiveApp full{"com.example.recorder", 812, 1733660000120, "Recorder",
                    std::vector<MicInputDevice>{{"usb-mic-1", "USB Microphone"}, {"b", "B"}}};
  // Without a name and with an unknown device list, both members are left out; an empty name
  // and an empty list are written.
  MicActiveApp bare{"org.example.bare", -5, 0, std::nullopt, std::nullopt};
  MicActiveApp blank{"x", 2147483647, 18446744073709551615u, "", std::vector<MicInputDevice>{}};
  SnapshotMessage message{"snapshot", 1, {full, bare, blank}};
  EXPECT_EQ(encodeJson(message),
            R"({"type":"snapshot","timestampMs":1,"apps":[)"
            R"({"bundleId":"com.example.recorder","pid":812,"detectedAtMs":1733660000120,)"
            R"("applicationName":"Recorder","inputDevices":[{"uid":"usb-mic-1",)"
            R"("name":"USB Microphone"},{"uid":"b","name":"B"}]},)"
            R"({"bundleId":"org.example.bare","pid":-5,"detectedAtMs":0},)"
            R"({"bundleId":"x","pid":2147483647,"detectedAtMs":18446744073709551615,)"
            R"("applicationName":"","inputDevices":[]}]})");

  // The encoder's reused buffer holds only the latest document.
  JsonEncoder encoder;
  EXPECT_EQ(encoder.encode(message), encodeJson(message));
  EXPECT_EQ(encoder.encode(empty), encodeJson(empty));
}

TEST(JsonEncoder, TextsEscapeExactlyTheControlCharactersQuoteBackslashAndSolidus) {
  EXPECT_EQ(jsonString("a/b"), R"("a\/b")");
  EXPECT_EQ(jsonString("\"\\"), R"("\"\\")");
  EXPECT_EQ(jsonString("\b\f\n\r\t"), R"("\b\f\n\r\t")");
  EXPECT_EQ(jsonString(std::string("\x00\x01\x1f", 3)), R"("\u0000\u0001\u001f")");
  EXPECT_EQ(jsonString("\x7f ~"), "\"\x7f ~\"");
  // Non-ASCII is written raw.
  EXPECT_EQ(jsonString("Mikrofon \xC3\xBC \xE2\x80\xA8 \xF0\x9F\x8E\xA4"),
            "\"Mikrofon \xC3\xBC \xE2\x80\xA8 \xF0\x9F\x8E\xA4\"");
  // No line feed byte survives inside a document.
  const std::string document = encodeJson(
      {"snapshot", 1, {{"a\nb", 1, 1, "c\r\nd", std::vector<MicInputDevice>{{"\n", "\n"}}}}});
  EXPECT_EQ(document.find('\n'), std::string::npos);
}

TEST(JsonEncoder, IllFormedUtf8BecomesOneReplacementPerMaximalSubpart) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(jsonString("a\xFF"
                       "b"),
            "\"a" + fffd + "b\"");
  EXPECT_EQ(jsonString("\xC3"), "\"" + fffd + "\"");  // cut at the end
  EXPECT_EQ(jsonString("\xE2\x82"
                       "x"),
            "\"" + fffd + "x\"");                                           // truncated sequence
  EXPECT_EQ(jsonString("\xC0\xAF"), "\"" + fffd + fffd + "\"");             // overlong
  EXPECT_EQ(jsonString("\xED\xA0\x80"), "\"" + fffd + fffd + fffd + "\"");  // surrogate
  EXPECT_EQ(jsonString("\xF4\x90\x80\x80"), "\"" + fffd + fffd + fffd + fffd + "\"");  // > U+10FFFF
  EXPECT_EQ(jsonString("\xF0\x9F\x8E"), "\"" + fffd + "\"");
  EXPECT_EQ(jsonString("/\xFE/"), "\"\\/" + fffd + "\\/\"");
  EXPECT_EQ(validUtf8("ok \xC3\xA9 \x80"), "ok \xC3\xA9 " + fffd);
}

}  // namespace
}  // namespace micdetector
