// Zones of the system database (TZif files and POSIX TZ rules, read the way the C library reads
// them) and zones that a calendar file defines. Lookups are binary searches over precomputed
// tables so that converting one occurrence costs no allocation.
#include "ical/time_zone.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <unordered_map>

namespace vandrelis::store {
namespace {

// Instants further out than about a billion years are answered as at this bound, so that the
// year arithmetic below never overflows.
constexpr std::int64_t kInstantBound = std::int64_t{1} << 55;
// Larger than any real TZif file (the biggest are a few kilobytes).
constexpr std::size_t kMaxTzifBytes = 1 << 20;
// Zone offsets beyond this are no zone anyone lives in.
constexpr std::int64_t kMaxOffset = 2 * 86400;

std::int64_t clampInstant(std::int64_t seconds) {
  return std::clamp(seconds, -kInstantBound, kInstantBound);
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// The proleptic Gregorian year of an instant, in 64 bits (CivilTime's year is an int).
std::int64_t yearOfSeconds(std::int64_t seconds) {
  std::int64_t z = floorDiv(seconds, 86400) + 719468;
  std::int64_t era = floorDiv(z, 146097);
  std::int64_t doe = z - era * 146097;
  std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  std::int64_t mp = (5 * doy + 2) / 153;
  return yoe + era * 400 + (mp >= 10 ? 1 : 0);
}

struct Transition {
  std::int64_t at = 0;  // seconds since the epoch
  std::int32_t before = 0;
  std::int32_t after = 0;
};

// The wall reading from which a transition's later offset applies: a gap's wall times and a
// fold's first pass both still belong to the earlier offset.
std::int64_t wallKey(const Transition& t) { return t.at + std::max(t.before, t.after); }

class FixedZone final : public TimeZone {
 public:
  explicit FixedZone(std::int32_t offset) : offset_(offset) {}
  std::int32_t offsetAt(std::int64_t) const override { return offset_; }
  std::int64_t toInstant(const CivilTime& wall) const override {
    return civilSeconds(wall) - offset_;
  }

 private:
  std::int32_t offset_;
};

// ---- POSIX TZ rules ("CET-1CEST,M3.5.0,M10.5.0/3") ------------------------------------------

struct PosixDate {
  enum class Kind { julianNoLeap, zeroBasedDay, monthWeekDay } kind = Kind::monthWeekDay;
  int month = 0, week = 0, day = 0;  // day: Jn or n, or the weekday (0 Sunday) of Mm.w.d
  std::int32_t seconds = 2 * 3600;   // local time of the change, may be negative or past 24h

  // The instant of the change in a year, counted in the offset in force before it.
  std::int64_t instantIn(std::int64_t year, std::int32_t offsetBefore) const {
    std::int64_t days = daysFromCivil(year, 1, 1);
    switch (kind) {
      case Kind::julianNoLeap:
        days += day - 1 + (day >= 60 && isLeapYear(year) ? 1 : 0);
        break;
      case Kind::zeroBasedDay:
        days += day;
        break;
      case Kind::monthWeekDay: {
        std::int64_t first = daysFromCivil(year, month, 1);
        int firstWeekday = (weekdayOf(first) + 1) % 7;  // Sunday 0, as POSIX counts
        int dayOfMonth = 1 + (day - firstWeekday + 7) % 7 + 7 * (week - 1);
        while (dayOfMonth > daysInMonth(year, month)) dayOfMonth -= 7;
        days = first + dayOfMonth - 1;
        break;
      }
    }
    return days * 86400 + seconds - offsetBefore;
  }
};

std::uint64_t nextRuleId() {
  static std::atomic<std::uint64_t> last{0};
  return ++last;
}

struct PosixRule {
  std::int32_t standard = 0;  // offsets east of UTC, unlike the string's sign
  std::optional<std::int32_t> daylight;
  PosixDate start, end;  // of daylight time
  std::uint64_t id = nextRuleId();  // names the rule in the per-thread cache of its changes
};

class PosixParser {
 public:
  explicit PosixParser(std::string_view text) : text_(text) {}

  std::optional<PosixRule> parse() {
    PosixRule rule;
    std::optional<std::int32_t> offset;
    if (!name() || !(offset = hours(24))) return std::nullopt;
    rule.standard = -*offset;
    if (done()) return rule;
    if (!name()) return std::nullopt;
    rule.daylight = rule.standard + 3600;
    if (!done() && peek() != ',') {
      if (!(offset = hours(24))) return std::nullopt;
      rule.daylight = -*offset;
    }
    if (done()) {
      // No rule given: the C library then applies the United States' rules of 2007.
      rule.start = {PosixDate::Kind::monthWeekDay, 3, 2, 0};
      rule.end = {PosixDate::Kind::monthWeekDay, 11, 1, 0};
      return rule;
    }
    if (!accept(',') || !date(rule.start) || !accept(',') || !date(rule.end) || !done()) {
      return std::nullopt;
    }
    return rule;
  }

 private:
  bool done() const { return pos_ == text_.size(); }
  char peek() const { return done() ? '\0' : text_[pos_]; }
  bool accept(char c) {
    if (peek() != c) return false;
    ++pos_;
    return true;
  }
  static bool isDigit(char c) { return c >= '0' && c <= '9'; }
  static bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

  bool name() {
    std::size_t begin = pos_;
    if (accept('<')) {
      while (!done() && (isAlpha(peek()) || isDigit(peek()) || peek() == '+' || peek() == '-')) {
        ++pos_;
      }
      return pos_ - begin - 1 >= 3 && accept('>');
    }
    while (isAlpha(peek())) ++pos_;
    return pos_ - begin >= 3;
  }

  std::optional<int> number(int maxDigits, int maxValue) {
    int value = 0, digits = 0;
    while (isDigit(peek()) && digits < maxDigits) {
      value = value * 10 + (text_[pos_++] - '0');
      ++digits;
    }
    if (digits == 0 || value > maxValue) return std::nullopt;
    return value;
  }

  // [+-]hh[:mm[:ss]], in seconds; signed offsets and times of change share the form.
  std::optional<std::int32_t> hours(int maxHours) {
    int sign = 1;
    if (accept('-')) {
      sign = -1;
    } else if (!accept('+') && !isDigit(peek())) {
      return std::nullopt;
    }
    std::optional<int> h = number(3, maxHours), m = 0, s = 0;
    if (!h) return std::nullopt;
    if (accept(':') && !(m = number(2, 59))) return std::nullopt;
    if (accept(':') && !(s = number(2, 59))) return std::nullopt;
    return sign * (*h * 3600 + *m * 60 + *s);
  }

  bool date(PosixDate& out) {
    std::optional<int> a, b, c;
    if (accept('J')) {
      if (!(a = number(3, 365)) || *a < 1) return false;
      out = {PosixDate::Kind::julianNoLeap, 0, 0, *a};
    } else if (accept('M')) {
      if (!(a = number(2, 12)) || *a < 1 || !accept('.') || !(b = number(1, 5)) || *b < 1 ||
          !accept('.') || !(c = number(1, 6))) {
        return false;
      }
      out = {PosixDate::Kind::monthWeekDay, *a, *b, *c};
    } else {
      if (!(a = number(3, 365))) return false;
      out = {PosixDate::Kind::zeroBasedDay, 0, 0, *a};
    }
    if (accept('/')) {
      std::optional<std::int32_t> time = hours(167);
      if (!time) return false;
      out.seconds = *time;
    }
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

// The changes of three consecutive years around a year, in time order. Three years, because a
// rule's change may be counted in one year and fall in the next (M12.5.0/30, J365/25).
struct PosixYears {
  std::array<Transition, 6> changes;

  PosixYears() = default;
  PosixYears(const PosixRule& rule, std::int64_t year) {
    std::int32_t dst = *rule.daylight;
    std::size_t n = 0;
    for (std::int64_t y = year - 1; y <= year + 1; ++y) {
      changes[n++] = {rule.start.instantIn(y, rule.standard), rule.standard, dst};
      changes[n++] = {rule.end.instantIn(y, dst), dst, rule.standard};
    }
    // Stable, so that of two changes at one instant the later year's wins.
    std::stable_sort(changes.begin(), changes.end(),
                     [](const Transition& a, const Transition& b) { return a.at < b.at; });
  }
};

// Conversions come in runs within a year, so each thread keeps the changes it computed last.
const PosixYears& changesAround(const PosixRule& rule, std::int64_t year) {
  thread_local struct {
    std::uint64_t rule = 0;
    std::int64_t year = 0;
    PosixYears years;
  } last;
  if (last.rule != rule.id || last.year != year) {
    last.years = PosixYears(rule, year);
    last.rule = rule.id;
    last.year = year;
  }
  return last.years;
}

std::int32_t posixOffsetAt(const PosixRule& rule, std::int64_t utc) {
  if (!rule.daylight) return rule.standard;
  utc = clampInstant(utc);
  const PosixYears& years = changesAround(rule, yearOfSeconds(utc));
  std::int32_t offset = years.changes.front().before;
  for (const Transition& t : years.changes) {
    if (t.at > utc) break;
    offset = t.after;
  }
  return offset;
}

std::int64_t posixToInstant(const PosixRule& rule, const CivilTime& wall) {
  std::int64_t w = civilSeconds(wall);
  if (!rule.daylight) return w - rule.standard;
  const PosixYears& years = changesAround(rule, wall.year);
  std::int32_t offset = years.changes.front().before;
  for (const Transition& t : years.changes) {
    if (wallKey(t) > w) break;
    offset = t.after;
  }
  return w - offset;
}

class PosixZone final : public TimeZone {
 public:
  explicit PosixZone(const PosixRule& rule) : rule_(rule) {}
  std::int32_t offsetAt(std::int64_t utcSeconds) const override {
    return posixOffsetAt(rule_, utcSeconds);
  }
  std::int64_t toInstant(const CivilTime& wall) const override {
    return posixToInstant(rule_, wall);
  }

 private:
  PosixRule rule_;
};

// ---- Transition tables (TZif) -----------------------------------------------------------------

class TableZone final : public TimeZone {
 public:
  TableZone(std::int32_t initial, const std::vector<Transition>& transitions,
            std::optional<PosixRule> footer)
      : initial_(initial), footer_(std::move(footer)) {
    at_.reserve(transitions.size());
    keys_.reserve(transitions.size());
    after_.reserve(transitions.size());
    std::int64_t key = INT64_MIN;
    for (const Transition& t : transitions) {
      at_.push_back(t.at);
      after_.push_back(t.after);
      // Kept ascending for the search even where two close transitions overlap.
      key = std::max(key, wallKey(t));
      keys_.push_back(key);
    }
  }

  std::int32_t offsetAt(std::int64_t utcSeconds) const override {
    auto it = std::upper_bound(at_.begin(), at_.end(), utcSeconds);
    if (it == at_.begin()) return initial_;
    if (it == at_.end() && footer_) return posixOffsetAt(*footer_, utcSeconds);
    return after_[static_cast<std::size_t>(it - at_.begin() - 1)];
  }

  std::int64_t toInstant(const CivilTime& wall) const override {
    std::int64_t w = civilSeconds(wall);
    auto it = std::upper_bound(keys_.begin(), keys_.end(), w);
    if (it == keys_.begin()) return w - initial_;
    if (it == keys_.end() && footer_) return posixToInstant(*footer_, wall);
    return w - after_[static_cast<std::size_t>(it - keys_.begin() - 1)];
  }

 private:
  std::int32_t initial_;
  std::vector<std::int64_t> at_, keys_;
  std::vector<std::int32_t> after_;
  std::optional<PosixRule> footer_;
};

class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}
  bool has(std::size_t n) const { return bytes_.size() - pos_ >= n; }
  std::string_view rest() const { return bytes_.substr(pos_); }
  void skip(std::size_t n) { pos_ += n; }
  std::uint8_t u8() { return static_cast<std::uint8_t>(bytes_[pos_++]); }
  std::uint64_t big(int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | u8();
    return v;
  }
  std::int64_t signedBig(int n) {
    std::uint64_t v = big(n);
    if (n == 4) return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
    return static_cast<std::int64_t>(v);
  }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

struct TzifCounts {
  std::uint64_t isUt, isStd, leap, time, type, chars;
};

std::optional<TzifCounts> tzifHeader(ByteReader& in, char* version) {
  if (!in.has(44) || in.rest().substr(0, 4) != "TZif") return std::nullopt;
  in.skip(4);
  *version = static_cast<char>(in.u8());
  in.skip(15);
  TzifCounts c{in.big(4), in.big(4), in.big(4), in.big(4), in.big(4), in.big(4)};
  if (c.type == 0 || c.type > 256 || c.chars == 0) return std::nullopt;
  return c;
}

std::shared_ptr<const TimeZone> parseTzif(std::string_view bytes) {
  ByteReader in(bytes);
  char version = 0;
  std::optional<TzifCounts> c = tzifHeader(in, &version);
  if (!c) return nullptr;
  int timeSize = 4;
  if (version >= '2') {
    // The 64-bit data follows the 32-bit block, which only older readers need.
    std::uint64_t v1 = c->time * 5 + c->type * 6 + c->chars + c->leap * 8 + c->isStd + c->isUt;
    if (!in.has(v1)) return nullptr;
    in.skip(v1);
    char again = 0;
    c = tzifHeader(in, &again);
    if (!c) return nullptr;
    timeSize = 8;
  }
  const std::uint64_t size = c->time * (static_cast<std::uint64_t>(timeSize) + 1) + c->type * 6 +
                             c->chars + c->leap * (static_cast<std::uint64_t>(timeSize) + 4) +
                             c->isStd + c->isUt;
  if (!in.has(size)) return nullptr;

  std::vector<std::int64_t> times(c->time);
  for (auto& t : times) t = in.signedBig(timeSize);
  std::vector<std::uint8_t> indices(c->time);
  for (auto& i : indices) i = in.u8();
  struct Type {
    std::int32_t offset;
    bool isDst;
  };
  std::vector<Type> types(c->type);
  for (auto& type : types) {
    std::int64_t offset = in.signedBig(4);
    if (offset <= -kMaxOffset || offset >= kMaxOffset) return nullptr;
    type.offset = static_cast<std::int32_t>(offset);
    type.isDst = in.u8() != 0;
    in.skip(1);  // abbreviation index
  }
  // Abbreviations, leap seconds and the standard/UT indicators do not change offsets.
  in.skip(c->chars + c->leap * (static_cast<std::uint64_t>(timeSize) + 4) + c->isStd + c->isUt);

  // Before the first transition: the first standard-time type, as the C library takes it.
  std::int32_t initial = types.front().offset;
  for (const Type& type : types) {
    if (!type.isDst) {
      initial = type.offset;
      break;
    }
  }
  std::vector<Transition> transitions;
  transitions.reserve(times.size());
  std::int32_t previous = initial;
  for (std::size_t i = 0; i < times.size(); ++i) {
    if (indices[i] >= types.size() || (i > 0 && times[i] <= times[i - 1])) return nullptr;
    std::int32_t offset = types[indices[i]].offset;
    transitions.push_back({times[i], previous, offset});
    previous = offset;
  }

  std::optional<PosixRule> footer;
  if (timeSize == 8 && in.has(1) && in.rest()[0] == '\n') {
    std::string_view rest = in.rest().substr(1);
    std::size_t end = rest.find('\n');
    if (end != std::string_view::npos && end > 0) footer = PosixParser(rest.substr(0, end)).parse();
  }
  return std::make_shared<TableZone>(initial, transitions, std::move(footer));
}

std::shared_ptr<const TimeZone> readTzifFile(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::uint64_t>(info.st_size) > kMaxTzifBytes) {
    return nullptr;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) return nullptr;
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (bytes.size() > kMaxTzifBytes) return nullptr;
  return parseTzif(bytes);
}

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
  if (std::optional<PosixRule> rule = PosixParser(tz).parse()) {
    if (!rule->daylight) return std::make_shared<FixedZone>(rule->standard);
    return std::make_shared<PosixZone>(*rule);
  }
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


// ---- Zones that a calendar file defines -------------------------------------------------------

namespace {

constexpr int kBlockYears = 4;
constexpr std::size_t kCachedBlocks = 8;
// Real zones change offset a few times a year at most. An observance that changes it more
// often than this is ignored, and the observances of one zone together are held to the
// second bound, so that a hostile definition costs little per query.
constexpr std::int64_t kMaxOnsetsPerObservanceYear = 400;
constexpr std::int64_t kMaxOnsetsPerZoneYear = 512;
constexpr std::size_t kMaxObservances = 1000;
// How far back a rule is followed to find the onset in force at the start of the asked years:
// this many of its periods (a year at least). A rule that gave no onset in that time is taken
// to give none before those years.
constexpr std::int64_t kLookbackPeriods = 64;

std::int64_t startOfYear(std::int64_t year) { return daysFromCivil(year, 1, 1) * 86400; }

class DefinedZone final : public TimeZone {
 public:
  struct Observance {
    CivilTime start;
    std::int64_t onset = 0;  // DTSTART as an instant
    std::int32_t from = 0, to = 0;
    std::optional<RecurrenceRule> rule;
    std::optional<CivilTime> until;  // the rule's last wall time in this observance's offset
    std::int64_t untilInstant = INT64_MAX;
    std::int64_t lookback = 0;  // seconds
    // Set when the expander gave up on the rule; from then on only DTSTART and RDATEs count.
    mutable bool ruleAbandoned = false;
    std::vector<std::int64_t> rdates;  // instants, ascending
  };

  explicit DefinedZone(std::vector<Observance> observances) : observances_(std::move(observances)) {
    std::stable_sort(observances_.begin(), observances_.end(),
                     [](const Observance& a, const Observance& b) { return a.onset < b.onset; });
  }

  std::int32_t offsetAt(std::int64_t utcSeconds) const override {
    utcSeconds = clampInstant(utcSeconds);
    std::shared_ptr<const Block> block = blockFor(yearOfSeconds(utcSeconds));
    auto it = std::upper_bound(block->at.begin(), block->at.end(), utcSeconds);
    if (it == block->at.begin()) return block->initial;
    return block->after[static_cast<std::size_t>(it - block->at.begin() - 1)];
  }

  std::int64_t toInstant(const CivilTime& wall) const override {
    std::int64_t w = civilSeconds(wall);
    std::shared_ptr<const Block> block = blockFor(wall.year);
    auto it = std::upper_bound(block->keys.begin(), block->keys.end(), w);
    if (it == block->keys.begin()) return w - block->initial;
    return w - block->after[static_cast<std::size_t>(it - block->keys.begin() - 1)];
  }

  std::uint64_t occurrencesVisited() const {
    std::lock_guard lock(mutex_);
    return visited_;
  }

 private:
  // The transitions of a few years, with two days' margin either side so that every wall time
  // of those years finds its offset here.
  struct Block {
    std::int64_t index = 0;
    std::int32_t initial = 0;
    std::vector<std::int64_t> at, keys;
    std::vector<std::int32_t> after;
  };

  std::shared_ptr<const Block> blockFor(std::int64_t year) const {
    std::int64_t index = floorDiv(year, kBlockYears);
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
      if (blocks_[i]->index == index) {
        std::rotate(blocks_.begin(), blocks_.begin() + static_cast<std::ptrdiff_t>(i),
                    blocks_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        return blocks_.front();
      }
    }
    auto block = std::make_shared<const Block>(compute(index));
    if (blocks_.size() == kCachedBlocks) blocks_.pop_back();
    blocks_.insert(blocks_.begin(), block);
    return block;
  }

  // Calls add for each onset of the observance's rule in [from, to), ascending; false when the
  // rule gives more than `limit` of them there or the expander gives up on it (the rule is
  // then taken as giving none).
  template <typename Add>
  bool ruleOnsets(const Observance& o, std::int64_t from, std::int64_t to, std::int64_t limit,
                  Add add) const {
    if (!o.rule || o.ruleAbandoned || from >= to || from > o.untilInstant) return true;
    ExpansionRange range{civilFromSeconds(from + o.from), civilFromSeconds(to + o.from), o.until};
    std::int64_t count = 0;
    bool within = true;
    bool complete = expandRecurrence(*o.rule, o.start, range, [&](const CivilTime& local) {
      ++visited_;
      if (++count > limit) return within = false;
      add(civilSeconds(local) - o.from);
      return true;
    });
    if (within && !complete) o.ruleAbandoned = true;
    return within && complete;
  }

  static std::int64_t yearsIn(std::int64_t from, std::int64_t to) {
    return std::max<std::int64_t>(1, (to - from) / (365 * 86400) + 1);
  }

  // The last onset of an observance before an instant, when it is later than `floor`.
  std::optional<std::int64_t> lastOnsetBefore(const Observance& o, std::int64_t before,
                                              std::int64_t floor) const {
    std::optional<std::int64_t> best;
    auto consider = [&](std::int64_t t) {
      if (t < before && t > floor && (!best || t > *best)) best = t;
    };
    consider(o.onset);
    auto rdate = std::lower_bound(o.rdates.begin(), o.rdates.end(), before);
    if (rdate != o.rdates.begin()) consider(*(rdate - 1));
    if (!o.rule) return best;
    // Backwards in widening windows, never further than the best onset found so far.
    std::int64_t high = std::min(before, o.untilInstant == INT64_MAX ? before : o.untilInstant + 1);
    std::int64_t lowest =
        std::max({o.onset, floor, best.value_or(INT64_MIN), before - o.lookback});
    for (std::int64_t span = 366 * 86400; high > lowest; span *= 4) {
      std::int64_t low = std::max(lowest, high - span);
      std::optional<std::int64_t> last;
      bool within = ruleOnsets(o, low, high, kMaxOnsetsPerObservanceYear * yearsIn(low, high),
                               [&](std::int64_t t) { last = t; });
      if (!within) break;
      if (last) {
        consider(*last);
        break;
      }
      high = low;
    }
    return best;
  }

  Block compute(std::int64_t index) const {
    const std::int64_t from = startOfYear(index * kBlockYears) - 2 * 86400;
    const std::int64_t to = startOfYear((index + 1) * kBlockYears) + 2 * 86400;
    const std::int64_t zoneLimit = kMaxOnsetsPerZoneYear * (kBlockYears + 1);
    const std::int64_t observanceLimit = kMaxOnsetsPerObservanceYear * (kBlockYears + 1);

    // Before the first observance, the zone keeps that observance's offsetFrom.
    Block block;
    block.index = index;
    block.initial = observances_.front().from;
    std::int64_t latest = INT64_MIN;
    std::vector<Transition> changes;  // `before` holds the observance's position here
    for (std::size_t i = 0; i < observances_.size(); ++i) {
      const Observance& o = observances_[i];
      if (o.onset >= to) break;  // sorted: none of the rest is in force yet
      if (std::optional<std::int64_t> last = lastOnsetBefore(o, from, latest)) {
        latest = *last;
        block.initial = o.to;
      }
      std::vector<Transition> mine;
      auto add = [&](std::int64_t t) {
        if (t >= from && t < to) mine.push_back({t, static_cast<std::int32_t>(i), o.to});
      };
      add(o.onset);
      for (auto r = std::lower_bound(o.rdates.begin(), o.rdates.end(), from);
           r != o.rdates.end() && *r < to; ++r) {
        add(*r);
      }
      if (!ruleOnsets(o, from, to, observanceLimit, add)) continue;
      if (static_cast<std::int64_t>(changes.size() + mine.size()) > zoneLimit) continue;
      changes.insert(changes.end(), mine.begin(), mine.end());
    }
    // Of two onsets at one instant, the observance that started later wins (of two that
    // started together, the one written later).
    std::sort(changes.begin(), changes.end(), [](const Transition& a, const Transition& b) {
      return a.at != b.at ? a.at < b.at : a.before < b.before;
    });
    std::int32_t offset = block.initial;
    std::int64_t key = INT64_MIN;
    for (std::size_t i = 0; i < changes.size(); ++i) {
      if (i + 1 < changes.size() && changes[i + 1].at == changes[i].at) continue;
      Transition t{changes[i].at, offset, changes[i].after};
      key = std::max(key, wallKey(t));
      block.at.push_back(t.at);
      block.keys.push_back(key);
      block.after.push_back(t.after);
      offset = t.after;
    }
    return block;
  }

  std::vector<Observance> observances_;
  mutable std::mutex mutex_;
  mutable std::vector<std::shared_ptr<const Block>> blocks_;  // most recently used first
  mutable std::uint64_t visited_ = 0;
};

bool plausibleOffset(std::int32_t offset) { return offset > -kMaxOffset && offset < kMaxOffset; }

}  // namespace

std::shared_ptr<const TimeZone> definedTimeZone(std::vector<ZoneObservance> observances) {
  std::vector<DefinedZone::Observance> kept;
  for (ZoneObservance& in : observances) {
    if (kept.size() == kMaxObservances) break;
    if (!isValidCivil(in.start) || !plausibleOffset(in.offsetFrom) ||
        !plausibleOffset(in.offsetTo)) {
      continue;
    }
    DefinedZone::Observance o;
    o.start = in.start;
    o.onset = civilSeconds(in.start) - in.offsetFrom;
    o.from = in.offsetFrom;
    o.to = in.offsetTo;
    if (in.rule && in.rule->until) {
      const RecurrenceRule::Until& until = *in.rule->until;
      CivilTime last = until.time;
      if (until.isDate) {
        last.hour = 23, last.minute = 59, last.second = 59;
      } else if (until.isUtc) {
        last = civilFromSeconds(civilSeconds(until.time) + in.offsetFrom);
      }
      o.until = last;
      o.untilInstant = civilSeconds(last) - in.offsetFrom;
    }
    o.rule = std::move(in.rule);
    if (o.rule) {
      // A zone that changes offset more than daily is no zone; such a rule would only cost.
      static constexpr std::int64_t kPeriod[] = {0, 0, 0, 86400, 7 * 86400, 31 * 86400,
                                                 366 * 86400};
      std::int64_t period = kPeriod[static_cast<int>(o.rule->frequency)];
      if (period == 0) o.rule.reset();
      o.lookback = std::max<std::int64_t>(
          366 * 86400, kLookbackPeriods * period * std::min(o.rule ? o.rule->interval : 1, 1 << 20));
    }
    for (const CivilTime& rdate : in.rdates) {
      if (isValidCivil(rdate)) o.rdates.push_back(civilSeconds(rdate) - in.offsetFrom);
    }
    std::sort(o.rdates.begin(), o.rdates.end());
    kept.push_back(std::move(o));
  }
  if (kept.empty()) return nullptr;
  return std::make_shared<DefinedZone>(std::move(kept));
}

std::uint64_t definedZoneOccurrencesVisited(const TimeZone& zone) {
  const auto* defined = dynamic_cast<const DefinedZone*>(&zone);
  return defined ? defined->occurrencesVisited() : 0;
}

}  // namespace vandrelis::store
