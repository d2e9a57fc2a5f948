// The snapshot command through the frame: the order of its failure checks, option matching,
// calendar selection and the document it writes; and at process level, the permission gate
// and the option checks of the shipped program.
#include "snapshot.h"

#include <stdio.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "event_conversion.h"
#include "json_writer.h"
#include "memory_store.h"
#ifdef __linux__
#include "store/vdir/vdir_store.h"
#endif
#include "test_support.h"
#ifdef __linux__
#include "vdir_fixtures.h"
#endif

namespace vandrelis {
namespace {

using testing::makeCalendar;
using testing::MemoryEvent;
using testing::MemoryStore;
using testing::runInProcess;
using testing::RunResult;

constexpr store::Instant kMay1 = 1714521600;  // 2024-05-01T00:00:00Z
constexpr const char* kDenied = "vandrelis-eventkit: Calendar permission is not granted\n";
constexpr const char* kInvalidWindow = "vandrelis-eventkit: Invalid snapshot window\n";

std::shared_ptr<MemoryStore> storeWithCalendars(std::vector<std::string> identifiers) {
  auto store = std::make_shared<MemoryStore>();
  for (std::string& identifier : identifiers) store->calendars.push_back(makeCalendar(identifier));
  return store;
}

std::shared_ptr<MemoryEvent> event(std::string item, std::string title) {
  auto made = std::make_shared<MemoryEvent>();
  made->itemIdentifier = std::move(item);
  made->titleValue = std::move(title);
  made->start = kMay1;
  made->end = kMay1 + 3600;
  return made;
}

std::vector<std::string> command(std::vector<std::string> options) {
  options.insert(options.begin(), "snapshot");
  return options;
}

// Expects the run to fail with exactly this report and nothing on standard output.
void expectFailure(const RunResult& result, const std::string& report) {
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, report);
}

TEST(Snapshot, PermissionIsCheckedBeforeAnyArgument) {
  for (std::int64_t status : {store::kStatusNotDetermined, store::kStatusRestricted,
                              store::kStatusDenied, store::kStatusWriteOnly, std::int64_t{42}}) {
    auto store = storeWithCalendars({"A"});
    store->status = status;
    expectFailure(runInProcess(command({}), store), kDenied);
    expectFailure(runInProcess(command({"--start", "bad", "--calendar", "A"}), store), kDenied);
    EXPECT_EQ(store->calendarListReads + store->queryCount, 0);
  }
}

TEST(Snapshot, FailureChecksRunInOrder) {
  const std::string start = "2024-05-01T00:00:00.000Z", end = "2024-05-02T00:00:00.000Z";
  const std::string missingStart = "vandrelis-eventkit: Missing --start\n";
  const std::string missingEnd = "vandrelis-eventkit: Missing --end\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, missingStart},
      {{"--end", end, "--start"}, missingStart},
      {{"--Start", start, "--end", end}, missingStart},
      {{"--start=" + start, "--end", end}, missingStart},
      {{"--start", start}, missingEnd},
      {{"--start", "not a date"}, missingEnd},  // both looked up before either is parsed
      {{"--start", start, "--end"}, missingEnd},
      {{"--start", "--end", end}, kInvalidWindow},  // the start text is "--end"
      {{"--start", "2024-05-01T00:00:00Z", "--end", end}, kInvalidWindow},
      {{"--start", start, "--end", "2024-05-32T00:00:00.000Z"}, kInvalidWindow},
      {{"--start", start, "--end", start}, kInvalidWindow},
      {{"--start", end, "--end", start}, kInvalidWindow},
      // The same instant written with two offsets.
      {{"--start", "2024-05-01T02:00:00.000+02:00", "--end", start}, kInvalidWindow},
      // Only the first occurrence of an option counts, even when a later one would do.
      {{"--start", "x", "--start", start, "--end", end}, kInvalidWindow},
  };
  for (const auto& [options, report] : cases) {
    auto store = storeWithCalendars({"A"});
    expectFailure(runInProcess(command(options), store), report);
    EXPECT_EQ(store->calendarListReads + store->queryCount, 0) << report;
  }
}

TEST(Snapshot, WindowGoesToTheQueryAsParsed) {
  auto store = storeWithCalendars({"A"});
  RunResult result = runInProcess(
      command({"stray", "--start", "2024-05-01T02:00:00.000+02:00", "--unknown", "--end",
               "2024-05-01T00:00:00.001Z", "--start", "2030-01-01T00:00:00.000Z"}),
      store);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, "{\"events\":[]}\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(store->queryCount, 1);
  EXPECT_EQ(store->lastQueryStart, kMay1);
  EXPECT_DOUBLE_EQ(store->lastQueryEnd, kMay1 + 0.001);
}

TEST(Snapshot, CalendarSelection) {
  const std::vector<std::string> window = {"--start", "2024-05-01T00:00:00.000Z", "--end",
                                           "2024-05-02T00:00:00.000Z"};
  auto selection = [&](std::vector<std::string> identifiers, std::vector<std::string> options) {
    auto store = storeWithCalendars(std::move(identifiers));
    store->events.push_back(event("i", "T"));
    options.insert(options.begin(), window.begin(), window.end());  // so a --calendar can be last
    RunResult result = runInProcess(command(options), store);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(store->queryCount, 1);
    return store->lastQueryCalendars;
  };
  using List = std::vector<std::string>;
  // No --calendar: the query gets an empty list, never every calendar.
  EXPECT_EQ(selection({"A", "B"}, {}), List{});
  // Store order, each once, unknown identifiers dropped.
  EXPECT_EQ(selection({"A", "B", "C"}, {"--calendar", "C", "--calendar", "nope", "--calendar", "A",
                                        "--calendar", "C"}),
            (List{"A", "C"}));
  // A trailing --calendar is ignored; a value is itself tested as an option name.
  EXPECT_EQ(selection({"A", "B"}, {"--calendar", "B", "--calendar"}), List{"B"});
  EXPECT_EQ(selection({"X", "--calendar", "Y"}, {"--calendar", "--calendar", "X"}),
            (List{"X", "--calendar"}));
  // Whole, case-sensitive, canonically equivalent: composed and decomposed e-acute match.
  EXPECT_EQ(selection({"caf\xC3\xA9", "Work", "work"},
                      {"--calendar", "cafe\xCC\x81", "--calendar", "WORK", "--calendar", "work",
                       "--calendars", "Work"}),
            (List{"caf\xC3\xA9", "work"}));
}

TEST(Snapshot, EventsAreConvertedInQueryOrderAndWrittenOnce) {
  auto store = storeWithCalendars({"A"});
  auto canceled = event("gone", "Canceled");
  canceled->statusValue = 3;
  auto undated = event("gone", "Undated");
  undated->end.reset();
  auto second = event("i2", "Second");
  second->calendarValue = store->calendars[0];
  auto first = event("i1", "First/\"one\"");
  first->calendarValue = store->calendars[0];
  first->allDay = true;
  first->statusValue = 2;
  first->attendeesValue.emplace();
  store->events = {second, canceled, first, undated, second};

  RunResult result = runInProcess(command({"--start", "2024-05-01T00:00:00.000Z", "--end",
                                           "2024-05-02T00:00:00.000Z", "--calendar", "A"}),
                                  store);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.err, "");
  const std::string secondJson =
      R"({"calendarExternalId":"A","endsAt":"2024-05-01T01:00:00.000Z","isAllDay":false,)"
      R"("recurrenceId":"single","sourceEventId":"i2:single",)"
      R"("startsAt":"2024-05-01T00:00:00.000Z","status":"confirmed","title":"Second"})";
  const std::string firstJson =
      R"({"attendees":[],"calendarExternalId":"A","endsAt":"2024-05-01T01:00:00.000Z",)"
      R"("isAllDay":true,"recurrenceId":"single","sourceEventId":"i1:single",)"
      R"("startsAt":"2024-05-01T00:00:00.000Z","status":"tentative","title":"First\/\"one\""})";
  EXPECT_EQ(result.out, "{\"events\":[" + secondJson + "," + firstJson + "," + secondJson + "]}\n");

  // Nothing kept: an empty list, still one document.
  store->events = {canceled, undated};
  result = runInProcess(command({"--start", "2024-05-01T00:00:00.000Z", "--end",
                                 "2024-05-02T00:00:00.000Z", "--calendar", "A"}),
                        store);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, "{\"events\":[]}\n");
}

#if defined(EVENTKIT_BINARY) && defined(__linux__)
// What the command writes to a file, read back.
std::string streamedSnapshot(const store::CalendarStore& store,
                             const std::vector<std::string>& arguments) {
  std::FILE* file = std::tmpfile();
  snapshot(store, arguments, ::fileno(file));
  std::string bytes(static_cast<std::size_t>(::lseek(::fileno(file), 0, SEEK_END)), '\0');
  EXPECT_EQ(::pread(::fileno(file), bytes.data(), bytes.size(), 0),
            static_cast<ssize_t>(bytes.size()));
  std::fclose(file);
  return bytes;
}

// The same query through the single-document writer: every record converted, then encoded
// as one SnapshotOutput.
std::string wholeDocument(const store::CalendarStore& store, store::Instant start,
                          store::Instant end, const store::CalendarList& calendars) {
  SnapshotOutput output;
  for (const auto& fetched : store.eventsMatching(start, end, calendars)) {
    if (!fetched) continue;
    if (std::optional<EventOutput> converted = eventOutput(*fetched)) {
      output.events.push_back(std::move(*converted));
    }
  }
  return encodeJson(output) + "\n";
}

TEST(Snapshot, StreamedBytesAreTheSingleDocumentWritersBytes) {
  // The sample tree over a year: the store's own query path, under one buffer.
  store::VdirStore samples(std::filesystem::path(EVENTKIT_SOURCE_DIR) / "samples" / "calendars");
  std::vector<std::string> arguments = command({"--start", "2024-01-01T00:00:00.000Z", "--end",
                                                "2025-01-01T00:00:00.000Z"});
  for (const auto& calendar : samples.calendarsForEvents()) {
    arguments.insert(arguments.end(), {"--calendar", calendar->calendarIdentifier()});
  }
  const std::string sampleBytes = streamedSnapshot(samples, arguments);
  EXPECT_EQ(sampleBytes, wholeDocument(samples, 1704067200, 1735689600,
                                       samples.calendarsForEvents()));
  EXPECT_GT(sampleBytes.size(), 1000u);

  // Many chunks: records of every size, one far larger than the buffer, null and skipped
  // events between them, so records straddle every chunk boundary.
  auto store = storeWithCalendars({"A"});
  for (int i = 0; i < 3000; ++i) {
    auto made = event("item-" + std::to_string(i), "Event \"" + std::to_string(i) + "\" \xC3\xA9/");
    made->calendarValue = store->calendars[0];
    made->notesValue = std::string(static_cast<std::size_t>(i % 97) * 13, 'n');
    if (i == 1500) made->notesValue = std::string(3 * DocumentStream::kBufferSize, 'x');
    if (i % 7 == 0) made->statusValue = 3;
    if (i % 11 == 0) made->attendeesValue.emplace(5, testing::makeParticipant("P", "mailto:p@x"));
    store->events.push_back(made);
  }
  store->events.push_back(nullptr);
  arguments = command({"--start", "2024-05-01T00:00:00.000Z", "--end",
                       "2024-05-02T00:00:00.000Z", "--calendar", "A"});
  const std::string memoryBytes = streamedSnapshot(*store, arguments);
  EXPECT_GT(memoryBytes.size(), 4 * DocumentStream::kBufferSize);
  EXPECT_EQ(memoryBytes, wholeDocument(*store, kMay1, kMay1 + 86400, store->calendarsForEvents()));
}

std::size_t countOf(std::string_view text, std::string_view part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// Records of repeating events are written from the first occurrence's record with the instants
// filled in: the bytes must be those of converting each occurrence in full, for texts that
// need escapes, item names that are not UTF-8, all-day and zoned series, and occurrences
// that are left out.
TEST(Snapshot, RepeatedOccurrencesAreWrittenAsIfConvertedAlone) {
  testing::TempDir home;
  const std::filesystem::path calendar =
      std::filesystem::path(home.path()) / "calendars" / "account" / "series";
  const auto write = [&](const std::string& name, const std::string& event) {
    testing::writeFile(calendar / name, "BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//t//EN\n"
                                        "BEGIN:VEVENT\n" + event + "END:VEVENT\nEND:VCALENDAR\n");
  };
  std::string attendees;
  for (int i = 0; i < 30; ++i) {
    attendees += "ATTENDEE;CN=\"Person " + std::to_string(i) +
                 " / \xC3\xA9\";PARTSTAT=ACCEPTED:mailto:p" + std::to_string(i) + "@x.org\n";
  }
  write("daily.ics", "UID:daily\nSUMMARY:Say \"hi\" / bye\nDTSTART:20240501T090000Z\n"
                     "DTEND:20240501T093000Z\nRRULE:FREQ=DAILY;COUNT=40\n" + attendees);
  write("bad\xFF name.ics", "UID:bad\nSUMMARY:x\nDTSTART;TZID=Europe/Berlin:20240502T120000\n"
                              "DURATION:PT1H\nRRULE:FREQ=WEEKLY\nORGANIZER;CN=O:mailto:o@x\n");
  write("days.ics", "UID:days\nSUMMARY:Off\nDTSTART;VALUE=DATE:20240503\nRRULE:FREQ=DAILY;INTERVAL=3\n");
  write("cancelled.ics", "UID:c\nSTATUS:CANCELLED\nDTSTART:20240501T100000Z\nRRULE:FREQ=DAILY\n");
  write("moved.ics", "UID:m\nSUMMARY:Base\nDTSTART:20240501T110000Z\nDURATION:PT1H\n"
                     "RRULE:FREQ=DAILY;COUNT=5\nEXDATE:20240503T110000Z\nEND:VEVENT\nBEGIN:VEVENT\n"
                     "UID:m\nRECURRENCE-ID:20240502T110000Z\nSUMMARY:Moved\n"
                     "DTSTART:20240502T150000Z\nDURATION:PT2H\n");

  store::VdirStore store(std::filesystem::path(home.path()) / "calendars",
                         {true, std::filesystem::path(home.path()) / "index", 2.0});
  const std::string bytes = streamedSnapshot(
      store, command({"--start", "2024-05-01T00:00:00.000Z", "--end", "2024-06-15T00:00:00.000Z",
                      "--calendar", "account/series"}));
  EXPECT_EQ(bytes, wholeDocument(store, kMay1, kMay1 + 45 * 86400, store.calendarsForEvents()));
  EXPECT_EQ(countOf(bytes, "\"startsAt\""), 40u + 7 + 15 + 4);
  EXPECT_EQ(countOf(bytes, "\"name\":\"Person 7 \\/ \xC3\xA9\""), 40u);
}

// The shipped program with its own store rooted in a temporary XDG_DATA_HOME.
TEST(SnapshotProcess, PermissionGateAndOptionChecks) {
  testing::TempDir home;
  const std::map<std::string, std::string> environment = {{"XDG_DATA_HOME", home.path()}};
  auto run = [&](std::vector<std::string> options) {
    options.insert(options.begin(), {EVENTKIT_BINARY, "snapshot"});
    return testing::runProcess(EVENTKIT_BINARY, options, environment);
  };
  // No store root yet: permission not determined.
  expectFailure(run({"--start", "x"}), kDenied);

  std::filesystem::create_directories(home.path() + "/vandrelis/calendars");
  expectFailure(run({"--end", "2024-05-02T00:00:00.000Z"}),
                "vandrelis-eventkit: Missing --start\n");
  expectFailure(run({"--start", "2024-05-02T00:00:00.000Z", "--end", "2024-05-01T00:00:00.000Z"}),
                kInvalidWindow);
  RunResult result =
      run({"--start", "2024-05-01T00:00:00.000Z", "--end", "2024-05-02T00:00:00.000Z"});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, "{\"events\":[]}\n");
  EXPECT_EQ(result.err, "");
}
#endif

}  // namespace
}  // namespace vandrelis
