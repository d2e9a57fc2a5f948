// POSIX TZ rules: the parser, and the changes of a year computed on demand and kept per thread.
#include "ical/zone_posix.h"

#include <algorithm>
#include <array>
#include <atomic>

#include "ical/zone_math.h"

namespace vandrelis::store {

using namespace zone_math;

std::uint64_t nextRuleId() {
  static std::atomic<std::uint64_t> last{0};
  return ++last;
}

namespace {

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

}  // namespace

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

std::optional<PosixRule> parsePosixRule(std::string_view text) { return PosixParser(text).parse(); }

std::shared_ptr<const TimeZone> posixTimeZone(const PosixRule& rule) {
  if (!rule.daylight) return std::make_shared<FixedZone>(rule.standard);
  return std::make_shared<PosixZone>(rule);
}

}  // namespace vandrelis::store
