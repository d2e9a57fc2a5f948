// Which events are left out and what of them is read, every field's source, the caps counted
// in user-perceived characters, and the participant rules.
#include "event_conversion.h"

#include <cstdint>

#include <gtest/gtest.h>

#include "json_writer.h"
#include "memory_store.h"

namespace vandrelis {
namespace {

using testing::makeCalendar;
using testing::makeParticipant;
using testing::MemoryEvent;
using testing::MemoryParticipant;

constexpr store::Instant kMay1 = 1714521600;  // 2024-05-01T00:00:00Z

std::string repeat(std::string_view unit, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out.append(unit);
  return out;
}

MemoryEvent plainEvent() {
  MemoryEvent event;
  event.calendarValue = makeCalendar("cal-1");
  event.itemIdentifier = "item-1";
  event.start = kMay1;
  event.end = kMay1 + 1800;
  event.titleValue = "Standup";
  return event;
}

TEST(EventConversion, LeftOutEventsAreReadNoFurtherThanNeeded) {
  MemoryEvent canceled = plainEvent();
  canceled.statusValue = 3;
  EXPECT_EQ(eventOutput(canceled), std::nullopt);
  EXPECT_EQ(canceled.log->count("status"), 1);
  EXPECT_EQ(canceled.log->count("startDate"), 0);

  MemoryEvent noStart = plainEvent();
  noStart.start.reset();
  EXPECT_EQ(eventOutput(noStart), std::nullopt);
  EXPECT_EQ(noStart.log->count("endDate"), 0);

  MemoryEvent noEnd = plainEvent();
  noEnd.end.reset();
  EXPECT_EQ(eventOutput(noEnd), std::nullopt);
  for (const char* property : {"title", "hasRecurrenceRules", "calendarItemIdentifier", "calendar",
                               "notes", "attendees", "organizer"}) {
    EXPECT_EQ(noEnd.log->count(property), 0) << property;
  }

  MemoryEvent noCalendar = plainEvent();
  noCalendar.calendarValue.reset();
  EXPECT_EQ(eventOutput(noCalendar), std::nullopt);
}

TEST(EventConversion, FieldsComeFromTheirProperties) {
  MemoryEvent event = plainEvent();
  event.externalIdentifier = "uid@example";
  event.notesValue = "";
  event.locationValue = "Room 1";
  event.urlValue = "https://example.org/page";  // any URL is the meeting link
  event.lastModified = kMay1 - 0.75;
  event.allDay = false;
  event.recurrenceRules = true;
  event.organizerValue = makeParticipant("Ann", "mailto:ann@example.org", 2, true);
  event.attendeesValue.emplace({event.organizerValue, makeParticipant(std::nullopt, "x", 0)});

  std::optional<EventOutput> output = eventOutput(event);
  ASSERT_TRUE(output);
  EXPECT_EQ(output->calendarExternalId, "cal-1");
  EXPECT_EQ(output->recurrenceId, "time:1714521600000");
  EXPECT_EQ(output->sourceEventId, "item-1:time:1714521600000");
  EXPECT_EQ(output->icalUid, "uid@example");
  EXPECT_EQ(output->title, "Standup");
  EXPECT_EQ(output->description, "");  // empty notes stay present
  EXPECT_EQ(output->startsAt, "2024-05-01T00:00:00.000Z");
  EXPECT_EQ(output->endsAt, "2024-05-01T00:30:00.000Z");
  EXPECT_FALSE(output->isAllDay);
  EXPECT_EQ(output->status, "confirmed");
  EXPECT_EQ(output->meetingUrl, "https://example.org/page");
  EXPECT_EQ(output->location, "Room 1");
  EXPECT_EQ(output->sourceUpdatedAt, "2024-04-30T23:59:59.250Z");
  ASSERT_TRUE(output->organizer && output->attendees);
  // The organizer listed among the attendees is reported in both places, converted alike.
  ASSERT_EQ(output->attendees->size(), 2u);
  EXPECT_EQ(encodeJson((*output->attendees)[0]), encodeJson(*output->organizer));
  EXPECT_EQ(output->organizer->email, "ann@example.org");

  MemoryEvent bare = plainEvent();
  bare.titleValue.reset();
  output = eventOutput(bare);
  ASSERT_TRUE(output);
  EXPECT_EQ(output->title, "(no title)");
  EXPECT_EQ(output->recurrenceId, "single");
  EXPECT_EQ(output->sourceEventId, "item-1:single");
  EXPECT_FALSE(output->icalUid || output->description || output->meetingUrl || output->location ||
               output->organizer || output->attendees || output->sourceUpdatedAt);
  bare.titleValue = "";
  EXPECT_EQ(eventOutput(bare)->title, "");

  for (auto [status, word] : {std::pair{0, "confirmed"},
                              {1, "confirmed"},
                              {2, "tentative"},
                              {4, "confirmed"},
                              {-1, "confirmed"}}) {
    bare.statusValue = status;
    EXPECT_EQ(eventOutput(bare)->status, word) << status;
  }

  // Two occurrences of one repeating event differ only in the recurrence part.
  MemoryEvent first = plainEvent(), second = plainEvent();
  first.recurrenceRules = second.recurrenceRules = true;
  second.start = kMay1 + 86400;
  second.end = kMay1 + 86400 + 1800;
  EXPECT_EQ(eventOutput(first)->sourceEventId, "item-1:time:1714521600000");
  EXPECT_EQ(eventOutput(second)->sourceEventId, "item-1:time:1714608000000");
}

TEST(EventConversion, TextCapsCountUserPerceivedCharacters) {
  MemoryEvent event = plainEvent();
  auto title = [&](std::string text) {
    event.titleValue = std::move(text);
    return eventOutput(event)->title;
  };
  EXPECT_EQ(title(repeat("a", 513)), repeat("a", 512));
  EXPECT_EQ(title(repeat("a", 512)), repeat("a", 512));
  // Clusters of several code points: skin-tone modifier, ZWJ family, flag, combining mark,
  // Hangul jamo; 512 of them are whole, the 513th goes.
  for (std::string_view cluster :
       {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD",
        "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7",
        "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7", "e\xCC\x81", "\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB",
        "\r\n"}) {
    EXPECT_EQ(title(repeat(cluster, 512)), repeat(cluster, 512));
    EXPECT_EQ(title(repeat(cluster, 513)), repeat(cluster, 512));
  }
  // A combining mark right after an ASCII run belongs to the last ASCII character.
  EXPECT_EQ(title(repeat("a", 512) + "\xCC\x81" + "b"), repeat("a", 512) + "\xCC\x81");
  EXPECT_EQ(title(repeat("a", 511) + "\r\n" + "b"), repeat("a", 511) + "\r\n");
  // Odd flags: regional indicators pair up from the start.
  EXPECT_EQ(title("x" + repeat("\xF0\x9F\x87\xAB", 1023)), "x" + repeat("\xF0\x9F\x87\xAB", 1022));

  event.titleValue = "T";
  event.notesValue = repeat("\xE4\xB8\xAD", 20001);
  event.urlValue = "https://x/" + repeat("p", 2100);
  event.locationValue = repeat("\xD0\x96", 1025);
  std::optional<EventOutput> output = eventOutput(event);
  EXPECT_EQ(output->description, repeat("\xE4\xB8\xAD", 20000));
  EXPECT_EQ(output->meetingUrl->size(), 2048u);
  EXPECT_EQ(output->location, repeat("\xD0\x96", 1024));
}

TEST(EventConversion, AttendeeListIsCutBeforeAnyoneIsRead) {
  MemoryEvent event = plainEvent();
  EXPECT_FALSE(eventOutput(event)->attendees);
  event.attendeesValue.emplace();
  ASSERT_TRUE(eventOutput(event)->attendees);
  EXPECT_TRUE(eventOutput(event)->attendees->empty());

  for (int i = 0; i < 150; ++i) {
    event.attendeesValue->push_back(
        makeParticipant(std::string("P").append(std::to_string(i)),
                        std::string("mailto:p").append(std::to_string(i)).append("@x")));
  }
  std::optional<EventOutput> output = eventOutput(event);
  ASSERT_EQ(output->attendees->size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ((*output->attendees)[i].name, std::string("P").append(std::to_string(i)));
  for (int i = 100; i < 150; ++i) {
    const MemoryParticipant& late = *(*event.attendeesValue)[i];
    EXPECT_EQ(late.log->count("participant.url") + late.log->count("participant.name") +
                  late.log->count("participant.participantStatus") +
                  late.log->count("participant.isCurrentUser"),
              0);
  }
}

TEST(EventConversion, ParticipantEmailNameAndStatus) {
  auto party = [](std::optional<std::string> name, std::string url, std::int64_t status = 2) {
    return partyOutput(*makeParticipant(std::move(name), std::move(url), status));
  };
  EXPECT_EQ(party("A", "MAILTO:Ann.Lee@Example.ORG").email, "Ann.Lee@Example.ORG");
  EXPECT_EQ(party("A", "MailTo:a%40b?subject=Hi").email, "a%40b?subject=Hi");
  EXPECT_EQ(party("A", "mailto:").email, "");
  EXPECT_EQ(party("A", "mailto").email, std::nullopt);
  EXPECT_EQ(party("A", "").email, std::nullopt);
  EXPECT_EQ(party("A", "https://mailto:a@b").email, std::nullopt);
  EXPECT_EQ(party("A", "urn:ann@example.org").email, std::nullopt);
  // A mark combining with the ":" makes the seventh character something else.
  EXPECT_EQ(party("A",
                  "mailto:\xCC\x81"
                  "a@b")
                .email,
            std::nullopt);
  EXPECT_EQ(party("A", "mailto:" + repeat("e", 400)).email, repeat("e", 320));
  EXPECT_EQ(party("A", "mailto:" + repeat("\xC3\xA9", 400)).email, repeat("\xC3\xA9", 320));

  EXPECT_EQ(party(repeat("n", 300), "x").name, repeat("n", 256));
  EXPECT_EQ(party(std::nullopt, "x").name, std::nullopt);
  EXPECT_EQ(party("", "x").name, "");

  const char* words[] = {"pending",   "accepted",  "declined",  "tentative",
                         "delegated", "completed", "in-process"};
  for (int status = 1; status <= 7; ++status) {
    EXPECT_EQ(party("A", "x", status).status, words[status - 1]);
  }
  for (std::int64_t status : {0L, 8L, -1L, INT64_MIN, INT64_MAX}) {
    EXPECT_EQ(party("A", "x", status).status, std::nullopt) << status;
  }
  EXPECT_TRUE(partyOutput(*makeParticipant("A", "x", 2, true)).isCurrentUser);
  EXPECT_FALSE(party("A", "x").isCurrentUser);
}

}  // namespace
}  // namespace vandrelis
