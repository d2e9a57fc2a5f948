// The look-up that ties the zone sources together: IANA identifiers to the system database's
// TZif files, the process's own zone from TZ (a name, a path or a POSIX rule), and UTC.
#include "ical/time_zone.h"

#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "ical/zone_math.h"
#include "ical/zone_posix.h"
#include "ical/zone_tzif.h"

namespace vandrelis::store {
namespace {

using namespace zone_math;

// An identifier names a file below the database directory and nothing else.
bool isSafeZoneId(std::string_view id) {
  if (id.empty() || id.size() > 255 || id.front() == '/') return false;
  std::size_t begin = 0;
  while (begin <= id.size()) {
    std::size_t end = std::min(id.find('/', begin), id.size());
    std::string_view part = id.substr(begin, end - begin);
    if (part.empty() || part == "." || part == "..") return false;
    begin = end + 1;
  }
  return id.find('\0') == std::string_view::npos;
}

const char* zoneDirectory() {
  const char* dir = std::getenv("TZDIR");
  return dir && *dir ? dir : "/usr/share/zoneinfo";
}

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

}  // namespace

std::shared_ptr<const TimeZone> systemTimeZone(std::string_view ianaId) {
  if (!isSafeZoneId(ianaId)) return nullptr;
  // Zones and names that are no zone are each remembered up to a limit (far above the size of
  // the database, but a case-insensitive file system answers to endless spellings of a name),
  // beyond which they are read again. A lookup of a cached name allocates nothing.
  static std::mutex mutex;
  static std::string directory;  // the one the cached zones came from
  static std::unordered_map<std::string, std::shared_ptr<const TimeZone>, StringHash,
                            std::equal_to<>>
      zones;
  static std::size_t known = 0, unknown = 0;
  constexpr std::size_t kMaxEach = 4096;
  const char* dir = zoneDirectory();
  {
    std::lock_guard lock(mutex);
    if (directory != dir) {
      zones.clear();
      known = unknown = 0;
      directory = dir;
    }
    if (auto it = zones.find(ianaId); it != zones.end()) return it->second;
  }
  std::shared_ptr<const TimeZone> zone = readTzifFile(std::string(dir) + "/" + std::string(ianaId));
  std::lock_guard lock(mutex);
  std::size_t& count = zone ? known : unknown;
  if (directory == dir && count < kMaxEach && zones.emplace(ianaId, zone).second) ++count;
  return zone;
}

std::shared_ptr<const TimeZone> utcTimeZone() {
  static const auto utc = std::make_shared<const FixedZone>(0);
  return utc;
}

namespace {

std::shared_ptr<const TimeZone> zoneOfTzValue(const char* value) {
  if (!value) {
    auto zone = readTzifFile("/etc/localtime");
    return zone ? zone : utcTimeZone();
  }
  std::string_view tz = value;
  if (!tz.empty() && tz.front() == ':') tz.remove_prefix(1);
  if (tz.empty()) return utcTimeZone();
  std::shared_ptr<const TimeZone> zone =
      tz.front() == '/' ? readTzifFile(std::string(tz)) : systemTimeZone(tz);
  if (zone) return zone;
  if (std::optional<PosixRule> rule = parsePosixRule(tz)) return posixTimeZone(*rule);
  return utcTimeZone();
}

}  // namespace

std::shared_ptr<const TimeZone> localTimeZone() {
  // Read again only when TZ changes, which costs one comparison per call.
  static std::mutex mutex;
  static std::optional<std::string> lastValue;
  static std::shared_ptr<const TimeZone> zone;
  const char* value = std::getenv("TZ");
  std::lock_guard lock(mutex);
  bool same = zone && (value ? lastValue && *lastValue == value : !lastValue);
  if (!same) {
    zone = zoneOfTzValue(value);
    lastValue = value ? std::optional<std::string>(value) : std::nullopt;
  }
  return zone;
}

}  // namespace vandrelis::store
