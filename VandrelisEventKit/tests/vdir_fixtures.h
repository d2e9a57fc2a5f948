// Helpers for tests of the vdir store: writing trees, iCalendar text, instants from ISO text
// and a process time zone set for the length of a test.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "records/calendar_records.h"

namespace vandrelis::testing {

inline void writeFile(const std::filesystem::path& file, const std::string& text) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
}

// A VCALENDAR around the given components (lines separated by "\n").
inline std::string ics(const std::string& components) {
  return "BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//test//EN\n" + components + "END:VCALENDAR\n";
}

// "2024-05-01T10:00:00Z" as seconds since 1970.
inline store::Instant at(const std::string& iso) {
  struct tm fields {};
  strptime(iso.c_str(), "%Y-%m-%dT%H:%M:%SZ", &fields);
  return static_cast<store::Instant>(timegm(&fields));
}

// Sets TZ for the process (the store's "default zone") and restores it afterwards.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = getenv("TZ")) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> saved_;
};

}  // namespace vandrelis::testing
