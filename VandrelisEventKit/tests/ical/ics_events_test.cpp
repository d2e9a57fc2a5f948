// Parsing and expansion of iCalendar items: properties, participants, time zones, recurrence
// and the window's edges, checked against instants worked out by hand.
#include "ical/ics_events.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>

#include "ical/time_zone.h"
#include "vdir_fixtures.h"

namespace vandrelis::store {
namespace {

using testing::at;
using testing::ics;
using testing::ScopedTimeZone;

// The calendar an item belongs to; the engine only hands it on to its events.
class TestCalendar final : public Calendar {
 public:
  std::string calendarIdentifier() const override { return "work/main"; }
  std::string title() const override { return "Main"; }
  std::optional<CalendarColor> color() const override { return std::nullopt; }
  std::shared_ptr<const Source> source() const override { return nullptr; }
  bool allowsContentModifications() const override { return true; }
};

IcsItem testItem(std::string identifier = "work/main/item") {
  return {std::make_shared<TestCalendar>(), std::move(identifier), [](std::string_view address) {
            std::string lower(address);
            for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return lower == "me@example.org";
          }};
}

VdirEventList expand(const std::string& text, const std::string& start, const std::string& end) {
  VdirEventList events;
  EXPECT_TRUE(appendIcsOccurrences(text, testItem(), at(start), at(end), events));
  std::stable_sort(events.begin(), events.end(),
                   [](const auto& a, const auto& b) { return occursBefore(*a, *b); });
  return events;
}

std::shared_ptr<const VdirEvent> byUid(const VdirEventList& events, const std::string& uid) {
  for (const auto& event : events) {
    if (event->calendarItemExternalIdentifier() == uid) return event;
  }
  ADD_FAILURE() << "no event " << uid;
  return std::make_shared<VdirEvent>(std::make_shared<VdirEventData>(), std::nullopt,
                                     std::nullopt, std::nullopt);
}

std::vector<Instant> starts(const VdirEventList& events) {
  std::vector<Instant> out;
  for (const auto& event : events) out.push_back(event->startDate().value_or(-1));
  return out;
}

TEST(IcsEvents, PropertiesAndParticipants) {
  VdirEventList events = expand(ics(R"(BEGIN:VEVENT
UID:full
SUMMARY:Planning\, phase 2
DESCRIPTION:Line one\nLine two
LOCATION:
URL:https://meet.example.com/abc?x=1
LAST-MODIFIED:20240401T120000Z
STATUS:TENTATIVE
DTSTART:20240501T100000Z
DTEND:20240501T110000Z
ORGANIZER;CN=Olga:mailto:olga@example.org
ATTENDEE;CN="Me, Myself";PARTSTAT=ACCEPTED:MAILTO:Me@Example.org
ATTENDEE;PARTSTAT=DECLINED:mailto:other@example.org
ATTENDEE;PARTSTAT=IN-PROCESS:urn:uuid:room-1
ATTENDEE;PARTSTAT=X-FOO:mailto:x@example.org
ATTENDEE;PARTSTAT=NEEDS-ACTION:mailto:y@example.org
ATTENDEE;PARTSTAT=TENTATIVE:mailto:t@example.org
ATTENDEE;PARTSTAT=DELEGATED:mailto:d@example.org
ATTENDEE;PARTSTAT=COMPLETED:mailto:c@example.org
ATTENDEE:mailto:none@example.org
END:VEVENT
BEGIN:VEVENT
UID:bare
STATUS:CANCELLED
DTSTART:20240502T100000Z
END:VEVENT
BEGIN:VEVENT
UID:confirmed
STATUS:CONFIRMED
SUMMARY:
DTSTART:20240503T100000Z
END:VEVENT
BEGIN:VEVENT
SUMMARY:no uid
DTSTART:20240504T100000Z
END:VEVENT
)"),
                                "2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z");
  ASSERT_EQ(events.size(), 4u);

  auto full = byUid(events, "full");
  // Several UIDs in one item: each event has its own identifier.
  EXPECT_EQ(full->calendarItemIdentifier(), "work/main/item/full");
  EXPECT_EQ(full->calendar()->calendarIdentifier(), "work/main");
  EXPECT_EQ(full->title(), "Planning, phase 2");
  EXPECT_EQ(full->notes(), "Line one\nLine two");
  EXPECT_EQ(full->location(), "");  // an empty value stays empty
  EXPECT_EQ(full->url(), "https://meet.example.com/abc?x=1");
  EXPECT_EQ(full->lastModifiedDate(), at("2024-04-01T12:00:00Z"));
  EXPECT_EQ(full->status(), 2);
  EXPECT_EQ(full->startDate(), at("2024-05-01T10:00:00Z"));
  EXPECT_EQ(full->endDate(), at("2024-05-01T11:00:00Z"));
  EXPECT_FALSE(full->isAllDay());
  EXPECT_FALSE(full->hasRecurrenceRules());
  EXPECT_EQ(full->occurrenceDate(), std::nullopt);
  EXPECT_EQ(full->timeZone(), std::nullopt);

  ASSERT_NE(full->organizer(), nullptr);
  EXPECT_EQ(full->organizer()->name(), "Olga");
  EXPECT_EQ(full->organizer()->url(), "mailto:olga@example.org");
  EXPECT_FALSE(full->organizer()->isCurrentUser());
  EXPECT_EQ(full->organizer()->participantStatus(), 0);

  ASSERT_TRUE(full->attendees().has_value());
  ParticipantList attendees = *full->attendees();
  ASSERT_EQ(attendees.size(), 9u);
  EXPECT_EQ(attendees[0]->name(), "Me, Myself");
  EXPECT_EQ(attendees[0]->url(), "MAILTO:Me@Example.org");  // as written
  EXPECT_TRUE(attendees[0]->isCurrentUser());               // scheme and address in any case
  EXPECT_EQ(attendees[1]->name(), std::nullopt);
  EXPECT_FALSE(attendees[1]->isCurrentUser());
  EXPECT_EQ(attendees[2]->url(), "urn:uuid:room-1");
  EXPECT_FALSE(attendees[2]->isCurrentUser());
  std::vector<std::int64_t> statuses;
  for (const auto& attendee : attendees) statuses.push_back(attendee->participantStatus());
  // No PARTSTAT: NEEDS-ACTION, "pending".
  EXPECT_EQ(statuses, (std::vector<std::int64_t>{2, 3, 7, 0, 1, 4, 5, 6, 1}));

  auto bare = byUid(events, "bare");
  EXPECT_EQ(bare->title(), std::nullopt);
  EXPECT_EQ(bare->notes(), std::nullopt);
  EXPECT_EQ(bare->location(), std::nullopt);
  EXPECT_EQ(bare->url(), std::nullopt);
  EXPECT_EQ(bare->lastModifiedDate(), std::nullopt);
  EXPECT_EQ(bare->organizer(), nullptr);
  EXPECT_EQ(bare->attendees(), std::nullopt);  // no ATTENDEE: no list at all
  EXPECT_EQ(bare->status(), 3);                // handed on; the conversion leaves it out
  EXPECT_EQ(bare->endDate(), bare->startDate());

  EXPECT_EQ(byUid(events, "confirmed")->status(), 1);
  EXPECT_EQ(byUid(events, "confirmed")->title(), "");
  EXPECT_EQ(events.back()->calendarItemExternalIdentifier(), std::nullopt);
  EXPECT_EQ(events.back()->title(), "no uid");
  EXPECT_EQ(events.back()->status(), 0);
}

// Spellings that calendar programs write and RFC 5545 and RFC 6868 allow or tolerate.
TEST(IcsEvents, ParameterAndValueSpellings) {
  VdirEventList events = expand(ics(R"(BEGIN:VEVENT
UID:s
SEQUENCE: 2nd
SUMMARY:kept
STATUS: cancelled 
DTSTART:20240501T100000Z
ORGANIZER;CN="^'Boss^' ^^ Co^nLtd";CN=Other:mailto:boss@example.org 
ATTENDEE;PARTSTAT=accepted;PARTSTAT=DECLINED:mailto:a@example.org
ATTENDEE;PARTSTAT="Tentative":mailto:b@example.org
ATTENDEE;PARTSTAT=INPROCESS:mailto:c@example.org
ATTENDEE;CN=caret^x;PARTSTAT=:mailto:d@example.org
END:VEVENT
BEGIN:VEVENT
UID:s
SEQUENCE:1
SUMMARY:older
DTSTART:20240501T100000Z
END:VEVENT
)"),
                                "2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z");
  ASSERT_EQ(events.size(), 1u);
  const auto& event = events.front();
  EXPECT_EQ(event->title(), "kept");  // SEQUENCE " 2nd" reads as 2
  EXPECT_EQ(event->status(), 3);
  ASSERT_NE(event->organizer(), nullptr);
  EXPECT_EQ(event->organizer()->name(), "\"Boss\" ^ Co\nLtd");
  EXPECT_EQ(event->organizer()->url(), "mailto:boss@example.org");
  ASSERT_TRUE(event->attendees().has_value());
  const ParticipantList attendees = *event->attendees();
  std::vector<std::int64_t> statuses;
  for (const auto& attendee : attendees) statuses.push_back(attendee->participantStatus());
  EXPECT_EQ(statuses, (std::vector<std::int64_t>{2, 4, 7, 0}));
  EXPECT_EQ(attendees.back()->name(), "caret^x");
}

TEST(IcsEvents, TimeZonesDatesAndDurations) {
  ScopedTimeZone tokyo("Asia/Tokyo");  // the process's zone: +09:00 all year
  VdirEventList events = expand(ics(R"(BEGIN:VTIMEZONE
TZID:Custom Zone
BEGIN:STANDARD
DTSTART:19700101T000000
TZOFFSETFROM:+0530
TZOFFSETTO:+0530
END:STANDARD
END:VTIMEZONE
BEGIN:VTIMEZONE
TZID:Europe/Berlin
BEGIN:STANDARD
DTSTART:19700101T000000
TZOFFSETFROM:+0100
TZOFFSETTO:+0100
END:STANDARD
END:VTIMEZONE
BEGIN:VEVENT
UID:iana
DTSTART;TZID=America/New_York:20240501T090000
DTEND;TZID=America/New_York:20240501T100000
END:VEVENT
BEGIN:VEVENT
UID:custom
DTSTART;TZID=Custom Zone:20240501T090000
DURATION:PT1H30M
END:VEVENT
BEGIN:VEVENT
UID:file-wins
DTSTART;TZID=Europe/Berlin:20240701T120000
END:VEVENT
BEGIN:VEVENT
UID:windows
DTSTART;TZID=W. Europe Standard Time:20240701T120000
END:VEVENT
BEGIN:VEVENT
UID:prefixed
DTSTART;TZID=/freeassociation.sourceforge.net/Europe/Paris:20240701T120000
END:VEVENT
BEGIN:VEVENT
UID:utc
DTSTART:20240501T090000Z
DTEND;TZID=America/New_York:20240501T060000
END:VEVENT
BEGIN:VEVENT
UID:floating
DTSTART:20240501T090000
DTEND:20240501T093000
END:VEVENT
BEGIN:VEVENT
UID:unknown-zone
DTSTART;TZID=Mars/Olympus Mons:20240501T090000
END:VEVENT
BEGIN:VEVENT
UID:all-day
DTSTART;VALUE=DATE:20240501
DTEND;VALUE=DATE:20240503
END:VEVENT
BEGIN:VEVENT
UID:one-day
DTSTART;VALUE=DATE:20240510
END:VEVENT
BEGIN:VEVENT
UID:nominal-day
DTSTART;TZID=America/New_York:20240309T120000
DURATION:P1D
END:VEVENT
BEGIN:VEVENT
UID:backwards
DTSTART:20240601T100000Z
DTEND:20240601T090000Z
END:VEVENT
)"),
                                "2024-01-01T00:00:00Z", "2025-01-01T00:00:00Z");
  ASSERT_EQ(events.size(), 12u);

  auto iana = byUid(events, "iana");
  EXPECT_EQ(iana->startDate(), at("2024-05-01T13:00:00Z"));
  EXPECT_EQ(iana->endDate(), at("2024-05-01T14:00:00Z"));
  EXPECT_EQ(iana->timeZone(), "America/New_York");

  auto custom = byUid(events, "custom");
  EXPECT_EQ(custom->startDate(), at("2024-05-01T03:30:00Z"));
  EXPECT_EQ(custom->endDate(), at("2024-05-01T05:00:00Z"));
  EXPECT_EQ(custom->timeZone(), std::nullopt);  // not a zone of the system's database

  // The file's own VTIMEZONE (a fixed +01:00 here) wins over the system's Europe/Berlin.
  EXPECT_EQ(byUid(events, "file-wins")->startDate(), at("2024-07-01T11:00:00Z"));
  EXPECT_EQ(byUid(events, "windows")->startDate(), at("2024-07-01T10:00:00Z"));
  EXPECT_EQ(byUid(events, "windows")->timeZone(), "Europe/Berlin");
  EXPECT_EQ(byUid(events, "prefixed")->startDate(), at("2024-07-01T10:00:00Z"));
  EXPECT_EQ(byUid(events, "prefixed")->timeZone(), "Europe/Paris");

  auto utc = byUid(events, "utc");
  EXPECT_EQ(utc->startDate(), at("2024-05-01T09:00:00Z"));
  EXPECT_EQ(utc->endDate(), at("2024-05-01T10:00:00Z"));
  EXPECT_EQ(utc->timeZone(), std::nullopt);

  auto floating = byUid(events, "floating");
  EXPECT_EQ(floating->startDate(), at("2024-05-01T00:00:00Z"));
  EXPECT_EQ(floating->endDate(), at("2024-05-01T00:30:00Z"));
  EXPECT_EQ(floating->timeZone(), std::nullopt);
  EXPECT_EQ(byUid(events, "unknown-zone")->startDate(), at("2024-05-01T00:00:00Z"));
  EXPECT_EQ(byUid(events, "unknown-zone")->endDate(), at("2024-05-01T00:00:00Z"));

  auto allDay = byUid(events, "all-day");
  EXPECT_TRUE(allDay->isAllDay());
  EXPECT_EQ(allDay->startDate(), at("2024-04-30T15:00:00Z"));    // midnight in Tokyo
  EXPECT_EQ(allDay->endDate(), at("2024-05-02T14:59:59Z"));      // DTEND minus one second
  EXPECT_EQ(allDay->timeZone(), std::nullopt);
  EXPECT_EQ(byUid(events, "one-day")->endDate(), at("2024-05-10T14:59:59Z"));

  // A day of DURATION is a calendar day: 23 hours across the spring change.
  auto nominal = byUid(events, "nominal-day");
  EXPECT_EQ(nominal->startDate(), at("2024-03-09T17:00:00Z"));
  EXPECT_EQ(nominal->endDate(), at("2024-03-10T16:00:00Z"));
  EXPECT_EQ(byUid(events, "backwards")->endDate(), at("2024-06-01T10:00:00Z"));
}

TEST(IcsEvents, FilesWithDifferentDefinitionsOfOneTzidKeepTheirOwn) {
  auto fixed = [](const std::string& offset) {
    return ics("BEGIN:VTIMEZONE\nTZID:Office\nBEGIN:STANDARD\nDTSTART:19700101T000000\n"
               "TZOFFSETFROM:" + offset + "\nTZOFFSETTO:" + offset +
               "\nEND:STANDARD\nEND:VTIMEZONE\n"
               "BEGIN:VEVENT\nUID:o\nDTSTART;TZID=Office:20240501T120000\nEND:VEVENT\n");
  };
  for (int round = 0; round < 2; ++round) {  // the second round reads shared definitions
    EXPECT_EQ(starts(expand(fixed("+0100"), "2024-05-01T00:00:00Z", "2024-05-02T00:00:00Z")),
              std::vector<Instant>{at("2024-05-01T11:00:00Z")});
    EXPECT_EQ(starts(expand(fixed("+0300"), "2024-05-01T00:00:00Z", "2024-05-02T00:00:00Z")),
              std::vector<Instant>{at("2024-05-01T09:00:00Z")});
    // Written in lower case, the definition is not found in the text and libical's own
    // serialisation of it is the key.
    std::string lower = fixed("+0200");
    lower.replace(lower.find("BEGIN:VTIMEZONE"), 15, "begin:vtimezone");
    EXPECT_EQ(starts(expand(lower, "2024-05-01T00:00:00Z", "2024-05-02T00:00:00Z")),
              std::vector<Instant>{at("2024-05-01T10:00:00Z")});
  }
}

TEST(IcsEvents, WeeklySeriesKeepsItsWallTimeAcrossDaylightSaving) {
  VdirEventList events = expand(ics(R"(BEGIN:VEVENT
UID:weekly
DTSTART;TZID=Europe/Berlin:20240314T100000
DTEND;TZID=Europe/Berlin:20240314T110000
RRULE:FREQ=WEEKLY;COUNT=4
END:VEVENT
BEGIN:VEVENT
UID:weekly
RECURRENCE-ID:20240404T080000Z
DTSTART;TZID=Europe/Berlin:20240404T120000
DTEND;TZID=Europe/Berlin:20240404T130000
SUMMARY:moved, matched by instant across zones
END:VEVENT
)"),
                                "2024-03-01T00:00:00Z", "2024-05-01T00:00:00Z");
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(starts(events), (std::vector<Instant>{at("2024-03-14T09:00:00Z"),
                                                  at("2024-03-21T09:00:00Z"),
                                                  at("2024-03-28T09:00:00Z"),
                                                  at("2024-04-04T10:00:00Z")}));
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(events[i]->occurrenceDate(), events[i]->startDate());
    EXPECT_EQ(*events[i]->endDate() - *events[i]->startDate(), 3600);
    EXPECT_TRUE(events[i]->hasRecurrenceRules());
    EXPECT_EQ(events[i]->timeZone(), "Europe/Berlin");
    EXPECT_EQ(events[i]->title(), std::nullopt);
  }
  EXPECT_EQ(events[3]->occurrenceDate(), at("2024-04-04T08:00:00Z"));
  EXPECT_EQ(events[3]->title(), "moved, matched by instant across zones");
  EXPECT_TRUE(events[3]->hasRecurrenceRules());
}

TEST(IcsEvents, UntilCountExdateAndRdate) {
  ScopedTimeZone utc("UTC");
  VdirEventList events = expand(ics(R"(BEGIN:VEVENT
UID:daily
DTSTART:20240506T090000Z
DTEND:20240506T093000Z
RRULE:FREQ=DAILY;UNTIL=20240510T090000Z
EXDATE:20240508T090000Z
RDATE:20240520T150000Z
RDATE;VALUE=PERIOD:20240521T150000Z/PT2H
END:VEVENT
BEGIN:VEVENT
UID:days
DTSTART;VALUE=DATE:20240601
RRULE:FREQ=DAILY;COUNT=3
EXDATE;VALUE=DATE:20240602
END:VEVENT
BEGIN:VEVENT
UID:off-rule
DTSTART:20240101T090000Z
RRULE:FREQ=WEEKLY;BYDAY=WE;COUNT=3
END:VEVENT
BEGIN:VEVENT
UID:rdate-only
DTSTART:20240301T090000Z
RDATE:20240302T090000Z,20240301T090000Z
END:VEVENT
)"),
                                "2024-01-01T00:00:00Z", "2025-01-01T00:00:00Z");
  VdirEventList daily, days, offRule, rdateOnly;
  for (const auto& event : events) {
    std::string uid = event->calendarItemExternalIdentifier().value_or("");
    (uid == "daily" ? daily : uid == "days" ? days : uid == "off-rule" ? offRule : rdateOnly)
        .push_back(event);
  }
  EXPECT_EQ(starts(daily), (std::vector<Instant>{at("2024-05-06T09:00:00Z"),
                                                 at("2024-05-07T09:00:00Z"),
                                                 at("2024-05-09T09:00:00Z"),
                                                 at("2024-05-10T09:00:00Z"),
                                                 at("2024-05-20T15:00:00Z"),
                                                 at("2024-05-21T15:00:00Z")}));
  EXPECT_EQ(daily[4]->endDate(), at("2024-05-20T15:30:00Z"));  // the series' length
  EXPECT_EQ(daily[5]->endDate(), at("2024-05-21T17:00:00Z"));  // the period's own end
  EXPECT_EQ(starts(days), (std::vector<Instant>{at("2024-06-01T00:00:00Z"),
                                                at("2024-06-03T00:00:00Z")}));
  EXPECT_EQ(days[1]->occurrenceDate(), at("2024-06-03T00:00:00Z"));
  EXPECT_EQ(days[1]->endDate(), at("2024-06-03T23:59:59Z"));
  // DTSTART is the first occurrence even off the rule, and counts as one of COUNT.
  EXPECT_EQ(starts(offRule), (std::vector<Instant>{at("2024-01-01T09:00:00Z"),
                                                   at("2024-01-03T09:00:00Z"),
                                                   at("2024-01-10T09:00:00Z")}));
  // RDATE alone makes a series; an RDATE equal to DTSTART is one occurrence.
  EXPECT_EQ(starts(rdateOnly), (std::vector<Instant>{at("2024-03-01T09:00:00Z"),
                                                     at("2024-03-02T09:00:00Z")}));
  EXPECT_TRUE(rdateOnly[0]->hasRecurrenceRules());
  EXPECT_EQ(rdateOnly[0]->occurrenceDate(), at("2024-03-01T09:00:00Z"));
}

TEST(IcsEvents, OverridesMovedCancelledAndAlone) {
  std::string series = ics(R"(BEGIN:VEVENT
UID:s1
SUMMARY:Standup
DTSTART:20240506T090000Z
DTEND:20240506T100000Z
RRULE:FREQ=DAILY;COUNT=5
END:VEVENT
BEGIN:VEVENT
UID:s1
SUMMARY:Standup (moved)
RECURRENCE-ID:20240507T090000Z
DTSTART:20240507T140000Z
DTEND:20240507T150000Z
END:VEVENT
BEGIN:VEVENT
UID:s1
SUMMARY:Standup
STATUS:CANCELLED
RECURRENCE-ID:20240508T090000Z
DTSTART:20240508T090000Z
DTEND:20240508T100000Z
END:VEVENT
BEGIN:VEVENT
UID:s1
SUMMARY:Standup (much later)
RECURRENCE-ID;RANGE=THISANDFUTURE:20240509T090000Z
DTSTART:20240615T090000Z
DTEND:20240615T100000Z
END:VEVENT
)");
  // "This and future" moves 05-09 and every later occurrence (05-10) by 37 days.
  VdirEventList may = expand(series, "2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z");
  ASSERT_EQ(may.size(), 3u);
  EXPECT_EQ(starts(may), (std::vector<Instant>{at("2024-05-06T09:00:00Z"),
                                               at("2024-05-07T14:00:00Z"),
                                               at("2024-05-08T09:00:00Z")}));
  EXPECT_EQ(may[1]->title(), "Standup (moved)");
  EXPECT_EQ(may[1]->occurrenceDate(), at("2024-05-07T09:00:00Z"));
  EXPECT_EQ(may[2]->status(), 3);
  for (const auto& event : may) EXPECT_EQ(event->calendarItemIdentifier(), "work/main/item");

  // Occurrences moved into the window from outside it.
  VdirEventList june = expand(series, "2024-06-10T00:00:00Z", "2024-06-20T00:00:00Z");
  ASSERT_EQ(june.size(), 2u);
  EXPECT_EQ(starts(june), (std::vector<Instant>{at("2024-06-15T09:00:00Z"),
                                                at("2024-06-16T09:00:00Z")}));
  EXPECT_EQ(june[0]->occurrenceDate(), at("2024-05-09T09:00:00Z"));
  EXPECT_EQ(june[1]->occurrenceDate(), at("2024-05-10T09:00:00Z"));
  EXPECT_EQ(june[1]->title(), "Standup (much later)");
  EXPECT_TRUE(june[0]->hasRecurrenceRules());

  // A file of overrides without their series gives each override as an event.
  VdirEventList alone = expand(ics(R"(BEGIN:VEVENT
UID:invited
RECURRENCE-ID;VALUE=DATE:20240704
DTSTART;VALUE=DATE:20240705
END:VEVENT
BEGIN:VEVENT
UID:invited
RECURRENCE-ID:20240801T090000Z
DTSTART:20240801T100000Z
END:VEVENT
)"),
                               "2024-07-01T00:00:00Z", "2024-09-01T00:00:00Z");
  ASSERT_EQ(alone.size(), 2u);
  EXPECT_FALSE(alone[0]->hasRecurrenceRules());
  EXPECT_TRUE(alone[0]->isAllDay());
  EXPECT_TRUE(alone[0]->occurrenceDate().has_value());
  EXPECT_EQ(alone[1]->occurrenceDate(), at("2024-08-01T09:00:00Z"));
  EXPECT_EQ(alone[1]->startDate(), at("2024-08-01T10:00:00Z"));
}

TEST(IcsEvents, WindowEdges) {
  ScopedTimeZone utc("UTC");
  std::string text = ics(R"(BEGIN:VEVENT
UID:hour
DTSTART:20240501T100000Z
DTEND:20240501T110000Z
END:VEVENT
BEGIN:VEVENT
UID:instant
DTSTART:20240601T100000Z
END:VEVENT
BEGIN:VEVENT
UID:day
DTSTART;VALUE=DATE:20240702
END:VEVENT
)");
  auto count = [&](const char* start, const char* end) {
    return expand(text, start, end).size();
  };
  EXPECT_EQ(count("2024-05-01T11:00:00Z", "2024-05-01T12:00:00Z"), 0u);  // ends at the start
  EXPECT_EQ(count("2024-05-01T09:00:00Z", "2024-05-01T10:00:00Z"), 0u);  // starts at the end
  EXPECT_EQ(count("2024-05-01T10:59:59Z", "2024-05-01T11:00:00Z"), 1u);
  EXPECT_EQ(count("2024-05-01T09:00:00Z", "2024-05-01T10:00:01Z"), 1u);
  EXPECT_EQ(count("2024-06-01T10:00:00Z", "2024-06-01T10:00:01Z"), 1u);  // zero length, start in
  EXPECT_EQ(count("2024-06-01T09:00:00Z", "2024-06-01T10:00:00Z"), 0u);
  EXPECT_EQ(count("2024-07-03T00:00:00Z", "2024-07-04T00:00:00Z"), 0u);  // ends 23:59:59 the day before
  EXPECT_EQ(count("2024-07-02T23:59:58Z", "2024-07-02T23:59:59Z"), 1u);
}

TEST(IcsEvents, SkippingAheadGivesTheSameOccurrencesAsExpandingFromTheStart) {
  ScopedTimeZone berlin("Europe/Berlin");
  const char* rules[] = {
      "FREQ=DAILY",
      "FREQ=DAILY;INTERVAL=3",
      "FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,WE,FR",
      "FREQ=MONTHLY;BYDAY=-1FR",
      "FREQ=MONTHLY;BYMONTHDAY=31",
      "FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU",
      "FREQ=WEEKLY;UNTIL=20300320T000000Z",
      "FREQ=HOURLY;INTERVAL=97",
  };
  const char* starts_[] = {"DTSTART:20150101T090000", "DTSTART;VALUE=DATE:20160531",
                           "DTSTART;TZID=America/New_York:20200229T233000",
                           "DTSTART:20191231T235900Z"};
  int compared = 0;
  for (const char* rule : rules) {
    for (const char* start : starts_) {
      std::string text = ics(std::string("BEGIN:VEVENT\nUID:x\n") + start + "\nRRULE:" + rule +
                             "\nEND:VEVENT\n");
      for (auto [from, to] : {std::pair{"2030-03-01T00:00:00Z", "2030-04-07T00:00:00Z"},
                              std::pair{"2030-10-24T00:00:00Z", "2030-10-31T00:00:00Z"}}) {
        VdirEventList skipped = expand(text, from, to);
        // The whole series from its start, cut to the window afterwards.
        VdirEventList walked;
        for (const auto& event : expand(text, "1960-01-01T00:00:00Z", to)) {
          if (*event->endDate() > at(from) || *event->startDate() >= at(from)) walked.push_back(event);
        }
        EXPECT_EQ(starts(skipped), starts(walked)) << rule << " " << start << " " << from;
        compared += static_cast<int>(walked.size());
      }
    }
  }
  EXPECT_GT(compared, 250);

  // A plain minutely rule since 1970 takes tens of millions of steps to walk; it is met
  // where the window is.
  VdirEventList minutes = expand(ics("BEGIN:VEVENT\nUID:m\nDTSTART:19700101T000000Z\n"
                                     "RRULE:FREQ=MINUTELY;INTERVAL=10\nEND:VEVENT\n"),
                                 "2030-06-03T09:00:00Z", "2030-06-03T10:00:00Z");
  EXPECT_EQ(starts(minutes).size(), 6u);
  EXPECT_EQ(minutes.front()->startDate(), at("2030-06-03T09:00:00Z"));

  VdirEventList week = expand(ics("BEGIN:VEVENT\nUID:d\nDTSTART;TZID=Europe/Berlin:19700101T090000\n"
                                  "RRULE:FREQ=DAILY\nEND:VEVENT\n"),
                              "2030-06-03T00:00:00Z", "2030-06-10T00:00:00Z");
  ASSERT_EQ(week.size(), 7u);
  EXPECT_EQ(week[0]->startDate(), at("2030-06-03T07:00:00Z"));
  EXPECT_EQ(week[0]->occurrenceDate(), at("2030-06-03T07:00:00Z"));
}

TEST(IcsEvents, FilesThatAreNotCalendarsAndOddShapes) {
  VdirEventList events;
  EXPECT_FALSE(appendIcsOccurrences("this is not a calendar", testItem("i"), 0, 4e9, events));
  EXPECT_FALSE(appendIcsOccurrences("", testItem("i"), 0, 4e9, events));
  EXPECT_TRUE(events.empty());

  // Only VEVENTs count.
  EXPECT_TRUE(appendIcsOccurrences(
      ics("BEGIN:VTODO\nUID:t\nDTSTART:20240501T100000Z\nEND:VTODO\n"), testItem("i"), 0, 4e9,
      events));
  EXPECT_TRUE(events.empty());

  // Two calendars in one file; and an event without DTSTART is handed on without a start.
  std::string two = ics("BEGIN:VEVENT\nUID:a\nDTSTART:20240501T100000Z\nEND:VEVENT\n") +
                    ics("BEGIN:VEVENT\nUID:b\nSUMMARY:no start\nEND:VEVENT\n");
  EXPECT_TRUE(appendIcsOccurrences(two, testItem("i"), at("2024-05-01T00:00:00Z"),
                                   at("2024-05-02T00:00:00Z"), events));
  ASSERT_EQ(events.size(), 2u);
  auto noStart = byUid(events, "b");
  EXPECT_EQ(noStart->startDate(), std::nullopt);
  EXPECT_EQ(noStart->endDate(), std::nullopt);
  EXPECT_EQ(byUid(events, "a")->startDate(), at("2024-05-01T10:00:00Z"));
}

TEST(IcsEvents, RulesOfOneItemYieldABoundedNumberOfOccurrences) {
  // Two rules of a second each, and a rule whose occurrences last a century so that every one
  // since 1900 overlaps the window: the item's rules share one bound, and each keeps its
  // earliest occurrences that reach the window.
  std::string text =
      ics("BEGIN:VEVENT\nUID:a\nDTSTART:20240101T000000Z\nDURATION:PT1S\nRRULE:FREQ=SECONDLY\n"
          "END:VEVENT\n"
          "BEGIN:VEVENT\nUID:b\nDTSTART:20240101T000000Z\nRRULE:FREQ=SECONDLY\nEND:VEVENT\n"
          "BEGIN:VEVENT\nUID:single\nDTSTART:20240301T000000Z\nEND:VEVENT\n");
  VdirEventList events;
  ASSERT_TRUE(appendIcsOccurrences(text, testItem(), at("2024-01-01T12:00:00Z"),
                                   at("2024-04-01T00:00:00Z"), events));
  ASSERT_EQ(events.size(), static_cast<std::size_t>(kItemOccurrenceLimit) + 1);
  EXPECT_EQ(events.front()->startDate(), at("2024-01-01T12:00:00Z"));
  EXPECT_EQ(events[kItemOccurrenceLimit - 1]->startDate(),
            at("2024-01-01T12:00:00Z") + kItemOccurrenceLimit - 1);
  EXPECT_EQ(byUid(events, "single")->startDate(), at("2024-03-01T00:00:00Z"));

  events.clear();
  ASSERT_TRUE(appendIcsOccurrences(
      ics("BEGIN:VEVENT\nUID:c\nDTSTART:19000101T000000Z\nDTEND:20250101T003000Z\n"
          "RRULE:FREQ=MINUTELY;INTERVAL=15\nEND:VEVENT\n"),
      testItem(), at("2024-02-28T00:00:00Z"), at("2024-03-02T00:00:00Z"), events));
  ASSERT_EQ(events.size(), static_cast<std::size_t>(kItemOccurrenceLimit));
  EXPECT_EQ(events.front()->startDate(), at("1900-01-01T00:00:00Z"));
  EXPECT_EQ(events.back()->startDate(), at("1900-01-01T00:00:00Z") + 900.0 * (kItemOccurrenceLimit - 1));

  // A "this and future" override moves later occurrences, so those that start a little before
  // the window count too; the bound still holds, and the moved ones come out moved.
  events.clear();
  ASSERT_TRUE(appendIcsOccurrences(
      ics("BEGIN:VEVENT\nUID:d\nDTSTART:20240101T000000Z\nDURATION:PT1S\nRRULE:FREQ=SECONDLY\n"
          "END:VEVENT\nBEGIN:VEVENT\nUID:d\nRECURRENCE-ID;RANGE=THISANDFUTURE:20240101T120000Z\n"
          "DTSTART:20240101T130000Z\nDURATION:PT1S\nEND:VEVENT\n"),
      testItem(), at("2024-01-01T12:00:00Z"), at("2024-04-01T00:00:00Z"), events));
  EXPECT_GT(events.size(), static_cast<std::size_t>(kItemOccurrenceLimit) / 2);
  EXPECT_LE(events.size(), static_cast<std::size_t>(kItemOccurrenceLimit) + 1);
  std::stable_sort(events.begin(), events.end(),
                   [](const auto& a, const auto& b) { return occursBefore(*a, *b); });
  EXPECT_EQ(events.front()->startDate(), at("2024-01-01T13:00:00Z"));
  EXPECT_EQ(events[1]->startDate(), at("2024-01-01T13:00:01Z"));
  EXPECT_EQ(events[1]->occurrenceDate(), at("2024-01-01T12:00:01Z"));
}

}  // namespace
}  // namespace vandrelis::store

namespace vandrelis::store {
namespace {

// Timed occurrences as UTC instants, all-day ones as dates of the process's zone: both read the
// same in every zone when the store is right.
std::string shown(const VdirEvent& event, std::optional<Instant> instant) {
  if (!instant) return "-";
  auto seconds = static_cast<std::int64_t>(*instant);
  char text[32];
  if (event.isAllDay()) {
    CivilTime t = localTimeZone()->toCivil(seconds);
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.year, t.month, t.day);
  } else {
    CivilTime t = civilFromSeconds(seconds);
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02dZ", t.year, t.month, t.day, t.hour,
                  t.minute);
  }
  return text;
}

std::string listing(const VdirEventList& events) {
  std::string out;
  for (const auto& event : events) {
    out += shown(*event, event->startDate()) + " " + shown(*event, event->endDate()) + " [" +
           event->title().value_or("") + "] occ=" + shown(*event, event->occurrenceDate()) +
           " id=" + event->calendarItemIdentifier().substr(std::strlen("work/main/item")) + "\n";
  }
  return out;
}

struct FaultCase {
  const char* name;
  std::string text;
  const char* from;
  const char* to;
  std::string expected;
};

const char* const kZones[] = {"UTC", "Europe/Berlin", "Asia/Tokyo", "America/New_York",
                              "Pacific/Kiritimati", "CET-1CEST,M3.5.0,M10.5.0/3"};

TEST(IcsEvents, EachFaultUnderSeveralProcessZones) {
  const std::string allDaySeries =
      "BEGIN:VEVENT\nUID:h\nSUMMARY:holiday\nDTSTART;VALUE=DATE:20200415\n"
      "RRULE:FREQ=DAILY;COUNT=3\nEND:VEVENT\n"
      "BEGIN:VEVENT\nUID:h\nSUMMARY:moved\nDTSTART;VALUE=DATE:20200420\n";
  const std::string allDayMoved =
      "2020-04-15 2020-04-15 [holiday] occ=2020-04-15 id=\n"
      "2020-04-17 2020-04-17 [holiday] occ=2020-04-17 id=\n"
      "2020-04-20 2020-04-20 [moved] occ=2020-04-16 id=\n";
  const FaultCase cases[] = {
      {"spring gap: the earlier offset; EXDATE and RECURRENCE-ID name their occurrence",
       ics("BEGIN:VEVENT\nUID:g\nSUMMARY:g\nDTSTART;TZID=Europe/Berlin:20240330T023000\n"
           "RRULE:FREQ=DAILY;COUNT=4\nEXDATE;TZID=Europe/Berlin:20240401T023000\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:g\nSUMMARY:moved\nRECURRENCE-ID;TZID=Europe/Berlin:20240331T023000\n"
           "DTSTART:20240331T120000Z\nEND:VEVENT\n"),
       "2024-03-01T00:00:00Z", "2024-05-01T00:00:00Z",
       "2024-03-30T01:30Z 2024-03-30T01:30Z [g] occ=2024-03-30T01:30Z id=\n"
       "2024-03-31T12:00Z 2024-03-31T12:00Z [moved] occ=2024-03-31T01:30Z id=\n"
       "2024-04-02T00:30Z 2024-04-02T00:30Z [g] occ=2024-04-02T00:30Z id=\n"},
      {"a series that starts in the gap keeps every occurrence once",
       ics("BEGIN:VEVENT\nUID:s\nSUMMARY:s\nDTSTART;TZID=Europe/Berlin:20240331T023000\n"
           "DURATION:PT1H\nRRULE:FREQ=DAILY;COUNT=3\nEND:VEVENT\n"),
       "2024-03-01T00:00:00Z", "2024-05-01T00:00:00Z",
       "2024-03-31T01:30Z 2024-03-31T02:30Z [s] occ=2024-03-31T01:30Z id=\n"
       "2024-04-01T00:30Z 2024-04-01T01:30Z [s] occ=2024-04-01T00:30Z id=\n"
       "2024-04-02T00:30Z 2024-04-02T01:30Z [s] occ=2024-04-02T00:30Z id=\n"},
      {"autumn fold: the first of the two",
       ics("BEGIN:VEVENT\nUID:f\nSUMMARY:f\nDTSTART;TZID=America/New_York:20071104T013000\n"
           "END:VEVENT\n"),
       "2007-11-01T00:00:00Z", "2007-12-01T00:00:00Z",
       "2007-11-04T05:30Z 2007-11-04T05:30Z [f] occ=- id=\n"},
      {"moved all-day occurrence named by midnight UTC",
       ics(allDaySeries + "RECURRENCE-ID:20200416T000000Z\nEND:VEVENT\n"),
       "2020-04-01T00:00:00Z", "2020-05-01T00:00:00Z", allDayMoved},
      {"moved all-day occurrence named by midnight in a zone",
       ics(allDaySeries + "RECURRENCE-ID;TZID=Australia/Sydney:20200416T000000\nEND:VEVENT\n"),
       "2020-04-01T00:00:00Z", "2020-05-01T00:00:00Z", allDayMoved},
      {"moved all-day occurrence named by its date",
       ics(allDaySeries + "RECURRENCE-ID;VALUE=DATE:20200416\nEND:VEVENT\n"),
       "2020-04-01T00:00:00Z", "2020-05-01T00:00:00Z", allDayMoved},
      {"versions: highest SEQUENCE, then LAST-MODIFIED, then the last in the file",
       ics("BEGIN:VEVENT\nUID:v\nSEQUENCE:2\nSUMMARY:seq 2\nDTSTART:20240501T100000Z\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:v\nSEQUENCE:1\nSUMMARY:seq 1\nDTSTART:20240502T100000Z\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:w\nLAST-MODIFIED:20240301T000000Z\nSUMMARY:newer\n"
           "DTSTART:20240503T100000Z\nRRULE:FREQ=DAILY;COUNT=2\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:w\nLAST-MODIFIED:20240201T000000Z\nSUMMARY:older\n"
           "DTSTART:20240503T100000Z\nRRULE:FREQ=DAILY;COUNT=2\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:w\nRECURRENCE-ID:20240504T100000Z\nSUMMARY:first copy\n"
           "DTSTART:20240504T110000Z\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:w\nRECURRENCE-ID:20240504T100000Z\nSUMMARY:second copy\n"
           "DTSTART:20240504T120000Z\nEND:VEVENT\n"),
       "2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z",
       "2024-05-01T10:00Z 2024-05-01T10:00Z [seq 2] occ=- id=/v\n"
       "2024-05-03T10:00Z 2024-05-03T10:00Z [newer] occ=2024-05-03T10:00Z id=/w\n"
       "2024-05-04T12:00Z 2024-05-04T12:00Z [second copy] occ=2024-05-04T10:00Z id=/w\n"},
      {"this and future: shift, length and texts up to the next such override",
       ics("BEGIN:VEVENT\nUID:t\nSUMMARY:weekly\nDTSTART;TZID=Europe/Berlin:20240304T100000\n"
           "DURATION:PT1H\nRRULE:FREQ=WEEKLY;COUNT=6\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:t\nSUMMARY:later\nRECURRENCE-ID;RANGE=THISANDFUTURE;"
           "TZID=Europe/Berlin:20240318T100000\nDTSTART;TZID=Europe/Berlin:20240318T140000\n"
           "DURATION:PT2H\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:t\nSUMMARY:single\nRECURRENCE-ID;TZID=Europe/Berlin:20240325T100000\n"
           "DTSTART;TZID=Europe/Berlin:20240325T080000\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:t\nSUMMARY:last\nRECURRENCE-ID;RANGE=THISANDFUTURE;"
           "TZID=Europe/Berlin:20240401T100000\nDTSTART;TZID=Europe/Berlin:20240402T100000\n"
           "END:VEVENT\n"),
       "2024-03-01T00:00:00Z", "2024-05-01T00:00:00Z",
       "2024-03-04T09:00Z 2024-03-04T10:00Z [weekly] occ=2024-03-04T09:00Z id=\n"
       "2024-03-11T09:00Z 2024-03-11T10:00Z [weekly] occ=2024-03-11T09:00Z id=\n"
       "2024-03-18T13:00Z 2024-03-18T15:00Z [later] occ=2024-03-18T09:00Z id=\n"
       "2024-03-25T07:00Z 2024-03-25T07:00Z [single] occ=2024-03-25T09:00Z id=\n"
       "2024-04-02T08:00Z 2024-04-02T08:00Z [last] occ=2024-04-01T08:00Z id=\n"
       "2024-04-09T08:00Z 2024-04-09T08:00Z [last] occ=2024-04-08T08:00Z id=\n"},
      {"texts, UIDs and TZIDs keep their blanks",
       ics("BEGIN:VTIMEZONE\nTZID: 1\nBEGIN:STANDARD\nDTSTART:16010101T000000\n"
           "TZOFFSETFROM:+0100\nTZOFFSETTO:+0100\nEND:STANDARD\nEND:VTIMEZONE\n"
           "BEGIN:VEVENT\nUID: a b \nSUMMARY:  padded title  \nDTSTART;TZID= 1:20240501T110000\n"
           "END:VEVENT\nBEGIN:VEVENT\nUID:c\nSUMMARY:   \nDTSTART:20240502T100000Z\nEND:VEVENT\n"),
       "2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z",
       "2024-05-01T10:00Z 2024-05-01T10:00Z [  padded title  ] occ=- id=/ a b \n"
       "2024-05-02T10:00Z 2024-05-02T10:00Z [   ] occ=- id=/c\n"},
      {"one identity per UID: a holiday file of three all-day events",
       ics("BEGIN:VEVENT\nUID:%1\nSUMMARY:a\nDTSTART;VALUE=DATE:20240101\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:#2\nSUMMARY:b\nDTSTART;VALUE=DATE:20240102\nEND:VEVENT\n"
           "BEGIN:VEVENT\nSUMMARY:c\nDTSTART;VALUE=DATE:20240103\nEND:VEVENT\n"),
       "2023-12-01T00:00:00Z", "2024-02-01T00:00:00Z",
       "2024-01-01 2024-01-01 [a] occ=- id=/%251\n"
       "2024-01-02 2024-01-02 [b] occ=- id=/%232\n"
       "2024-01-03 2024-01-03 [c] occ=- id=/#3153c8beefce13df\n"},
      {"a component nested too deep is unreadable; the others stay",
       ics("BEGIN:VEVENT\nUID:deep\nDTSTART:20240501T100000Z\n" +
           [] {
             std::string nested;
             for (int i = 0; i < 70; ++i) nested += "BEGIN:VALARM\n";
             for (int i = 0; i < 70; ++i) nested += "END:VALARM\n";
             return nested;
           }() +
           "END:VEVENT\nBEGIN:VEVENT\nUID:ok\nSUMMARY:ok\nDTSTART:20240501T100000Z\nEND:VEVENT\n"),
       "2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z",
       "2024-05-01T10:00Z 2024-05-01T10:00Z [ok] occ=- id=/ok\n"},
      {"folded lines, CRLF or LF, a folded BEGIN and a folded TZID",
       "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEG\r\n IN:VEVENT\r\nUID:fo\r\n ld\r\nSUMMARY:one\r\n"
       "  two\n\tthree\\, four\r\nDTSTART;TZID=America/New\r\n _York:20240501T090000\r\n"
       "END:VEVENT\r\nEND:VCALENDAR",
       "2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z",
       "2024-05-01T13:00Z 2024-05-01T13:00Z [one twothree, four] occ=- id=\n"},
      {"values as calendar programs write them: extended forms, blanks, a bad copy passed over",
       ics("BEGIN:VEVENT\nUID:a\nSUMMARY:extended\nDTSTART:2024-05-01T10:00:00Z\n"
           "DTEND: 2024-05-01T11:00:00Z \nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:b\nSUMMARY:second copy\nDTSTART:2024013T1100000\n"
           "DTSTART:20240503T100000Z\nDURATION:PT10\nDURATION:PT15M\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:c\nSUMMARY:day and hours\nDTSTART:20240504T100000Z\n"
           "DURATION:P1DT2H\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:d\nSUMMARY:negative\nDTSTART:20240505T100000Z\n"
           "DURATION:-PT1H\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:e\nSUMMARY:weeks\nDTSTART;VALUE=DATE:2024-05-06\nDURATION:P1W\n"
           "END:VEVENT\n"),
       "2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z",
       "2024-05-01T10:00Z 2024-05-01T11:00Z [extended] occ=- id=/a\n"
       "2024-05-03T10:00Z 2024-05-03T10:15Z [second copy] occ=- id=/b\n"
       "2024-05-04T10:00Z 2024-05-05T12:00Z [day and hours] occ=- id=/c\n"
       "2024-05-05T10:00Z 2024-05-05T10:00Z [negative] occ=- id=/d\n"
       "2024-05-06 2024-05-12 [weeks] occ=- id=/e\n"},
      {"periods of RDATE: by end and by duration",
       ics("BEGIN:VEVENT\nUID:p\nSUMMARY:p\nDTSTART:20240509T100000Z\nDURATION:PT1H\n"
           "RDATE;VALUE=PERIOD:20240510T100000Z/PT2H,20240511T100000Z/20240511T103000Z\n"
           "RDATE;VALUE=PERIOD:20240512T100000Z/-PT1H\nEND:VEVENT\n"),
       "2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z",
       "2024-05-09T10:00Z 2024-05-09T11:00Z [p] occ=2024-05-09T10:00Z id=\n"
       "2024-05-10T10:00Z 2024-05-10T12:00Z [p] occ=2024-05-10T10:00Z id=\n"
       "2024-05-11T10:00Z 2024-05-11T10:30Z [p] occ=2024-05-11T10:00Z id=\n"
       "2024-05-12T10:00Z 2024-05-12T11:00Z [p] occ=2024-05-12T10:00Z id=\n"},
      {"a NUL byte in one value hides nothing after it",
       ics("BEGIN:VEVENT\nUID:n\nSUMMARY:n\nDTSTART:20240501T100000Z\nSTATUS:TENT" +
           std::string(1, '\0') + "ATIVE\nDTEND:20240501T120000Z\nEND:VEVENT\n"),
       "2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z",
       "2024-05-01T10:00Z 2024-05-01T12:00Z [n] occ=- id=\n"},
      // A stray END before the calendar or directly in it is ignored; one inside the event
      // that names no open component closes the event (its own END is then stray).
      {"stray ENDs and malformed values: nothing on standard error",
       "END:VEVENT\n" +
           ics("END:VALARM\nBEGIN:VEVENT\nUID:e\nSUMMARY:e\nDTSTART:20240501T100000Z\n"
               "DTEND:garbage\nATTENDEE;PARTSTAT=:mailto:a@b\nRDATE;VALUE=PERIOD:x/y\n"
               "STATUS:\nSEQUENCE:x\nEND:VALARM\nSUMMARY:after\nEND:VEVENT\n"),
       "2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z",
       "2024-05-01T10:00Z 2024-05-01T10:00Z [e] occ=- id=\n"},
  };
  for (const FaultCase& c : cases) {
    for (const char* zone : kZones) {
      ScopedTimeZone scoped(zone);
      ::testing::internal::CaptureStderr();
      VdirEventList events = expand(c.text, c.from, c.to);
      EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << c.name;
      EXPECT_EQ(listing(events), c.expected) << c.name << " in " << zone;
    }
  }
}

// Shapes of real exports that calendar programs show: one row per shape, each read
// under every process zone.
TEST(IcsEvents, ShapesOfRealExportsAreShown) {
  const std::string bangkok =
      "BEGIN:VTIMEZONE\nTZID:(UTC+07:00) Bangkok\\, Hanoi\\, Jakarta\nBEGIN:STANDARD\n"
      "DTSTART:16010101T000000\nTZOFFSETFROM:+0700\nTZOFFSETTO:+0700\nEND:STANDARD\n"
      "END:VTIMEZONE\n";
  const FaultCase cases[] = {
      {"Exchange zone name with escaped commas: the VTIMEZONE's TZID is TEXT",
       ics(bangkok +
           "BEGIN:VEVENT\nUID:x\nSUMMARY:quoted\n"
           "DTSTART;TZID=\"(UTC+07:00) Bangkok, Hanoi, Jakarta\":20240430T090000\nEND:VEVENT\n"
           // A parameter has no escapes; one written as the property was still finds it.
           "BEGIN:VEVENT\nUID:y\nSUMMARY:as the property\n"
           "DTSTART;TZID=\"(UTC+07:00) Bangkok\\, Hanoi\\, Jakarta\":20240430T100000\nEND:VEVENT\n"),
       "2024-04-01T00:00:00Z", "2024-06-01T00:00:00Z",
       "2024-04-30T02:00Z 2024-04-30T02:00Z [quoted] occ=- id=/x\n"
       "2024-04-30T03:00Z 2024-04-30T03:00Z [as the property] occ=- id=/y\n"},
      {"a leading UTF-8 byte-order mark",
       "\xEF\xBB\xBF" "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:bom\r\nSUMMARY:bom\r\n"
       "DTSTART:20240501T100000Z\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n",
       "2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z",
       "2024-05-01T10:00Z 2024-05-01T10:00Z [bom] occ=- id=\n"},
      {"lines ending in CR alone, one of them folded",
       "BEGIN:VCALENDAR\rVERSION:2.0\rBEGIN:VEVENT\rUID:cr\rSUMMARY:old\r  mac\r"
       "DTSTART:20240501T100000Z\rDTEND:20240501T110000Z\rEND:VEVENT\rEND:VCALENDAR\r",
       "2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z",
       "2024-05-01T10:00Z 2024-05-01T11:00Z [old mac] occ=- id=\n"},
      {"a mistyped END closes the innermost component; the later events stay",
       ics("BEGIN:VTODO\nUID:t\nDTSTART:20240501T080000Z\nEND:VTOOD\n"
           "BEGIN:VEVENT\nUID:a\nSUMMARY:after the todo\nDTSTART:20240501T100000Z\n"
           "BEGIN:VALARM\nTRIGGER:-PT5M\nEND:VALRM\nDTEND:20240501T113000Z\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:b\nSUMMARY:next\nDTSTART:20240502T100000Z\nEND:VEVENT\n"),
       "2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z",
       "2024-05-01T10:00Z 2024-05-01T11:30Z [after the todo] occ=- id=/a\n"
       "2024-05-02T10:00Z 2024-05-02T10:00Z [next] occ=- id=/b\n"},
      {"empty UIDs are no UIDs: two events, each its own identity",
       ics("BEGIN:VEVENT\nUID:\nSUMMARY:one\nDTSTART:20240501T100000Z\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:\nSUMMARY:two\nDTSTART:20240502T100000Z\nEND:VEVENT\n"),
       "2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z",
       "2024-05-01T10:00Z 2024-05-01T10:00Z [one] occ=- id=/#cbe19d324a90d0a4\n"
       "2024-05-02T10:00Z 2024-05-02T10:00Z [two] occ=- id=/#7ebdb14f3742ecc7\n"},
      {"a newer copy without DTSTART (an iTIP REPLY) replaces neither the event nor an override",
       ics("BEGIN:VEVENT\nUID:r\nSUMMARY:meeting\nDTSTAMP:20240401T000000Z\n"
           "DTSTART:20240501T100000Z\nRRULE:FREQ=DAILY;COUNT=2\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:r\nSUMMARY:reply\nDTSTAMP:20240420T000000Z\nSEQUENCE:3\n"
           "ATTENDEE;PARTSTAT=ACCEPTED:mailto:me@example.org\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:r\nSUMMARY:moved\nRECURRENCE-ID:20240502T100000Z\n"
           "DTSTAMP:20240401T000000Z\nDTSTART:20240502T120000Z\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:r\nSUMMARY:reply to moved\nRECURRENCE-ID:20240502T100000Z\n"
           "DTSTAMP:20240421T000000Z\nDTSTART:2024-13-01\nEND:VEVENT\n"),
       "2024-05-01T00:00:00Z", "2024-06-01T00:00:00Z",
       "2024-05-01T10:00Z 2024-05-01T10:00Z [meeting] occ=2024-05-01T10:00Z id=\n"
       "2024-05-02T12:00Z 2024-05-02T12:00Z [moved] occ=2024-05-02T10:00Z id=\n"},
      {"a day past the month's end rolls over; a month outside 1-12 stays unreadable",
       ics("BEGIN:VEVENT\nUID:a\nSUMMARY:30 February\nDTSTART:20240230T100000Z\n"
           "DTEND:20240230T110000Z\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:b\nSUMMARY:29 February 2023\nDTSTART;VALUE=DATE:20230229\nEND:VEVENT\n"
           // UNTIL and EXDATE roll over too: until 1 May 22:00Z, 1 May excluded.
           "BEGIN:VEVENT\nUID:c\nSUMMARY:rule\nDTSTART;TZID=Europe/Berlin:20240429T090000\n"
           "RRULE:FREQ=DAILY;UNTIL=20240431T220000Z\nEXDATE;TZID=Europe/Berlin:20240431T090000\n"
           "END:VEVENT\n"
           "BEGIN:VEVENT\nUID:d\nSUMMARY:month 13\nDTSTART:20241301T100000Z\nEND:VEVENT\n"),
       "2023-01-01T00:00:00Z", "2025-01-01T00:00:00Z",
       "- - [month 13] occ=- id=/d\n"
       "2023-03-01 2023-03-01 [29 February 2023] occ=- id=/b\n"
       "2024-03-01T10:00Z 2024-03-01T11:00Z [30 February] occ=- id=/a\n"
       "2024-04-29T07:00Z 2024-04-29T07:00Z [rule] occ=2024-04-29T07:00Z id=/c\n"
       "2024-04-30T07:00Z 2024-04-30T07:00Z [rule] occ=2024-04-30T07:00Z id=/c\n"},
      {"UNTIL as a date on a timed series: its midnight in DTSTART's zone",
       ics("BEGIN:VEVENT\nUID:u\nSUMMARY:utc\nDTSTART:20240501T100000Z\n"
           "RRULE:FREQ=DAILY;UNTIL=20240503\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:n\nSUMMARY:new york\nDTSTART;TZID=America/New_York:20240501T230000\n"
           "RRULE:FREQ=DAILY;UNTIL=20240503\nEND:VEVENT\n"
           "BEGIN:VEVENT\nUID:m\nSUMMARY:midnight\nDTSTART:20240501T000000Z\n"
           "RRULE:FREQ=DAILY;UNTIL=20240503\nEND:VEVENT\n"),
       "2024-04-01T00:00:00Z", "2024-06-01T00:00:00Z",
       "2024-05-01T00:00Z 2024-05-01T00:00Z [midnight] occ=2024-05-01T00:00Z id=/m\n"
       "2024-05-01T10:00Z 2024-05-01T10:00Z [utc] occ=2024-05-01T10:00Z id=/u\n"
       "2024-05-02T00:00Z 2024-05-02T00:00Z [midnight] occ=2024-05-02T00:00Z id=/m\n"
       "2024-05-02T03:00Z 2024-05-02T03:00Z [new york] occ=2024-05-02T03:00Z id=/n\n"
       "2024-05-02T10:00Z 2024-05-02T10:00Z [utc] occ=2024-05-02T10:00Z id=/u\n"
       "2024-05-03T00:00Z 2024-05-03T00:00Z [midnight] occ=2024-05-03T00:00Z id=/m\n"
       "2024-05-03T03:00Z 2024-05-03T03:00Z [new york] occ=2024-05-03T03:00Z id=/n\n"},
  };
  for (const FaultCase& c : cases) {
    for (const char* zone : kZones) {
      ScopedTimeZone scoped(zone);
      ItemSpan span;
      VdirEventList events;
      ASSERT_TRUE(appendIcsOccurrences(c.text, testItem(), at(c.from), at(c.to), events, &span))
          << c.name;
      std::stable_sort(events.begin(), events.end(),
                       [](const auto& a, const auto& b) { return occursBefore(*a, *b); });
      EXPECT_EQ(listing(events), c.expected) << c.name << " in " << zone;
      // Every occurrence lies in the item's span, which the occurrence index keeps.
      for (const auto& event : events) {
        if (!event->startDate()) continue;
        EXPECT_GE(*event->startDate(), span.earliest) << c.name << " in " << zone;
        EXPECT_LE(*event->endDate(), span.latest) << c.name << " in " << zone;
      }
    }
  }

  // Kept as they were: a bare VEVENT (no VCALENDAR around it) is no calendar, with a
  // byte-order mark too.
  VdirEventList none;
  EXPECT_FALSE(appendIcsOccurrences(
      "\xEF\xBB\xBF" "BEGIN:VEVENT\r\nUID:bare\r\nDTSTART:20240501T100000Z\r\nEND:VEVENT\r\n",
      testItem(), 0, 4e9, none));
  EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace vandrelis::store

namespace vandrelis::store {
namespace {

// The span holds every occurrence under every process zone, and is tight (within two days)
// for a bounded item, open only for a rule without end.
TEST(IcsEvents, ItemSpanHoldsEveryOccurrence) {
  struct SpanCase {
    const char* name;
    std::string body;
    bool bounded;
  };
  const SpanCase cases[] = {
      {"single", "DTSTART:20240501T100000Z\nDTEND:20240501T110000Z\n", true},
      {"count", "DTSTART;TZID=Europe/Berlin:20240501T100000\nDURATION:PT1H\n"
                "RRULE:FREQ=WEEKLY;COUNT=30\nRDATE:20231224T100000Z\n", true},
      {"until", "DTSTART:20240501T100000\nRRULE:FREQ=DAILY;UNTIL=20240901T000000\n", true},
      {"all-day", "DTSTART;VALUE=DATE:20240501\nRRULE:FREQ=YEARLY;COUNT=3\n", true},
      {"open", "DTSTART:20240501T100000Z\nRRULE:FREQ=MONTHLY\n", false},
  };
  for (const SpanCase& c : cases) {
    std::string text = ics("BEGIN:VEVENT\nUID:u\n" + c.body + "END:VEVENT\n"
                           "BEGIN:VEVENT\nUID:u\nRECURRENCE-ID:20240508T080000Z\n"
                           "DTSTART:20240301T080000Z\nEND:VEVENT\n");
    for (const char* zone : kZones) {
      ScopedTimeZone scoped(zone);
      ItemSpan span;
      VdirEventList events;
      ASSERT_TRUE(appendIcsOccurrences(text, testItem(), at("1990-01-01T00:00:00Z"),
                                       at("2040-01-01T00:00:00Z"), events, &span));
      ASSERT_FALSE(events.empty());
      Instant first = *events.front()->startDate(), last = *events.front()->endDate();
      for (const auto& event : events) {
        first = std::min(first, *event->startDate());
        last = std::max(last, *event->endDate());
      }
      EXPECT_LE(span.earliest, first) << c.name << " " << zone;
      EXPECT_GE(span.latest, last) << c.name << " " << zone;
      EXPECT_GE(span.earliest, first - 2 * 86400) << c.name << " " << zone;
      if (c.bounded) {
        EXPECT_LE(span.latest, last + 2 * 86400) << c.name << " " << zone;
      } else {
        EXPECT_EQ(span.latest, std::numeric_limits<Instant>::infinity()) << c.name;
      }
    }
  }
  ItemSpan empty;
  VdirEventList none;
  ASSERT_TRUE(appendIcsOccurrences(ics(""), testItem(), 0, 1, none, &empty));
  EXPECT_GT(empty.earliest, empty.latest);  // no occurrence anywhere
}

}  // namespace
}  // namespace vandrelis::store
