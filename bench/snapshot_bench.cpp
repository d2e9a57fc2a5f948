// Throughput of the snapshot command over the in-memory store (events and JSON bytes per
// second, peak memory), and the cost of texts far longer than their caps.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include "json_writer.h"
#include "memory_store.h"
#include "snapshot.h"
#include "text.h"

namespace {

using namespace vandrelis;
using namespace vandrelis::testing;

enum Kind { kTypical = 0, kHeavyLatin = 1, kHeavyMixed = 2 };

// Texts of exactly `characters` user-perceived characters, cycling through `clusters`.
std::string textOf(const std::vector<std::string>& clusters, std::size_t characters) {
  std::string out;
  for (std::size_t i = 0; i < characters; ++i) out.append(clusters[i % clusters.size()]);
  return out;
}

std::vector<std::string> asciiClusters(std::string_view sentence) {
  std::vector<std::string> clusters;
  for (char c : sentence) clusters.emplace_back(1, c);
  return clusters;
}

const std::vector<std::string>& latin() {
  static const auto clusters =
      asciiClusters("Agenda: review the quarterly numbers, plan the offsite (room 4/B).\n");
  return clusters;
}

// Cyrillic, CJK, Arabic, Devanagari with vowel signs, Hangul, emoji with skin tones and ZWJ,
// flags and a decomposed accent.
const std::vector<std::string>& mixed() {
  static const std::vector<std::string> clusters = {"\xD0\x9F",
                                                    "\xD1\x80",
                                                    "\xD0\xB8",
                                                    " ",
                                                    "\xE4\xBC\x9A",
                                                    "\xE8\xAD\xB0",
                                                    "\xD9\x85",
                                                    "\xD8\xB1",
                                                    "\xE0\xA4\x95\xE0\xA4\xBF",
                                                    "\xE0\xA4\xAE\xE0\xA5\x80",
                                                    "\xED\x95\x9C",
                                                    "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD",
                                                    "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7",
                                                    "e\xCC\x81",
                                                    "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x92\xBB",
                                                    ",",
                                                    " "};
  return clusters;
}

const std::vector<std::string>& japaneseAndRussian() {
  static const std::vector<std::string> clusters = {
      "\xE5\xAE\x9A", "\xE4\xBE\x8B", "\xE4\xBC\x9A", "\xE8\xAD\xB0", "\xE3\x81\xAE", " ",
      "\xD0\xA1",     "\xD0\xBE",     "\xD0\xB2",     "\xD0\xB5",     "\xD1\x82",     " "};
  return clusters;
}

std::shared_ptr<MemoryStore> makeStore(Kind kind, std::size_t count,
                                       std::size_t noteCharacters = 0) {
  auto store = std::make_shared<MemoryStore>();
  store->calendars.push_back(makeCalendar("calendar-A"));
  const bool heavy = kind != kTypical;
  const auto& noteClusters = kind == kHeavyMixed ? mixed() : latin();
  if (noteCharacters == 0) noteCharacters = heavy ? 30000 : 200;
  const std::string notes = textOf(noteClusters, noteCharacters);
  const std::string title = heavy ? textOf(japaneseAndRussian(), 600) : "Weekly planning";
  const std::size_t attendees = heavy ? 20 : 5;
  for (std::size_t i = 0; i < count; ++i) {
    auto event = std::make_shared<MemoryEvent>();
    const double start = 1714521600.0 + static_cast<double>(i) * 1800.0;
    event->calendarValue = store->calendars[0];
    event->itemIdentifier = "item-" + std::to_string(i / 4) + "@example.org";
    event->externalIdentifier = "uid-" + std::to_string(i / 4);
    event->titleValue = title;
    event->notesValue = notes;
    event->start = start;
    event->end = start + 1800;
    event->allDay = i % 10 == 9;
    event->zone = "Europe/Berlin";
    event->recurrenceRules = true;
    event->occurrence = start;
    event->statusValue = static_cast<std::int64_t>(i % 3);
    event->urlValue = "https://meet.example.org/j/" + std::to_string(1000000 + i);
    event->locationValue = "Conference room " + std::to_string(i % 40);
    event->lastModified = start - 86400.25;
    event->organizerValue = makeParticipant("Organizer Person", "mailto:organizer@example.org");
    auto& list = event->attendeesValue.emplace();
    for (std::size_t k = 0; k < attendees; ++k) {
      list.push_back(makeParticipant("Attendee " + std::to_string(k),
                                     "mailto:attendee." + std::to_string(k) + "@example.org",
                                     static_cast<std::int64_t>(k % 8)));
    }
    store->events.push_back(std::move(event));
  }
  return store;
}

const std::vector<std::string> kArguments = {
    "snapshot",   "--start",   "2024-01-01T00:00:00.000Z", "--end", "2025-01-01T00:00:00.000Z",
    "--calendar", "calendar-A"};

double maxResidentMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void runSnapshot(benchmark::State& state, const MemoryStore& store, std::size_t count) {
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const double storeMegabytes = maxResidentMegabytes();
  // The document's size, from one run into a file; the timed runs write to /dev/null.
  std::FILE* sized = std::tmpfile();
  snapshot(store, kArguments, ::fileno(sized));
  const auto bytes = static_cast<std::size_t>(::lseek(::fileno(sized), 0, SEEK_END));
  std::fclose(sized);
  for (auto _ : state) snapshot(store, kArguments, devNull);
  ::close(devNull);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["doc_MB"] = static_cast<double>(bytes) / 1e6;
  state.counters["rss_before_MB"] = storeMegabytes;
  state.counters["rss_peak_MB"] = maxResidentMegabytes();
}

// range(0): kind; range(1): number of events.
void BM_Snapshot(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(1));
  auto store = makeStore(static_cast<Kind>(state.range(0)), count);
  runSnapshot(state, *store, count);
}
BENCHMARK(BM_Snapshot)
    ->ArgNames({"kind", "events"})
    ->Args({kTypical, 1000})
    ->Args({kTypical, 10000})
    ->Args({kTypical, 30000})
    ->Args({kHeavyLatin, 1000})
    ->Args({kHeavyLatin, 10000})
    ->Args({kHeavyMixed, 1000})
    ->Args({kHeavyMixed, 10000})
    ->Unit(benchmark::kMillisecond);

// range(0): kind; range(1): characters in each note. 20 events each, so the two lengths can be
// compared per event.
void BM_LongNotes(benchmark::State& state) {
  auto store =
      makeStore(static_cast<Kind>(state.range(0)), 20, static_cast<std::size_t>(state.range(1)));
  runSnapshot(state, *store, 20);
}
BENCHMARK(BM_LongNotes)
    ->ArgNames({"kind", "chars"})
    ->Args({kHeavyLatin, 30000})
    ->Args({kHeavyLatin, 5000000})
    ->Args({kHeavyMixed, 30000})
    ->Args({kHeavyMixed, 1500000})
    ->Unit(benchmark::kMicrosecond);

// The store's read of one note alone: the interface hands out a copy, which is the only part
// of a snapshot whose cost follows a text's full length.
void BM_StoreNotesRead(benchmark::State& state) {
  auto store =
      makeStore(static_cast<Kind>(state.range(0)), 1, static_cast<std::size_t>(state.range(1)));
  const MemoryEvent& event = *store->events.front();
  for (auto _ : state) benchmark::DoNotOptimize(event.notes());
}
BENCHMARK(BM_StoreNotesRead)
    ->ArgNames({"kind", "chars"})
    ->Args({kHeavyLatin, 30000})
    ->Args({kHeavyLatin, 5000000})
    ->Args({kHeavyMixed, 30000})
    ->Args({kHeavyMixed, 1500000})
    ->Unit(benchmark::kMicrosecond);

// The cut alone, without the store's copy of the text: must not depend on the length.
void BM_PrefixCharacters(benchmark::State& state) {
  const auto& clusters = state.range(0) == kHeavyMixed ? mixed() : latin();
  const std::string text = textOf(clusters, static_cast<std::size_t>(state.range(1)));
  for (auto _ : state) benchmark::DoNotOptimize(prefixCharacters(text, 20000));
  state.SetBytesProcessed(
      static_cast<std::int64_t>(state.iterations() * prefixCharacters(text, 20000).size()));
}
BENCHMARK(BM_PrefixCharacters)
    ->ArgNames({"kind", "chars"})
    ->Args({kHeavyLatin, 30000})
    ->Args({kHeavyLatin, 5000000})
    ->Args({kHeavyMixed, 30000})
    ->Args({kHeavyMixed, 1500000})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
