// The zones one file's times are read in: its own VTIMEZONEs first, then the system's database.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ical/ics_reader.h"
#include "ical/time_zone.h"

namespace vandrelis::store::ics {

using ZonePtr = std::shared_ptr<const TimeZone>;

// TZIDs are looked up in the file's own VTIMEZONEs first, then in the system's database. A
// VTIMEZONE's TZID property is TEXT, so its escapes are undone before matching: Exchange writes
// "TZID:(UTC+07:00) Bangkok\, Hanoi" there and "TZID=\"(UTC+07:00) Bangkok, Hanoi\"" in the
// events (a parameter has no escapes). The property as written still matches when no zone's
// unescaped TZID is that text.
class FileZones {
 public:
  explicit FileZones(const IcsOutline& outline);

  // Null when the TZID names no zone.
  ZonePtr zone(const std::string& tzid);

  const ZonePtr& local() const { return local_; }
  const ZonePtr& utc() const { return utc_; }

 private:
  ZonePtr local_;
  ZonePtr utc_;
  std::unordered_map<std::string, std::string_view> definitions_;
  std::unordered_map<std::string, ZonePtr> resolved_;
};

}  // namespace vandrelis::store::ics
