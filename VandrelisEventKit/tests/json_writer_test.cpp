// Exact bytes of the JSON form, and whole writes on the descriptor.
#include "json_writer.h"

#include <unistd.h>

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "helper_error.h"
#include "text.h"

#include "test_support.h"

namespace vandrelis {
namespace {

TEST(JsonWriter, RecordsHaveExactBytesInSortedKeyOrder) {
  EXPECT_EQ(encodeJson(PermissionOutput{"granted"}), R"({"authorizationStatus":"granted"})");
  EXPECT_EQ(encodeJson(PermissionOutput{"granted"}).size(), 33u);
  EXPECT_EQ(encodeJson(ChangeOutput{}), R"({"type":"changed"})");
  EXPECT_EQ(encodeJson(std::vector<CalendarOutput>{}), "[]");
  EXPECT_EQ(encodeJson(SnapshotOutput{}), R"({"events":[]})");

  CalendarOutput calendar{"id", "Work", std::nullopt, "iCloud", "icloud", true, false};
  EXPECT_EQ(encodeJson(calendar),
            R"({"allowsContentModifications":true,"externalId":"id","primary":false,)"
            R"("sourceTitle":"iCloud","sourceType":"icloud","title":"Work"})");
  calendar.color = "#FF8000";
  calendar.sourceTitle.reset();
  calendar.sourceType.reset();
  EXPECT_EQ(encodeJson(calendar),
            R"({"allowsContentModifications":true,"color":"#FF8000","externalId":"id",)"
            R"("primary":false,"title":"Work"})");

  EventOutput event;
  event.calendarExternalId = "c";
  event.sourceEventId = "s:single";
  event.recurrenceId = "single";
  event.title = "T";
  event.startsAt = "2024-05-01T00:00:00.000Z";
  event.endsAt = "2024-05-01T01:00:00.000Z";
  event.status = "confirmed";
  EXPECT_EQ(encodeJson(event),
            R"({"calendarExternalId":"c","endsAt":"2024-05-01T01:00:00.000Z","isAllDay":false,)"
            R"("recurrenceId":"single","sourceEventId":"s:single",)"
            R"("startsAt":"2024-05-01T00:00:00.000Z","status":"confirmed","title":"T"})");
  event.attendees.emplace();
  event.organizer = PartyOutput{"Ann", "a@x", true, "accepted"};
  event.icalUid = "u";
  event.description = "d";
  event.location = "l";
  event.meetingUrl = "m";
  event.sourceUpdatedAt = "z";
  event.isAllDay = true;
  EXPECT_EQ(encodeJson(event),
            R"({"attendees":[],"calendarExternalId":"c","description":"d",)"
            R"("endsAt":"2024-05-01T01:00:00.000Z","icalUid":"u","isAllDay":true,)"
            R"("location":"l","meetingUrl":"m","organizer":{"email":"a@x",)"
            R"("isCurrentUser":true,"name":"Ann","status":"accepted"},"recurrenceId":"single",)"
            R"("sourceEventId":"s:single","sourceUpdatedAt":"z",)"
            R"("startsAt":"2024-05-01T00:00:00.000Z","status":"confirmed","title":"T"})");
  event.attendees->push_back(PartyOutput{std::nullopt, std::nullopt, false, std::nullopt});
  EXPECT_NE(encodeJson(event).find(R"("attendees":[{"isCurrentUser":false}])"),
            std::string::npos);
}

TEST(JsonWriter, StringEscapes) {
  auto encoded = [](std::string_view text) {
    std::string out;
    appendJsonString(out, text);
    return out;
  };
  EXPECT_EQ(encoded("a/b\"c\td\xC3\xA9"), "\"a\\/b\\\"c\\td\xC3\xA9\"");
  EXPECT_EQ(encoded("\\ \b\f\n\r"), R"("\\ \b\f\n\r")");
  EXPECT_EQ(encoded(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\x7f\"");
  EXPECT_EQ(encoded(std::string(1, '\0')), R"("\u0000")");
  EXPECT_EQ(encoded("https://meet.example/x"), R"("https:\/\/meet.example\/x")");
  // Raw non-ASCII, including four-byte sequences.
  EXPECT_EQ(encoded("\xF0\x9F\x91\x8D\xE4\xB8\xAD"), "\"\xF0\x9F\x91\x8D\xE4\xB8\xAD\"");
}

TEST(JsonWriter, IllFormedUtf8BecomesReplacementCharacters) {
  auto encoded = [](std::string_view text) {
    std::string out;
    appendJsonString(out, text);
    return out;
  };
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(encoded("a\xFF" "b"), "\"a" + fffd + "b\"");
  // A truncated three-byte sequence is one maximal subpart: one replacement.
  EXPECT_EQ(encoded("\xE2\x82" "x"), "\"" + fffd + "x\"");
  // Overlong encodings and surrogates: each byte is replaced.
  EXPECT_EQ(encoded("\xC0\xAF"), "\"" + fffd + fffd + "\"");
  EXPECT_EQ(encoded("\xED\xA0\x80"), "\"" + fffd + fffd + fffd + "\"");
  // Truncated at the very end.
  EXPECT_EQ(encoded("ok\xF0\x9F\x91"), "\"ok" + fffd + "\"");
  EXPECT_EQ(encoded("\xF4\x90\x80\x80"), "\"" + fffd + fffd + fffd + fffd + "\"");
}

TEST(JsonWriter, WriteJsonPutsDocumentAndLineFeedOnStdout) {
  testing::OutputCapture capture;
  writeJson(PermissionOutput{"granted"});
  writeJson(ChangeOutput{});
  testing::RunResult result = capture.finish();
  EXPECT_EQ(result.out, "{\"authorizationStatus\":\"granted\"}\n{\"type\":\"changed\"}\n");
  EXPECT_EQ(result.err, "");
}

TEST(JsonWriter, LargeDocumentIsWrittenWholeThroughAPipe) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  SnapshotOutput snapshot;
  EventOutput event;
  event.title = std::string(100000, 'x');
  for (int i = 0; i < 20; ++i) snapshot.events.push_back(event);
  const std::string expected = encodeJson(snapshot) + "\n";
  std::string received;
  std::thread reader([&] {
    char buffer[4096];  // small reads force the writer through many short writes
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) received.append(buffer, n);
  });
  writeJson(snapshot, fds[1]);
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);
  EXPECT_EQ(received, expected);
}

TEST(JsonWriter, WriteFailureIsReportedWithTheSystemDescription) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[1]);
  // A read-only descriptor cannot be written.
  try {
    writeJson(ChangeOutput{}, fds[0]);
    FAIL() << "expected a failure";
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.description(), "Bad file descriptor");
  }
  ::close(fds[0]);
}

// The word-at-a-time and common-sequence shortcuts against a byte-by-byte escaper, with
// every kind of byte at every offset of a word.
TEST(JsonWriter, StringShortcutsMatchByteByByteEscaping) {
  auto reference = [](std::string_view text) {
    std::string repaired;
    appendRepairedUtf8(repaired, text);
    std::string out = "\"";
    for (unsigned char c : repaired) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '/': out += "\\/"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
          } else {
            out.push_back(static_cast<char>(c));
          }
      }
    }
    return out + "\"";
  };
  const std::vector<std::string> pieces = {
      "a", "~", " ", "\"", "\\", "/", "\x1f", std::string(1, '\0'), "\x7f", "\xC3\xA9",
      "\xE4\xB8\xAD", "\xF0\x9F\x91\x8D", "\xED\xA0\x80", "\xE0\xA0\x80", "\xE0\x80\x80",
      "\xC3", "\xE4\xB8", "\x80", "\xF5", "\xC0\xAF", "\xF0\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF",
      "\xF4\x90\x80\x80", "\xF3\xA0\x80\x81", "\xF0\x9F\x91"};
  std::mt19937 random(7);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const std::size_t count = random() % 30;
    for (std::size_t i = 0; i < count; ++i) {
      text += random() % 2 ? std::string(random() % 12, 'x') : pieces[random() % pieces.size()];
    }
    std::string out;
    appendJsonString(out, text);
    ASSERT_EQ(out, reference(text)) << ::testing::PrintToString(text);
  }
}

}  // namespace
}  // namespace vandrelis

namespace vandrelis {
namespace {

void ignoreSignal(int) {}

TEST(JsonWriter, InterruptedWritesAreResumed) {
  // A handler installed without SA_RESTART makes a blocked write fail with EINTR or return
  // short; the document must still arrive whole.
  struct sigaction action {}, previous{};
  action.sa_handler = ignoreSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  SnapshotOutput snapshot;
  EventOutput event;
  event.title = std::string(300000, 'y');
  snapshot.events.push_back(event);
  const std::string expected = encodeJson(snapshot) + "\n";

  std::atomic<bool> done = false;
  std::thread writer([&] {
    writeJson(snapshot, fds[1]);
    done = true;
  });
  std::string received;
  char buffer[1024];
  while (received.size() < expected.size()) {
    ::pthread_kill(writer.native_handle(), SIGUSR1);
    ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
  }
  writer.join();
  ::close(fds[0]);
  ::close(fds[1]);
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_TRUE(done);
  EXPECT_EQ(received, expected);
}

}  // namespace
}  // namespace vandrelis
