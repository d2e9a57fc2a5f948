// The vdir store on trees built in temporary directories: metadata and its fall-backs, order,
// the default calendar, read-only calendars, items beside broken files, and the query.
#include "store/vdir/vdir_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "store/vdir/vdir_tree.h"
#include "test_support.h"
#include "vdir_fixtures.h"

namespace vandrelis::store {
namespace {

using testing::at;
using testing::ics;
using testing::TempDir;
using testing::writeFile;

std::string event(const std::string& uid, const std::string& start, const std::string& end) {
  return ics("BEGIN:VEVENT\nUID:" + uid + "\nDTSTART:" + start + "\nDTEND:" + end +
             "\nEND:VEVENT\n");
}

std::vector<std::string> identifiers(const CalendarList& calendars) {
  std::vector<std::string> out;
  for (const auto& calendar : calendars) out.push_back(calendar->calendarIdentifier());
  return out;
}

TEST(VdirStore, SourcesCalendarsAndTheirMetadata) {
  TempDir dir;
  std::filesystem::path root = std::filesystem::path(dir.path()) / "calendars";
  // Sources and calendars are directories in byte order ("Z" before "a"); hidden entries and
  // plain files are not.
  writeFile(root / "a-work" / "displayname", "  Work account \nsecond line\n");
  writeFile(root / "a-work" / "type", "CalDAV\n");
  writeFile(root / "a-work" / "team" / "displayname", "Team\n");
  writeFile(root / "a-work" / "team" / "color", " #ff8000\n");
  writeFile(root / "a-work" / "Zeta" / "color", "#1A334D80");
  writeFile(root / "a-work" / "Zeta" / "displayname", "   \n");
  writeFile(root / "a-work" / ".hidden" / "color", "#000000");
  writeFile(root / "a-work" / "notes.txt", "not a calendar");
  writeFile(root / "Zoo" / "type", "birthdays");
  writeFile(root / "Zoo" / "bdays" / "color", "red");
  writeFile(root / "Zoo" / "displayname", "");
  writeFile(root / "holidays" / "type", "subscribed");
  writeFile(root / "holidays" / "public" / "color", "#12345");
  writeFile(root / "odd" / "type", "carrier-pigeon");
  writeFile(root / "odd" / "cal" / "color", "#GG0000");
  writeFile(root / "plain" / "cal" / "x.ics", "");
  writeFile(root / ".git" / "objects" / "x", "");
  writeFile(root / "default-calendar", "holidays/public\n");

  VdirStore store(root);
  CalendarList calendars = store.calendarsForEvents();
  EXPECT_EQ(identifiers(calendars),
            (std::vector<std::string>{"Zoo/bdays", "a-work/Zeta", "a-work/team", "holidays/public",
                                      "odd/cal", "plain/cal"}));
  ASSERT_EQ(calendars.size(), 6u);

  const Calendar& bdays = *calendars[0];
  EXPECT_EQ(bdays.title(), "bdays");              // no displayname: the directory's name
  EXPECT_EQ(bdays.source()->title(), "Zoo");      // an empty displayname too
  EXPECT_EQ(bdays.source()->sourceType(), 5);
  EXPECT_FALSE(bdays.allowsContentModifications());
  EXPECT_EQ(bdays.color(), std::nullopt);

  const Calendar& zeta = *calendars[1];
  EXPECT_EQ(zeta.title(), "Zeta");                // a blank first line counts as empty
  EXPECT_EQ(zeta.source()->title(), "Work account");
  EXPECT_EQ(zeta.source()->sourceType(), 2);      // the word in any case
  EXPECT_TRUE(zeta.allowsContentModifications());
  ASSERT_TRUE(zeta.color() && zeta.color()->components);
  EXPECT_EQ(*zeta.color()->components,
            (std::vector<double>{26 / 255.0, 51 / 255.0, 77 / 255.0, 128 / 255.0}));

  const Calendar& team = *calendars[2];
  EXPECT_EQ(team.title(), "Team");
  ASSERT_TRUE(team.color() && team.color()->components);
  EXPECT_EQ(*team.color()->components, (std::vector<double>{1.0, 128 / 255.0, 0.0}));

  EXPECT_EQ(calendars[3]->source()->sourceType(), 4);
  EXPECT_FALSE(calendars[3]->allowsContentModifications());
  EXPECT_EQ(calendars[3]->color(), std::nullopt);  // five digits
  EXPECT_EQ(calendars[4]->source()->sourceType(), kUnknownSourceType);
  EXPECT_EQ(calendars[4]->color(), std::nullopt);  // not hexadecimal
  EXPECT_EQ(calendars[5]->source()->sourceType(), 0);  // no type file
  EXPECT_TRUE(calendars[5]->allowsContentModifications());

  ASSERT_NE(store.defaultCalendarForNewEvents(), nullptr);
  EXPECT_EQ(store.defaultCalendarForNewEvents()->calendarIdentifier(), "holidays/public");
  writeFile(root / "default-calendar", "holidays/none\n");
  EXPECT_EQ(store.defaultCalendarForNewEvents(), nullptr);
  std::filesystem::remove(root / "default-calendar");
  EXPECT_EQ(store.defaultCalendarForNewEvents(), nullptr);

  // A missing root has no calendars.
  EXPECT_TRUE(VdirStore(root / "missing").calendarsForEvents().empty());
}

TEST(VdirStore, ColourAndTypeWords) {
  EXPECT_EQ(parseColor("#000000")->components, (std::vector<double>{0, 0, 0}));
  EXPECT_EQ(parseColor("\t#FFffFF \r")->components, (std::vector<double>{1, 1, 1}));
  for (const char* bad : {"", "#", "FF8000", "#FF800", "#FF80001", "#FF8000FF00", "#FF 800",
                          "#+F8000", "rgb(1,2,3)"}) {
    EXPECT_EQ(parseColor(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(sourceTypeFromWord("local"), 0);
  EXPECT_EQ(sourceTypeFromWord("exchange"), 1);
  EXPECT_EQ(sourceTypeFromWord("caldav"), 2);
  EXPECT_EQ(sourceTypeFromWord(" iCloud "), 3);
  EXPECT_EQ(sourceTypeFromWord("subscribed"), 4);
  EXPECT_EQ(sourceTypeFromWord("birthdays"), 5);
  EXPECT_EQ(sourceTypeFromWord("google"), kUnknownSourceType);
}

TEST(VdirStore, LinkedDirectoriesAndLinkLoops) {
  TempDir dir;
  std::filesystem::path root = std::filesystem::path(dir.path()) / "calendars";
  std::filesystem::path elsewhere = std::filesystem::path(dir.path()) / "synced";
  writeFile(elsewhere / "personal" / "a.ics",
            event("linked", "20240501T100000Z", "20240501T110000Z"));
  std::filesystem::create_directories(root);
  std::filesystem::create_directory_symlink(elsewhere, root / "synced");
  // A calendar that links back to its own source, and a source that links to the root.
  std::filesystem::create_directory_symlink(elsewhere, elsewhere / "loop");
  std::filesystem::create_directory_symlink(root, root / "self");
  std::filesystem::create_symlink(root / "nowhere", root / "dangling");

  VdirStore store(root);
  CalendarList calendars = store.calendarsForEvents();
  EXPECT_EQ(identifiers(calendars),
            (std::vector<std::string>{"self/self", "self/synced", "synced/loop", "synced/personal"}));
  EventList events = store.eventsMatching(at("2024-05-01T00:00:00Z"), at("2024-05-02T00:00:00Z"),
                                          calendars);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]->calendarItemIdentifier(), "synced/personal/a");
}

TEST(VdirStore, ItemsBrokenFilesAndOrder) {
  testing::ScopedTimeZone utc("UTC");
  TempDir dir;
  std::filesystem::path root = std::filesystem::path(dir.path()) / "calendars";
  std::filesystem::path home = root / "me" / "home";
  std::filesystem::path work = root / "me" / "work";
  writeFile(home / "b.ics", event("b", "20240501T100000Z", "20240501T120000Z"));
  writeFile(home / "a.ics", event("a", "20240501T100000Z", "20240501T120000Z"));
  writeFile(home / "early.ics", event("early", "20240501T090000Z", "20240501T100000Z"));
  writeFile(home / "short.ics", event("short", "20240501T100000Z", "20240501T110000Z"));
  writeFile(home / "broken.ics", "BEGIN:VCALENDAR\n\x01\x02 garbage");
  writeFile(home / "empty.ics", "");
  writeFile(home / "notes.txt", event("txt", "20240501T100000Z", "20240501T110000Z"));
  writeFile(home / "c.ics.tmp", event("tmp", "20240501T100000Z", "20240501T110000Z"));
  writeFile(home / ".hidden.ics", event("hidden", "20240501T100000Z", "20240501T110000Z"));
  writeFile(home / "folder.ics" / "x.ics", event("nested", "20240501T100000Z", "20240501T110000Z"));
  writeFile(home / "unreadable.ics", event("unreadable", "20240501T100000Z", "20240501T110000Z"));
  ::chmod((home / "unreadable.ics").c_str(), 0);
  ASSERT_EQ(::mkfifo((home / "fifo.ics").c_str(), 0600), 0);  // must not block the store
  writeFile(work / "w.ics",
            ics("BEGIN:VEVENT\nUID:w\nDTSTART:20240501T100000Z\nDTEND:20240501T120000Z\n"
                "RRULE:FREQ=DAILY;COUNT=2\nEND:VEVENT\n"));

  VdirStore store(root);
  CalendarList calendars = store.calendarsForEvents();
  ASSERT_EQ(identifiers(calendars), (std::vector<std::string>{"me/home", "me/work"}));
  EventList events = store.eventsMatching(at("2024-05-01T00:00:00Z"), at("2024-05-03T00:00:00Z"),
                                          calendars);
  std::vector<std::string> order;
  for (const auto& e : events) order.push_back(e->calendarItemIdentifier());
  bool rootCanReadAnything = ::geteuid() == 0;
  std::vector<std::string> expected = {"me/home/early", "me/home/short", "me/home/a", "me/home/b"};
  if (rootCanReadAnything) expected.insert(expected.begin() + 2, "me/home/unreadable");
  expected.push_back("me/work/w");
  expected.push_back("me/work/w");
  EXPECT_EQ(order, expected);
  EXPECT_EQ(events.back()->startDate(), at("2024-05-02T10:00:00Z"));
  EXPECT_EQ(events.back()->calendar(), calendars[1]);  // the very calendar object listed

  // Only the calendars asked for, each once; none for an empty list or a foreign calendar.
  EXPECT_EQ(store.eventsMatching(at("2024-05-01T00:00:00Z"), at("2024-05-03T00:00:00Z"),
                                 {calendars[1], calendars[1]})
                .size(),
            2u);
  EXPECT_TRUE(store.eventsMatching(at("2024-05-01T00:00:00Z"), at("2024-05-03T00:00:00Z"), {})
                  .empty());
  auto source = std::make_shared<VdirSource>("x", 0, std::vector<std::string>{});
  auto foreign = std::make_shared<VdirCalendar>("me/home", "x", std::nullopt, source, true, home);
  EXPECT_EQ(store.eventsMatching(at("2024-05-01T00:00:00Z"), at("2024-05-03T00:00:00Z"),
                                 {foreign})
                .size(),
            expected.size() - 2);  // a calendar of the same kind is read like any other
}

// The store's own listing, read in large blocks, names what the reference listing names once
// the entries it leaves to a stat are checked: over many long names (several reads) and every
// kind of entry that is not an item.
TEST(VdirStore, BlockListingAgreesWithTheReferenceListing) {
  TempDir dir;
  const std::filesystem::path calendar = std::filesystem::path(dir.path()) / "calendar";
  const std::filesystem::path elsewhere = std::filesystem::path(dir.path()) / "elsewhere";
  for (int i = 0; i < 3000; ++i) {
    writeFile(calendar / (std::string(60, 'n').append(std::to_string(i * 7919 % 3001)) + ".ics"), "x");
  }
  for (const char* name : {".hidden.ics", "notes.txt", "ics", ".ics", "\xff\x80.ics", "b.ics"}) {
    writeFile(calendar / name, "x");
  }
  writeFile(calendar / "folder.ics" / "inner.ics", "x");
  writeFile(elsewhere / "target.ics", "x");
  std::filesystem::create_directories(elsewhere / "directory.ics");
  std::filesystem::create_symlink(elsewhere / "target.ics", calendar / "link.ics");
  std::filesystem::create_symlink(elsewhere / "missing.ics", calendar / "dangling.ics");
  std::filesystem::create_symlink(elsewhere / "directory.ics", calendar / "to-directory.ics");
  ASSERT_EQ(::mkfifo((calendar / "fifo.ics").c_str(), 0600), 0);

  const int fd = ::open(calendar.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ItemLister lister;
  for (int pass = 0; pass < 2; ++pass) {  // the second reuses the first's buffers
    ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
    ASSERT_TRUE(lister.list(fd));
    std::vector<std::string> items;
    for (const ItemLister::Entry& entry : lister.entries()) {
      ASSERT_EQ(entry.name.data()[entry.name.size()], '\0');
      struct stat info;
      if (entry.type == DT_REG ||
          (::fstatat(fd, entry.name.data(), &info, 0) == 0 && S_ISREG(info.st_mode))) {
        items.emplace_back(entry.name);
      }
    }
    EXPECT_EQ(items, listItems(calendar)) << "pass " << pass;
    EXPECT_EQ(items.size(), 3000u + 3);  // with "\xff\x80.ics", "b.ics" and "link.ics"
  }
  ::close(fd);
}

TEST(VdirStore, CurrentUserComesFromTheSourceAddresses) {
  TempDir dir;
  std::filesystem::path root = std::filesystem::path(dir.path()) / "calendars";
  writeFile(root / "work" / "addresses", "Me@Example.org\n\n  alias@example.org  \n");
  writeFile(root / "work" / "cal" / "m.ics",
            ics("BEGIN:VEVENT\nUID:m\nDTSTART:20240501T100000Z\n"
                "ORGANIZER:mailto:ALIAS@example.org\n"
                "ATTENDEE:mailto:me@example.org\nATTENDEE:mailto:other@example.org\n"
                "ATTENDEE:me@example.org\nEND:VEVENT\n"));
  writeFile(root / "home" / "cal" / "m.ics",
            ics("BEGIN:VEVENT\nUID:m\nDTSTART:20240501T100000Z\n"
                "ATTENDEE:mailto:me@example.org\nEND:VEVENT\n"));
  VdirStore store(root);
  EventList events = store.eventsMatching(at("2024-05-01T00:00:00Z"), at("2024-05-02T00:00:00Z"),
                                          store.calendarsForEvents());
  ASSERT_EQ(events.size(), 2u);
  const Event& home = events[0]->calendarItemIdentifier() == "home/cal/m" ? *events[0] : *events[1];
  const Event& work = &home == events[0].get() ? *events[1] : *events[0];
  EXPECT_TRUE(work.organizer()->isCurrentUser());
  ParticipantList attendees = *work.attendees();
  ASSERT_EQ(attendees.size(), 3u);
  EXPECT_TRUE(attendees[0]->isCurrentUser());
  EXPECT_FALSE(attendees[1]->isCurrentUser());
  EXPECT_FALSE(attendees[2]->isCurrentUser());  // not a mailto: address
  // Another account's addresses are not the user's here.
  EXPECT_FALSE((*home.attendees())[0]->isCurrentUser());
}

// Whether a calendar may be written is the file system's answer for the process; root may
// write anywhere, so the check runs as an unprivileged user in a child process.
TEST(VdirStore, ReadOnlyDirectoriesAreReadOnlyCalendars) {
  TempDir dir;
  std::filesystem::path root = std::filesystem::path(dir.path()) / "calendars";
  writeFile(root / "local" / "open" / "displayname", "Open");
  writeFile(root / "local" / "locked" / "displayname", "Locked");
  ::chmod(dir.path().c_str(), 0755);
  for (const char* d : {"", "/local", "/local/open"}) ::chmod((root.string() + d).c_str(), 0777);
  ::chmod((root / "local" / "locked").c_str(), 0555);

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    CalendarList calendars = VdirStore(root).calendarsForEvents();
    if (calendars.size() != 2) ::_exit(4);
    bool lockedOk = !calendars[0]->allowsContentModifications();  // "locked" sorts first
    bool openOk = calendars[1]->allowsContentModifications();
    ::_exit(lockedOk && openOk ? 0 : 5);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "3: could not drop privileges, 4: wrong calendars, "
                                       "5: wrong writability";
}

TEST(VdirStore, SampleTreeInTheRepository) {
  testing::ScopedTimeZone utc("UTC");
  VdirStore store(std::filesystem::path(EVENTKIT_SOURCE_DIR) / "samples" / "calendars");
  CalendarList calendars = store.calendarsForEvents();
  EXPECT_EQ(identifiers(calendars),
            (std::vector<std::string>{"holidays/public", "personal/family", "personal/home",
                                      "work/meetings"}));
  ASSERT_NE(store.defaultCalendarForNewEvents(), nullptr);
  EXPECT_EQ(store.defaultCalendarForNewEvents()->calendarIdentifier(), "work/meetings");
  EventList may = store.eventsMatching(at("2024-05-01T00:00:00Z"), at("2024-06-01T00:00:00Z"),
                                       calendars);
  // 14 standups on Mondays, Wednesdays and Fridays less the excluded 1 May (the moved and the
  // cancelled one still count here), the dentist, the trip, the review and two holidays.
  EXPECT_EQ(may.size(), 18u);
  int cancelled = 0;
  for (const auto& e : may) cancelled += e->status() == 3 ? 1 : 0;
  EXPECT_EQ(cancelled, 1);
}

TEST(VdirStore, NamesThatAreNotUtf8GiveDistinctIdentifiersThatSelectWhatTheyName) {
  TempDir dir;
  std::filesystem::path root = std::filesystem::path(dir.path()) / "calendars";
  writeFile(root / "src" / "caf\xe9" / "a\xff.ics", event("e", "20240501T100000Z", "20240501T110000Z"));
  writeFile(root / "src" / "caf\xe8" / "b.ics", event("f", "20240502T100000Z", "20240502T110000Z"));
  writeFile(root / "src" / "back\\slash" / "c.ics", event("g", "20240503T100000Z", "20240503T110000Z"));
  writeFile(root / "src" / "caf\xc3\xa9" / "d.ics", event("h", "20240504T100000Z", "20240504T110000Z"));
  VdirStore store(root);
  CalendarList calendars = store.calendarsForEvents();
  ASSERT_EQ(identifiers(calendars),
            (std::vector<std::string>{"src/back\\\\slash", "src/caf\xc3\xa9", "src/caf\\xE8",
                                      "src/caf\\xE9"}));
  std::vector<std::string> items;
  for (const auto& calendar : calendars) {
    EventList events = store.eventsMatching(at("2024-05-01T00:00:00Z"), at("2024-06-01T00:00:00Z"),
                                            {calendar});
    ASSERT_EQ(events.size(), 1u) << calendar->calendarIdentifier();
    items.push_back(events[0]->calendarItemIdentifier());
  }
  EXPECT_EQ(items, (std::vector<std::string>{"src/back\\\\slash/c", "src/caf\xc3\xa9/d",
                                             "src/caf\\xE8/b", "src/caf\\xE9/a\\xFF"}));
}

TEST(VdirStore, StatusCommandReadsTheRootFromTheEnvironment) {
  TempDir dir;
  std::string data = dir.path() + "/data";
  auto run = [&] {
    return testing::runProcess(EVENTKIT_BINARY, {EVENTKIT_BINARY, "status"},
                               {{"XDG_DATA_HOME", data}});
  };
  EXPECT_EQ(run().out, "{\"authorizationStatus\":\"not-determined\"}\n");
  std::filesystem::create_directories(data + "/vandrelis/calendars/me/cal");
  testing::RunResult granted = run();
  EXPECT_EQ(granted.out, "{\"authorizationStatus\":\"granted\"}\n");
  EXPECT_EQ(granted.exitStatus, 0);
}

}  // namespace
}  // namespace vandrelis::store
