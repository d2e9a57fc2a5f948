// The occurrence index through the store: answers with it, without it and with a damaged one
// are a full read's, while files change under it the way sync tools replace them; damaged
// indexes of every kind and concurrent writers only cost time.
#include "store/vdir/occurrence_index.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "event_conversion.h"
#include "json_writer.h"
#include "ical/ics_events.h"
#include "store/vdir/vdir_store.h"
#include "store/vdir/vdir_tree.h"
#include "test_support.h"
#include "vdir_fixtures.h"

namespace vandrelis::store {
namespace {

using testing::at;
using testing::ics;
using testing::TempDir;
using testing::writeFile;

constexpr double kTrustDelay = 0.2;

void waitUntilTrusted() {
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

// Item i of the corpus: single, all-day, floating, zoned, counted and unbounded series, in
// 2023 to 2025. `year` moves the item without changing its size.
std::string item(int i, int year = 0) {
  const std::string y = std::to_string(year != 0 ? year : 2023 + i % 3);
  const std::string day = y + "0" + std::to_string(1 + i % 9) + std::to_string(10 + i % 18);
  const std::string head = "BEGIN:VEVENT\nUID:item-" + std::to_string(i) + "\nSUMMARY:Title " +
                           std::to_string(i) + "\n";
  switch (i % 6) {
    case 0: return ics(head + "DTSTART:" + day + "T100000Z\nDTEND:" + day + "T110000Z\nEND:VEVENT\n");
    case 1: return ics(head + "DTSTART;VALUE=DATE:" + day + "\nEND:VEVENT\n");
    case 2: return ics(head + "DTSTART:" + day + "T233000\nDURATION:PT1H\nEND:VEVENT\n");
    case 3:
      return ics(head + "DTSTART;TZID=Europe/Berlin:" + day + "T090000\nDURATION:PT30M\n"
                 "RRULE:FREQ=DAILY;COUNT=5\nEND:VEVENT\n");
    case 4: return ics(head + "DTSTART:" + day + "T080000Z\nRRULE:FREQ=WEEKLY\nEND:VEVENT\n");
    default: return "not a calendar " + y + "\n";
  }
}

// Replaces a file as sync tools do: a hidden temporary file renamed over it.
void replace(const std::filesystem::path& file, const std::string& text) {
  const std::filesystem::path temporary = file.parent_path() / ".sync-tmp";
  writeFile(temporary, text);
  std::filesystem::rename(temporary, file);
}

// Every event of the window as the snapshot would write it, in order.
std::vector<std::string> rendered(const EventList& events) {
  std::vector<std::string> out;
  for (const auto& event : events) {
    std::optional<EventOutput> output = eventOutput(*event);
    out.push_back(output ? encodeJson(*output) : "skipped " + event->calendarItemIdentifier());
  }
  return out;
}

// The answer of a full read, made as the store made it before it kept runs and an index:
// every file parsed, all occurrences stably sorted.
std::vector<std::string> fullRead(const std::filesystem::path& root, Instant start, Instant end) {
  VdirEventList found;
  for (const auto& calendar : readVdirTree(root).calendars) {
    for (const std::string& name : listItems(calendar->directory())) {
      std::optional<std::string> text = readRegularFile(calendar->directory() / name, 1 << 26);
      if (!text) continue;
      IcsItem ics{calendar, calendar->identifier() + "/" + name.substr(0, name.size() - 4),
                  [](std::string_view) { return false; }};
      appendIcsOccurrences(*text, ics, start, end, found);
    }
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& a, const auto& b) { return occursBefore(*a, *b); });
  return rendered(EventList(found.begin(), found.end()));
}

struct Window {
  Instant start, end;
};
// The year first: each query drops the entries of files changed too recently to trust, so
// only the first after a change meets the stale entries.
const std::vector<Window> kWindows = {
    {at("2024-01-01T00:00:00Z"), at("2025-01-01T00:00:00Z")},
    {at("2024-03-04T00:00:00Z"), at("2024-03-11T00:00:00Z")},
    {at("2023-01-10T10:00:00Z"), at("2023-01-10T10:00:01Z")},
    {at("1990-01-01T00:00:00Z"), at("1991-01-01T00:00:00Z")},
};

struct Corpus {
  TempDir dir;
  std::filesystem::path root = std::filesystem::path(dir.path()) / "calendars";
  std::filesystem::path indexFile = std::filesystem::path(dir.path()) / "cache" / "index";

  explicit Corpus(int items) {
    for (int i = 0; i < items; ++i) writeFile(path(i), item(i));
  }
  std::filesystem::path path(int i) const {
    return root / "account" / (i % 2 == 0 ? "even" : "odd") / ("item-" + std::to_string(i) + ".ics");
  }
  VdirStore store(std::optional<std::filesystem::path> file = std::nullopt) const {
    return VdirStore(root, {true, file.value_or(indexFile), kTrustDelay});
  }
  // Checks every window against a full read; returns the files read over all of them.
  std::size_t expectFullReadAnswers(const VdirStore& store, const std::string& when) const {
    std::size_t read = 0;
    for (const Window& w : kWindows) {
      EXPECT_EQ(rendered(store.eventsMatching(w.start, w.end, store.calendarsForEvents())),
                fullRead(root, w.start, w.end))
          << when << ", window from " << w.start;
      read += store.lastQueryStats().read;
    }
    return read;
  }
};

// Three threads read each directory's 100 items, whatever the machine, so that the parts'
// answers are joined in every query.
TEST(OccurrenceIndex, AnswersAreAFullReadsUnderChurn) {
  testing::ScopedTimeZone zone("America/New_York");
  constexpr int kItems = 200;
  Corpus corpus(kItems);
  waitUntilTrusted();
  VdirStore store = corpus.store();
  store.setReaders(3);
  const std::size_t cold = corpus.expectFullReadAnswers(store, "cold");
  const std::size_t warm = corpus.expectFullReadAnswers(store, "warm");
  EXPECT_LT(warm, cold / 2) << "a warm index passes over files outside the window";
  VdirStore withoutIndex(corpus.root, {false, std::nullopt, kTrustDelay});
  withoutIndex.setReaders(3);
  EXPECT_EQ(corpus.expectFullReadAnswers(withoutIndex, "no index"), kItems * kWindows.size());

  // Same-size replacements, twice in a row (the second may reuse the first's inode), within
  // the same second; a removal and an addition.
  for (int round = 0; round < 4; ++round) {
    for (int i = round; i < 60; i += 7) {
      replace(corpus.path(i), item(i, 2020 + round * 2));
      replace(corpus.path(i), item(i, 2024));
    }
    std::filesystem::remove(corpus.path(round + 30));
    writeFile(corpus.path(kItems + round), item(kItems + round));
    corpus.expectFullReadAnswers(store, "round " + std::to_string(round));
    if (round % 2 == 1) waitUntilTrusted();
  }

  // No event data in the index: titles stay in the files.
  std::ifstream in(corpus.indexFile, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  EXPECT_GT(bytes.size(), 60u * 40);
  EXPECT_EQ(bytes.find("Title "), std::string::npos);
}

// The index and file identity as a stat gives them: (inode, modification time).
std::pair<ino_t, std::int64_t> fileState(const std::filesystem::path& file) {
  struct stat info {};
  ::stat(file.c_str(), &info);
  return {info.st_ino, static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

// Once a directory's listing is trusted, a warm query does not list it again; changes that
// leave the directory as it was must still show: content rewritten in place, and links whose
// targets appear, change or turn into directories elsewhere. A query that changes nothing
// leaves the index file alone.
TEST(OccurrenceIndex, ChangesOutsideTheDirectoryListingAreSeen) {
  testing::ScopedTimeZone zone("Europe/Berlin");
  Corpus corpus(12);
  const std::filesystem::path elsewhere = corpus.root.parent_path() / "elsewhere";
  const std::filesystem::path even = corpus.root / "account" / "even";
  writeFile(elsewhere / "target.ics", item(0, 2024));
  std::filesystem::create_directories(elsewhere / "turns-into-file.ics");
  std::filesystem::create_symlink(elsewhere / "target.ics", even / "link.ics");
  std::filesystem::create_symlink(elsewhere / "appears.ics", even / "dangling.ics");
  std::filesystem::create_symlink(elsewhere / "turns-into-file.ics", even / "to-directory.ics");
  waitUntilTrusted();
  const VdirStore store = corpus.store();
  corpus.expectFullReadAnswers(store, "cold");
  corpus.expectFullReadAnswers(store, "warm");
  const auto settled = fileState(corpus.indexFile);
  corpus.expectFullReadAnswers(store, "unchanged");
  EXPECT_EQ(fileState(corpus.indexFile), settled) << "rewritten though nothing changed";

  const std::vector<std::pair<std::string, std::function<void()>>> changes = {
      {"rewritten in place, same size", [&] { writeFile(corpus.path(0), item(0, 2023)); }},
      {"rewritten in place, larger", [&] { writeFile(corpus.path(4), item(1, 2024) + "\n"); }},
      {"link target rewritten", [&] { writeFile(elsewhere / "target.ics", item(3, 2024)); }},
      {"dangling link's target appears", [&] { writeFile(elsewhere / "appears.ics", item(4, 2024)); }},
      {"linked directory becomes a file",
       [&] {
         std::filesystem::remove(elsewhere / "turns-into-file.ics");
         writeFile(elsewhere / "turns-into-file.ics", item(1, 2024));
       }},
  };
  for (const auto& [what, change] : changes) {
    const auto before = fileState(even);
    change();
    ASSERT_EQ(fileState(even), before) << what << " changed the directory";
    corpus.expectFullReadAnswers(store, what);
    waitUntilTrusted();
    corpus.expectFullReadAnswers(store, what + ", trusted");
  }
  writeFile(corpus.path(100), item(100));
  corpus.expectFullReadAnswers(store, "added");
  EXPECT_NE(fileState(corpus.indexFile), settled);
}

TEST(OccurrenceIndex, DamagedOrUnusableIndexesOnlyCostTime) {
  Corpus corpus(24);
  waitUntilTrusted();
  corpus.expectFullReadAnswers(corpus.store(), "building");
  std::ifstream in(corpus.indexFile, std::ios::binary);
  const std::string good((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(OccurrenceIndex(corpus.indexFile, corpus.root.string()).size(), 24u);

  std::vector<std::pair<std::string, std::string>> damaged = {
      {"empty", ""}, {"garbage", std::string(good.size(), '\x5A')}, {"header only", good.substr(0, 20)}};
  for (std::size_t cut : {good.size() - 1, good.size() / 2, std::size_t{8}}) {
    damaged.push_back({"cut at " + std::to_string(cut), good.substr(0, cut)});
  }
  for (std::size_t at : {std::size_t{9}, std::size_t{30}, good.size() / 2, good.size() - 3}) {
    std::string flipped = good;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x10);
    damaged.push_back({"bit flipped at " + std::to_string(at), flipped});
  }
  for (const auto& [what, bytes] : damaged) {
    writeFile(corpus.indexFile, bytes);
    EXPECT_EQ(OccurrenceIndex(corpus.indexFile, corpus.root.string()).size(), 0u) << what;
    corpus.expectFullReadAnswers(corpus.store(), what);
  }
  // Another root's index is not used; nor is one that cannot be read or written.
  EXPECT_EQ(OccurrenceIndex(corpus.indexFile, corpus.root.string() + "-other").size(), 0u);
  std::filesystem::remove(corpus.indexFile);
  std::filesystem::create_directories(corpus.indexFile);
  corpus.expectFullReadAnswers(corpus.store(), "a directory in the index's place");
  const std::filesystem::path underFile = corpus.path(0) / "index";
  EXPECT_EQ(corpus.expectFullReadAnswers(corpus.store(underFile), "unwritable"),
            24 * kWindows.size());
}

// An index larger than the writer's buffer: written in several pieces under one running
// checksum, read back whole, and a damaged byte far into it still makes it no index at all.
TEST(OccurrenceIndex, LargeIndexIsWrittenInPiecesAndReadBackWhole) {
  Corpus corpus(1500);
  waitUntilTrusted();
  const std::size_t cold = corpus.expectFullReadAnswers(corpus.store(), "cold");
  ASSERT_EQ(OccurrenceIndex(corpus.indexFile, corpus.root.string()).size(), 1500u);
  std::ifstream in(corpus.indexFile, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  ASSERT_GT(bytes.size(), 65u * 1024);
  EXPECT_LT(corpus.expectFullReadAnswers(corpus.store(), "warm"), cold / 2);

  bytes[65 * 1024] ^= 0x01;  // in the second piece
  writeFile(corpus.indexFile, bytes);
  EXPECT_EQ(OccurrenceIndex(corpus.indexFile, corpus.root.string()).size(), 0u);
  EXPECT_EQ(corpus.expectFullReadAnswers(corpus.store(), "damaged"), cold);
}

TEST(OccurrenceIndex, ConcurrentWritersNeverLeaveADamagedIndex) {
  Corpus corpus(40);
  waitUntilTrusted();
  const std::vector<std::string> expected =
      fullRead(corpus.root, kWindows[0].start, kWindows[0].end);
  std::vector<pid_t> writers;
  for (int w = 0; w < 4; ++w) {
    pid_t pid = ::fork();
    if (pid == 0) {
      // Each writer finds the index changed by the others (different windows renew nothing,
      // but a stale or missing index is rewritten whole) and answers as a full read does.
      int status = 0;
      for (int i = 0; i < 15; ++i) {
        if (w == 0) std::filesystem::remove(corpus.indexFile);
        VdirStore store = corpus.store();
        if (rendered(store.eventsMatching(kWindows[0].start, kWindows[0].end,
                                          store.calendarsForEvents())) != expected) {
          status = 1;
        }
      }
      ::_exit(status);
    }
    writers.push_back(pid);
  }
  int loads = 0;
  for (std::size_t running = writers.size(); running > 0;) {
    const std::size_t size = OccurrenceIndex(corpus.indexFile, corpus.root.string()).size();
    EXPECT_TRUE(size == 0 || size == 40) << size;  // missing, or whole
    loads += size == 40;
    int status = -1;
    if (pid_t done = ::waitpid(-1, &status, WNOHANG); done > 0) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer's answer differed";
      --running;
    }
  }
  EXPECT_GT(loads, 0);
  EXPECT_EQ(OccurrenceIndex(corpus.indexFile, corpus.root.string()).size(), 40u);
}

}  // namespace
}  // namespace vandrelis::store
