// TZIDs to IANA zones: the system database's names, prefixed paths, and Windows zone names
// through the CLDR table that ICU carries.
#include "ical/zone_names.h"

#include <unicode/ures.h>

#include "ical/time_zone.h"

namespace vandrelis::store {
namespace {

// The zone CLDR's Windows table gives a Windows zone name ("W. Europe Standard Time") for the
// world at large; none when the name is not in it.
std::optional<std::string> zoneForWindowsName(std::string_view name) {
  if (name.empty() || name.size() > 128) return std::nullopt;
  for (char c : name) {
    if (c < ' ' || c > '~') return std::nullopt;  // the table's keys are plain ASCII
  }
  const std::string key(name);
  UErrorCode status = U_ZERO_ERROR;
  UResourceBundle* table = ures_openDirect(nullptr, "windowsZones", &status);
  table = ures_getByKey(table, "mapTimezones", table, &status);
  table = ures_getByKey(table, key.c_str(), table, &status);
  int32_t length = 0;
  const UChar* zone = ures_getStringByKey(table, "001", &length, &status);
  std::optional<std::string> out;
  if (U_SUCCESS(status) && zone != nullptr) {
    std::string text;
    for (int32_t i = 0; i < length && zone[i] != u' '; ++i) {
      if (zone[i] >= 0x80) {
        text.clear();
        break;
      }
      text.push_back(static_cast<char>(zone[i]));
    }
    if (!text.empty()) out = std::move(text);
  }
  ures_close(table);
  return out;
}

bool isZoneIdentifierShape(std::string_view id) {
  return !id.empty() && id.size() <= 64 && id.front() != '/' && id.find("..") == std::string_view::npos;
}

std::optional<std::string> systemZoneName(std::string_view id) {
  if (!isZoneIdentifierShape(id)) return std::nullopt;
  std::string name(id);
  if (systemTimeZone(name) == nullptr) return std::nullopt;
  return name;
}

}  // namespace

std::optional<std::string> ianaZoneForTzid(std::string_view tzid) {
  // TZIDs longer than any zone name with a producer's prefix are not looked up (nor kept).
  static constexpr std::size_t kLongest = 256;
  static constexpr std::size_t kEntries = 4096;
  if (tzid.size() > kLongest) return std::nullopt;
  static std::mutex mutex;
  static auto* cache = new std::unordered_map<std::string, std::optional<std::string>>();
  std::string key(tzid);
  {
    std::lock_guard lock(mutex);
    if (auto it = cache->find(key); it != cache->end()) return it->second;
  }
  std::string_view trimmed = tzid;
  while (!trimmed.empty() && trimmed.front() == ' ') trimmed.remove_prefix(1);
  while (!trimmed.empty() && trimmed.back() == ' ') trimmed.remove_suffix(1);
  std::optional<std::string> zone = systemZoneName(trimmed);
  if (!zone && trimmed.starts_with("/")) {
    // "/prefix/Region/City" forms: a zone name has at most three segments, so only the last
    // three suffixes are tried.
    std::size_t slash = trimmed.size();
    for (int segments = 0; segments < 3 && !zone; ++segments) {
      slash = trimmed.rfind('/', slash - 1);
      if (slash == std::string_view::npos || slash == 0) break;
    }
    for (std::size_t at = slash; !zone && at != std::string_view::npos && at + 1 < trimmed.size();
         at = trimmed.find('/', at + 1)) {
      zone = systemZoneName(trimmed.substr(at + 1));
    }
  }
  if (!zone) {
    // Windows zone names map to zones through ICU's copy of CLDR's table (names only; the
    // rules are the system's).
    if (std::optional<std::string> id = zoneForWindowsName(trimmed)) zone = systemZoneName(*id);
  }
  std::lock_guard lock(mutex);
  if (cache->size() >= kEntries) cache->clear();
  cache->emplace(std::move(key), zone);
  return zone;
}

}  // namespace vandrelis::store
