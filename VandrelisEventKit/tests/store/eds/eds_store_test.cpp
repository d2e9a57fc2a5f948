// The EDS store against the real Evolution Data Server on a private bus. main() writes the
// calendars into a temporary HOME, then runs the tests again inside eds_session.sh, so every
// test process has an EDS of its own that has read exactly these files.
#include "store/eds/eds_store.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include <gtest/gtest.h>
#include <libecal/libecal.h>

#include "calendar_listing.h"
#include "child_process.h"
#include "store/composite_store.h"
#include "store/notification_center.h"
#include "store/vdir/vdir_store.h"
#include "test_support.h"
#include "vdir_fixtures.h"

namespace vandrelis::store {
namespace {

using testing::at;
using testing::ics;
using testing::writeFile;
namespace fs = std::filesystem;

constexpr const char* kFixtureVariable = "VANDRELIS_EDS_FIXTURE";
constexpr const char* kMissingVariable = "VANDRELIS_EDS_MISSING";

// A week with a series in another zone (an exception date, an override moved within the
// week, one moved out of it and one moved into it), all-day events, a floating event, an event
// across the window's start, a daily series across the spring gap, and one far outside.
const std::string kWeek = ics(R"(BEGIN:VTIMEZONE
TZID:America/New_York
BEGIN:DAYLIGHT
TZOFFSETFROM:-0500
TZOFFSETTO:-0400
DTSTART:20070311T020000
RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=2SU
END:DAYLIGHT
BEGIN:STANDARD
TZOFFSETFROM:-0400
TZOFFSETTO:-0500
DTSTART:20071104T020000
RRULE:FREQ=YEARLY;BYMONTH=11;BYDAY=1SU
END:STANDARD
END:VTIMEZONE
BEGIN:VEVENT
UID:standup
DTSTART;TZID=America/New_York:20240304T090000
DTEND;TZID=America/New_York:20240304T091500
RRULE:FREQ=DAILY;COUNT=40
EXDATE;TZID=America/New_York:20240327T090000
SUMMARY:Standup
END:VEVENT
BEGIN:VEVENT
UID:standup
RECURRENCE-ID;TZID=America/New_York:20240326T090000
DTSTART;TZID=America/New_York:20240326T140000
DTEND;TZID=America/New_York:20240326T143000
SUMMARY:Standup (afternoon)
END:VEVENT
BEGIN:VEVENT
UID:standup
RECURRENCE-ID;TZID=America/New_York:20240328T090000
DTSTART;TZID=America/New_York:20240410T090000
DTEND;TZID=America/New_York:20240410T091500
SUMMARY:Standup (moved out)
END:VEVENT
BEGIN:VEVENT
UID:standup
RECURRENCE-ID;TZID=America/New_York:20240405T090000
DTSTART;TZID=America/New_York:20240329T170000
DTEND;TZID=America/New_York:20240329T171500
SUMMARY:Standup (moved in)
END:VEVENT
BEGIN:VEVENT
UID:holiday
DTSTART;VALUE=DATE:20240329
DTEND;VALUE=DATE:20240330
SUMMARY:Holiday
END:VEVENT
BEGIN:VEVENT
UID:anniversary
DTSTART;VALUE=DATE:20200331
RRULE:FREQ=YEARLY
SUMMARY:Anniversary
END:VEVENT
BEGIN:VEVENT
UID:lunch
DTSTART:20240327T120000
DTEND:20240327T130000
SUMMARY:Floating lunch
END:VEVENT
BEGIN:VEVENT
UID:late
DTSTART:20240324T230000Z
DTEND:20240325T003000Z
SUMMARY:Late call
END:VEVENT
BEGIN:VEVENT
UID:night
DTSTART;TZID=Europe/Berlin:20240329T023000
DTEND;TZID=Europe/Berlin:20240329T030000
RRULE:FREQ=DAILY;COUNT=5
SUMMARY:Night shift
END:VEVENT
BEGIN:VEVENT
UID:far
DTSTART:20240501T100000Z
DTEND:20240501T110000Z
SUMMARY:Far away
END:VEVENT
)");

// A cold start of EDS on a loaded test machine can take longer than the helper waits.
const EdsStore::Bounds kPatient{std::chrono::seconds(30), std::chrono::seconds(60)};

const Instant kWeekStart = at("2024-03-25T00:00:00Z");
const Instant kWeekEnd = at("2024-04-01T00:00:00Z");

void writeSource(const fs::path& config, const std::string& uid, const std::string& text) {
  writeFile(config / "evolution" / "sources" / (uid + ".source"), text);
}

std::string localCalendar(const std::string& name, const std::string& color) {
  return "[Data Source]\nDisplayName=" + name +
         "\nEnabled=true\nParent=local-stub\n\n[Calendar]\nBackendName=local\nColor=" + color +
         "\n";
}

// Everything EDS reads must be in place before its services start.
void writeFixture(const fs::path& dir) {
  fs::path config = dir / "config";
  writeSource(config, "week", localCalendar("Week", "#3465a4"));
  writeSource(config, "changes", localCalendar("Changes", "#00ff80"));
  writeSource(config, "hidden",
              "[Data Source]\nDisplayName=Hidden\nEnabled=false\n"
              "Parent=local-stub\n\n[Calendar]\nBackendName=local\n");
  writeSource(config, "feed",
              "[Data Source]\nDisplayName=Feed\nEnabled=true\nParent=webcal-stub\n\n"
              "[Calendar]\nBackendName=webcal\nColor=#ff0000\n\n"
              "[WebDAV Backend]\nResourceUri=https://example.invalid/feed.ics\n");
  writeSource(config, "account",
              "[Data Source]\nDisplayName=Alice's account\nEnabled=true\n\n"
              "[Collection]\nBackendName=none\nCalendarEnabled=true\n");
  writeSource(config, "team",
              "[Data Source]\nDisplayName=Team\nEnabled=true\nParent=account\n\n"
              "[Calendar]\nBackendName=ews\nColor=#808080\n");
  // Colours as GNOME Calendar, older GTK programs and other CSS-minded editors write them.
  writeSource(config, "gtk-rgb", localCalendar("GNOME Calendar", "rgb(98,160,234)"));
  writeSource(config, "gtk-hex", localCalendar("Evolution", "#6262a0a0eaea"));
  writeSource(config, "gtk-rgba", localCalendar("Translucent", "rgba(50%, 25%, 0%, 0.4)"));
  writeSource(config, "gtk-bad", localCalendar("Unreadable", "rgb(98,160)"));
  writeFile(dir / "data" / "evolution" / "calendar" / "week" / "calendar.ics", kWeek);
  writeFile(dir / "data" / "vandrelis" / "calendars" / "mine" / "week" / "week.ics", kWeek);
}

class EdsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* missing = std::getenv(kMissingVariable)) {
      if (std::getenv("CI") != nullptr) FAIL() << missing;
      GTEST_SKIP() << missing;
    }
    dir_ = std::getenv(kFixtureVariable);
  }

  fs::path vdirRoot() const { return dir_ / "data" / "vandrelis" / "calendars"; }

  fs::path dir_;
};

std::vector<std::string> describe(const CalendarList& calendars) {
  std::vector<std::string> out;
  for (const auto& calendar : calendars) {
    std::ostringstream line;
    line << calendar->calendarIdentifier() << " '" << calendar->title() << "' "
         << colorText(calendar->color()).value_or("no-colour") << " '"
         << calendar->source()->title() << "' type " << calendar->source()->sourceType()
         << (calendar->allowsContentModifications() ? " writable" : " read-only");
    out.push_back(line.str());
  }
  return out;
}

TEST_F(EdsStoreTest, ListingWithColoursTypesAndTheDefault) {
  EdsStore store(kPatient);
  EXPECT_EQ(describe(store.calendarsForEvents()),
            (std::vector<std::string>{
                "eds:birthdays 'Birthdays & Anniversaries' #FED4D3 'Contacts' type 5 read-only",
                "eds:changes 'Changes' #00FF80 'On This Computer' type 0 writable",
                "eds:feed 'Feed' #FF0000 'On The Web' type 4 read-only",
                "eds:gtk-bad 'Unreadable' no-colour 'On This Computer' type 0 writable",
                "eds:gtk-hex 'Evolution' #62A0EA 'On This Computer' type 0 writable",
                "eds:gtk-rgb 'GNOME Calendar' #62A0EA 'On This Computer' type 0 writable",
                "eds:gtk-rgba 'Translucent' #804000 'On This Computer' type 0 writable",
                "eds:system-calendar 'Personal' #BECEDD 'On This Computer' type 0 writable",
                // No Exchange backend is installed: a calendar that cannot open takes no changes.
                "eds:team 'Team' #808080 'Alice's account' type 1 read-only",
                "eds:week 'Week' #3465A4 'On This Computer' type 0 writable",
            }));
  auto fallback = store.defaultCalendarForNewEvents();
  ASSERT_NE(fallback, nullptr);
  EXPECT_EQ(fallback->calendarIdentifier(), "eds:system-calendar");

  // The helper's own store: vdir calendars first, and EDS only while the tree grants access.
  CompositeStore both(std::make_unique<VdirStore>(vdirRoot()),
                      std::make_unique<EdsStore>(kPatient));
  CalendarList all = both.calendarsForEvents();
  ASSERT_EQ(all.size(), 11u);
  EXPECT_EQ(all[0]->calendarIdentifier(), "mine/week");
  EXPECT_EQ(all[1]->calendarIdentifier(), "eds:birthdays");
  CompositeStore notGranted(std::make_unique<VdirStore>(dir_ / "no-such-root"),
                            std::make_unique<EdsStore>(kPatient));
  EXPECT_TRUE(notGranted.calendarsForEvents().empty());
}

std::vector<std::string> occurrences(const EventList& events) {
  std::vector<std::string> out;
  for (const auto& event : events) {
    std::ostringstream line;
    line.precision(15);
    line << event->startDate().value_or(-1) << " " << event->endDate().value_or(-1) << " "
         << event->isAllDay() << " " << event->title().value_or("") << " "
         << event->occurrenceDate().value_or(-1) << " "
         << event->calendarItemExternalIdentifier().value_or("") << " "
         << event->timeZone().value_or("") << " " << event->hasRecurrenceRules();
    out.push_back(line.str());
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST_F(EdsStoreTest, AWeekMatchesTheVdirStoreOccurrenceForOccurrence) {
  testing::ScopedTimeZone zone("Europe/Berlin");
  CompositeStore store(std::make_unique<VdirStore>(vdirRoot()),
                       std::make_unique<EdsStore>(kPatient));
  CalendarList vdirCalendars, edsCalendars;
  for (const auto& calendar : store.calendarsForEvents()) {
    if (calendar->calendarIdentifier() == "mine/week") vdirCalendars.push_back(calendar);
    if (calendar->calendarIdentifier() == "eds:week") edsCalendars.push_back(calendar);
  }
  ASSERT_EQ(vdirCalendars.size(), 1u);
  ASSERT_EQ(edsCalendars.size(), 1u);
  EventList fromVdir = store.eventsMatching(kWeekStart, kWeekEnd, vdirCalendars);
  EventList fromEds = store.eventsMatching(kWeekStart, kWeekEnd, edsCalendars);
  EXPECT_EQ(occurrences(fromEds), occurrences(fromVdir));

  std::vector<std::string> titles;
  for (const auto& event : fromEds) {
    EXPECT_EQ(event->calendar(), edsCalendars[0]);
    EXPECT_EQ(event->calendarItemIdentifier(),
              "eds:week/" + event->calendarItemExternalIdentifier().value_or(""));
    titles.push_back(event->title().value_or(""));
  }
  // 6 standups (25th, 26th moved within the day, 29th, 30th, 31st, and the 5th of April's
  // moved in; none on the 27th or the 28th), holiday, anniversary, lunch, late call, and 3
  // night shifts (02:30 on the 31st falls in the spring gap and is moved past it).
  EXPECT_EQ(fromEds.size(), 13u);
  EXPECT_EQ(std::count(titles.begin(), titles.end(), "Standup (moved in)"), 1);
  EXPECT_EQ(std::count(titles.begin(), titles.end(), "Standup (moved out)"), 0);
  EXPECT_EQ(std::count(titles.begin(), titles.end(), "Far away"), 0);

  // Both stores' events together come in the query's order.
  EventList merged = store.eventsMatching(kWeekStart, kWeekEnd, store.calendarsForEvents());
  EXPECT_EQ(merged.size(), fromVdir.size() + fromEds.size());
  EXPECT_TRUE(std::is_sorted(merged.begin(), merged.end(), [](const auto& a, const auto& b) {
    return a->startDate() < b->startDate();
  }));
}

// Adds an event to a calendar through EDS from this process: the other side of the change
// test, run as a child.
int addEvent(const char* sourceUid, const std::string& eventUid) {
  ESourceRegistry* registry = e_source_registry_new_sync(nullptr, nullptr);
  if (registry == nullptr) return 2;
  ESource* source = e_source_registry_ref_source(registry, sourceUid);
  EClient* client = source != nullptr
                        ? e_cal_client_connect_sync(source, E_CAL_CLIENT_SOURCE_TYPE_EVENTS,
                                                    static_cast<guint32>(-1), nullptr, nullptr)
                        : nullptr;
  if (client == nullptr) return 3;
  const std::string text = "BEGIN:VEVENT\r\nUID:" + eventUid +
                           "\r\nDTSTART:20240326T100000Z\r\nDTEND:20240326T110000Z\r\n"
                           "SUMMARY:Added elsewhere\r\nEND:VEVENT\r\n";
  ICalComponent* event = i_cal_component_new_from_string(text.c_str());
  gboolean added = e_cal_client_create_object_sync(
      E_CAL_CLIENT(client), event, E_CAL_OPERATION_FLAG_NONE, nullptr, nullptr, nullptr);
  g_object_unref(event);
  g_object_unref(client);
  g_object_unref(source);
  g_object_unref(registry);
  return added ? 0 : 4;
}

// The process owning a name on the bus (the bus daemon's own name included).
pid_t ownerPid(const char* name, const std::string& bus = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
  testing::RunResult result =
      testing::runProcess("/usr/bin/gdbus",
                          {"gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
                           "--object-path", "/org/freedesktop/DBus", "--method",
                           "org.freedesktop.DBus.GetConnectionUnixProcessID", name},
                          {{"DBUS_SESSION_BUS_ADDRESS", bus}});
  // "(uint32 1234,)"
  std::size_t number = result.out.find("uint32 ");
  return number == std::string::npos ? 0 : std::stoi(result.out.substr(number + 7));
}

TEST_F(EdsStoreTest, AChangeFromAnotherProcessGivesANotice) {
  EdsStore store(kPatient);
  std::mutex mutex;
  std::condition_variable posted;
  int notices = 0;
  auto token =
      NotificationCenter::defaultCenter().addObserver(kStoreChangedNotification, &store, [&] {
        std::lock_guard lock(mutex);
        ++notices;
        posted.notify_all();
      });
  store.beginObservingChanges();
  CalendarList calendars;
  for (const auto& calendar : store.calendarsForEvents()) {
    if (calendar->calendarIdentifier() == "eds:changes") calendars.push_back(calendar);
  }
  ASSERT_EQ(calendars.size(), 1u);
  EXPECT_TRUE(store.eventsMatching(kWeekStart, kWeekEnd, calendars).empty());

  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(length, 0);
  self[length] = '\0';
  EXPECT_EQ(
      testing::runProcess(self, {self, "--add-event", "changes"},
                          {{"DBUS_SESSION_BUS_ADDRESS", std::getenv("DBUS_SESSION_BUS_ADDRESS")}})
          .exitStatus,
      0);
  {
    std::unique_lock lock(mutex);
    // A bound for a test that would otherwise hang, not a speed requirement.
    EXPECT_TRUE(posted.wait_for(lock, std::chrono::seconds(20), [&] { return notices > 0; }));
  }
  EventList events = store.eventsMatching(kWeekStart, kWeekEnd, calendars);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]->title(), "Added elsewhere");

  // The calendar factory dies: its calendars may have changed meanwhile.
  const pid_t factory = ownerPid("org.gnome.evolution.dataserver.Calendar8");
  ASSERT_GT(factory, 0);
  const auto noticesSoFar = [&] {
    std::lock_guard lock(mutex);
    return notices;
  };
  int before = -1;
  while (before != noticesSoFar()) {  // the notices of the addition are over first
    before = noticesSoFar();
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  ASSERT_EQ(kill(factory, SIGKILL), 0);
  {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(posted.wait_for(lock, std::chrono::seconds(20), [&] { return notices > before; }));
  }
  NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(EdsStoreTest, NoBusNoEdsOrAHangingRegistryGiveTheVdirAnswerAlone) {
  const std::string helper = EVENTKIT_BINARY;
  const std::map<std::string, std::string> home = {{"XDG_DATA_HOME", (dir_ / "data").string()}};
  const auto listing = [&](const std::string& bus, const std::vector<std::string>& prefix = {},
                           const std::map<std::string, std::string>& more = {}) {
    auto environment = home;
    environment.insert(more.begin(), more.end());
    environment["DBUS_SESSION_BUS_ADDRESS"] = bus;
    std::vector<std::string> arguments = prefix;
    arguments.push_back(helper);
    arguments.push_back("list-calendars");
    testing::RunResult result = testing::runProcess(arguments[0], arguments, environment);
    if (prefix.empty()) {
      EXPECT_EQ(result.err, "");  // (a bus daemon of its own has its say on stderr)
    }
    return result.out;
  };
  EXPECT_FALSE(EdsStore(kPatient).calendarsForEvents().empty());  // EDS is up for the helper
  const std::string withEds = listing(std::getenv("DBUS_SESSION_BUS_ADDRESS"));
  const std::string noBus = listing("unix:path=/nonexistent/bus");
  EXPECT_NE(withEds.find("\"externalId\":\"eds:week\""), std::string::npos);
  EXPECT_EQ(noBus.find("eds:"), std::string::npos);
  EXPECT_NE(noBus.find(R"("externalId":"mine\/week")"), std::string::npos);
  // EDS's service file not where the bus looks for it: as if EDS were not installed.
  EXPECT_EQ(listing(std::getenv("DBUS_SESSION_BUS_ADDRESS"), {},
                    {{"XDG_DATA_DIRS", (dir_ / "no-such-dir").string()}}),
            noBus);

  // A bus of its own without any service.
  fs::path empty = dir_ / "empty-bus";
  fs::create_directories(empty / "services");
  writeFile(empty / "bus.conf",
            "<busconfig><type>session</type><listen>unix:dir=" + empty.string() +
                "</listen><auth>EXTERNAL</auth><servicedir>" + (empty / "services").string() +
                "</servicedir><policy context=\"default\"><allow send_destination=\"*\" "
                "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                "</busconfig>");
  EXPECT_EQ(listing("", {"/usr/bin/dbus-run-session",
                         "--config-file=" + (empty / "bus.conf").string(), "--"}),
            noBus);

  // A registry that never answers: the store gives up within its bound.
  pid_t registry = ownerPid("org.gnome.evolution.dataserver.Sources5");
  ASSERT_GT(registry, 0);
  ASSERT_EQ(kill(registry, SIGSTOP), 0);
  auto started = std::chrono::steady_clock::now();
  CalendarList calendars;
  {
    EdsStore store(
        EdsStore::Bounds{std::chrono::milliseconds(300), std::chrono::milliseconds(300)});
    calendars = store.calendarsForEvents();
  }
  auto waited = std::chrono::steady_clock::now() - started;
  kill(registry, SIGCONT);
  EXPECT_TRUE(calendars.empty());
  EXPECT_LT(waited, std::chrono::seconds(5));
}

// Adds events to the "week" calendar through EDS until `watch` reports one: the watch starts
// EDS's views a moment after it starts.
bool hearsAnEdsChange(testing::Child& watch,
                      const std::map<std::string, std::string>& environment) {
  const std::string self = fs::read_symlink("/proc/self/exe");
  for (int attempt = 0; attempt < 10; ++attempt) {
    const std::string uid = "added-" + std::to_string(attempt);
    if (testing::runProcess(self, {self, "--add-event", "week", uid}, environment).exitStatus != 0)
      return false;
    if (watch.readLine(std::chrono::seconds(3)) == "{\"type\":\"changed\"}\n") return true;
  }
  return false;
}

// The shipped program reaches EDS through its module, loaded only by the commands that read
// calendars, and hears EDS's changes through it.
TEST_F(EdsStoreTest, TheProgramLoadsEdsOnlyForCalendarCommandsAndHearsItsChanges) {
  const std::string helper = EVENTKIT_BINARY;
  const std::map<std::string, std::string> environment = {
      {"XDG_DATA_HOME", (dir_ / "data").string()},
      {"DBUS_SESSION_BUS_ADDRESS", std::getenv("DBUS_SESSION_BUS_ADDRESS")}};
  const auto run = [&](std::vector<std::string> arguments, bool traceLoading = false) {
    auto more = environment;
    if (traceLoading) more["LD_DEBUG"] = "files";
    arguments.insert(arguments.begin(), helper);
    return testing::runProcess(helper, arguments, more);
  };
  const auto loadsModule = [](const testing::RunResult& result) {
    return result.err.find("vandrelis-eventkit-eds.so") != std::string::npos;
  };
  const testing::RunResult status = run({"status"}, true);
  EXPECT_EQ(status.out, "{\"authorizationStatus\":\"granted\"}\n");
  EXPECT_FALSE(loadsModule(status));
  EXPECT_TRUE(loadsModule(run({"list-calendars"}, true)));

  const testing::RunResult week = run({"snapshot", "--start", "2024-03-25T00:00:00.000Z", "--end",
                                       "2024-04-01T00:00:00.000Z", "--calendar", "eds:week"});
  EXPECT_EQ(week.exitStatus, 0) << week.err;
  EXPECT_NE(week.out.find("\"calendarExternalId\":\"eds:week\""), std::string::npos) << week.out;
  EXPECT_EQ(std::count(week.out.begin(), week.out.end(), '\n'), 1) << week.out;

  // A copy of the program without its module, or beside a damaged one (an interrupted update:
  // the module cut short; or some other file by its name), lists the vdir calendars alone,
  // silently.
  testing::TempDir alone;
  const std::string copy = alone.path() + "/vandrelis-eventkit";
  fs::copy_file(helper, copy);
  std::string module;
  {
    std::ifstream in(fs::path(helper).parent_path() / "vandrelis-eventkit-eds.so",
                     std::ios::binary);
    module.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_GT(module.size(), 65536u);
  for (const std::string& besideIt : {std::string(), module.substr(0, 65536), std::string("x")}) {
    if (!besideIt.empty()) writeFile(alone.path() + "/vandrelis-eventkit-eds.so", besideIt);
    const testing::RunResult withoutModule =
        testing::runProcess(copy, {copy, "list-calendars"}, environment);
    EXPECT_EQ(withoutModule.exitStatus, 0) << besideIt.size();
    EXPECT_EQ(withoutModule.err, "");
    EXPECT_NE(withoutModule.out.find("mine\\/week"), std::string::npos);
    EXPECT_EQ(withoutModule.out.find("eds:"), std::string::npos);
  }

  testing::Child watch(helper, {"watch"}, environment);
  EXPECT_TRUE(hearsAnEdsChange(watch, environment));
}

// A session bus of its own with EDS on it, for a test that stops the bus: eds_session.sh on
// `dir`, kept open by a `cat` that reads this object's pipe.
class OwnSession {
 public:
  explicit OwnSession(const fs::path& dir) : session_(EDS_SESSION_SCRIPT, {dir.string(), "cat"}) {
    // The bus names its socket itself, in the session's runtime directory.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (address_.empty() && std::chrono::steady_clock::now() < deadline) {
      std::error_code error;
      for (const auto& entry : fs::directory_iterator(dir / "runtime", error)) {
        if (entry.is_socket() && entry.path().filename().string().starts_with("dbus-"))
          address_ = "unix:path=" + entry.path().string();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!address_.empty()) daemon_ = ownerPid("org.freedesktop.DBus", address_);
  }
  ~OwnSession() { stopBus(); }

  const std::string& address() const { return address_; }
  bool busRunning() const { return daemon_ > 0; }
  void stopBus() {
    if (daemon_ > 0) kill(std::exchange(daemon_, 0), SIGTERM);
  }

 private:
  testing::Child session_;
  std::string address_;
  pid_t daemon_ = 0;
};

TEST_F(EdsStoreTest, TheHelperOutlivesItsSessionBus) {
  testing::TempDir own;
  const fs::path dir = own.path();
  writeSource(dir / "config", "week", localCalendar("Week", "#3465a4"));
  writeFile(dir / "data" / "evolution" / "calendar" / "week" / "calendar.ics", kWeek);
  const fs::path tree = dir / "data" / "vandrelis" / "calendars" / "mine" / "week";
  writeFile(tree / "week.ics", kWeek);
  OwnSession session(dir);
  ASSERT_TRUE(session.busRunning());
  const std::map<std::string, std::string> environment = {
      {"XDG_DATA_HOME", (dir / "data").string()}, {"DBUS_SESSION_BUS_ADDRESS", session.address()}};
  const std::string helper = EVENTKIT_BINARY;
  const std::string changed = "{\"type\":\"changed\"}\n";

  // The watch is known to have EDS once it reports a change made through EDS.
  testing::Child watch(helper, {"watch"}, environment);
  ASSERT_TRUE(hearsAnEdsChange(watch, environment));
  while (!watch.readLine(std::chrono::milliseconds(1500)).empty()) {
  }

  // A snapshot is waiting on a calendar factory that does not answer when the bus goes (or, on
  // a slow machine, has not reached it yet: the answer must be the same).
  const pid_t factory = ownerPid("org.gnome.evolution.dataserver.Calendar8", session.address());
  ASSERT_GT(factory, 0);
  ASSERT_EQ(kill(factory, SIGSTOP), 0);
  testing::Child snapshot(
      helper,
      {"snapshot", "--start", "2024-03-25T00:00:00.000Z", "--end", "2024-04-01T00:00:00.000Z",
       "--calendar", "mine/week", "--calendar", "eds:week"},
      environment);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  session.stopBus();
  kill(factory, SIGCONT);

  // It answers from the tree alone.
  EXPECT_EQ(snapshot.waitFor(std::chrono::seconds(30)), std::optional<int>(0));
  const std::string document = snapshot.readRest();
  EXPECT_EQ(std::count(document.begin(), document.end(), '\n'), 1) << document;
  EXPECT_NE(document.find(R"("calendarExternalId":"mine\/week")"), std::string::npos) << document;
  EXPECT_EQ(document.find("eds:"), std::string::npos) << document;
  EXPECT_EQ(snapshot.errors(), "");

  // The watch says once that EDS's calendars have gone, then goes on with the tree's changes.
  EXPECT_EQ(watch.readLine(std::chrono::seconds(20)), changed);
  EXPECT_EQ(watch.readLine(std::chrono::seconds(1)), "");
  writeFile(tree / "lunch.ics", ics("BEGIN:VEVENT\nUID:lunch\nDTSTART:20240326T120000Z\n"
                                    "DTEND:20240326T130000Z\nSUMMARY:Lunch\nEND:VEVENT\n"));
  EXPECT_EQ(watch.readLine(std::chrono::seconds(20)), changed);
  EXPECT_TRUE(watch.running());
  EXPECT_EQ(watch.errors(), "");
}

bool runningUnderFixture() { return std::getenv(kFixtureVariable) != nullptr; }

// What the private EDS needs; without it the tests skip (or fail under CI).
std::optional<std::string> missingFacility() {
  for (const char* path : {"/usr/bin/dbus-run-session", "/usr/libexec/evolution-source-registry",
                           "/usr/libexec/evolution-calendar-factory", "/usr/bin/gdbus"}) {
    if (::access(path, X_OK) != 0) return std::string(path) + " is not installed";
  }
  return std::nullopt;
}

}  // namespace
}  // namespace vandrelis::store

int main(int argc, char** argv) {
  using namespace vandrelis::store;
  if (argc >= 3 && std::string(argv[1]) == "--add-event")
    return addEvent(argv[2], argc > 3 ? argv[3] : "added");
  bool listing = false;
  for (int i = 1; i < argc; ++i) listing = listing || std::string(argv[i]) == "--gtest_list_tests";
  if (!runningUnderFixture() && !listing) {
    if (std::optional<std::string> missing = missingFacility()) {
      setenv(kMissingVariable, missing->c_str(), 1);
    } else {
      vandrelis::testing::TempDir dir;
      writeFixture(dir.path());
      std::vector<std::string> arguments = {EDS_SESSION_SCRIPT, EDS_SESSION_SCRIPT, dir.path()};
      arguments.insert(arguments.end(), argv, argv + argc);
      arguments[3] = std::filesystem::read_symlink("/proc/self/exe");
      setenv(kFixtureVariable, dir.path().c_str(), 1);
      // For sanitizer builds (ignored otherwise): GLib has no frame pointers, so only the slow
      // unwinder sees the EDS frames that the suppressions name.
      const char* asan = std::getenv("ASAN_OPTIONS");
      setenv("ASAN_OPTIONS",
             ((asan != nullptr ? std::string(asan) + ":" : "") + "fast_unwind_on_malloc=0").c_str(),
             1);
      setenv("LSAN_OPTIONS", "print_suppressions=0:suppressions=" LSAN_EDS_SUPPRESSIONS, 1);
      std::vector<char*> pointers;
      for (std::string& argument : arguments) pointers.push_back(argument.data());
      pointers.push_back(nullptr);
      pid_t child = fork();
      if (child == 0) {
        execv(pointers[0], pointers.data() + 1);
        _exit(127);
      }
      int status = 0;
      waitpid(child, &status, 0);
      return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
