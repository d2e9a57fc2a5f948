// RRULE expansion. Frequencies of a day or less walk a grid of aligned units (days, hours,
// minutes, seconds) over the days the day filters allow; weeks, months and years are expanded
// period by period. Both start where the range starts, computed from DTSTART by arithmetic;
// only COUNT makes them begin at DTSTART, and then whole days or periods are counted at once.
#include "ical/recurrence_rule.h"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <numeric>

#include "ical/rule_days.h"

namespace vandrelis::store {
namespace {

using namespace rule_days;

std::vector<int> sortedUnique(std::vector<int> values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  return values;
}

// The values a time part takes: its BY list, or DTSTART's own; 60 names no real second.
std::vector<int> timeValues(const std::vector<int>& by, int fallback) {
  std::vector<int> values = by.empty() ? std::vector<int>{fallback} : by;
  std::erase(values, 60);
  return sortedUnique(values);
}

std::uint64_t maskOf(const std::vector<int>& by, int size) {
  std::uint64_t mask = 0;
  if (by.empty()) return size == 64 ? ~0ull : (1ull << size) - 1;
  for (int value : by) {
    if (value < size) mask |= 1ull << value;
  }
  return mask;
}

// The indices BYSETPOS picks from a period's n instances, ascending, written to out.
int selectPositions(const std::vector<int>& setPos, Int n, Int* out) {
  int count = 0;
  for (int pos : setPos) {
    Int index = pos > 0 ? pos - 1 : n + pos;
    if (index >= 0 && index < n) out[count++] = index;
  }
  std::sort(out, out + count);
  return static_cast<int>(std::unique(out, out + count) - out);
}

// Hands the rule's instants after DTSTART to the caller, counting them for COUNT.
struct Emitter {
  Int start;      // DTSTART
  Int from, to;   // the range, from <= t < to
  Int last;       // the last instant allowed: UNTIL, the range's end, year 9999
  bool counting;  // COUNT given
  Int remaining;  // of COUNT, after DTSTART
  const std::function<bool(const CivilTime&)>* visit;
  bool done = false;
  Int work = 0;

  // False once nothing more is to come.
  bool offer(Int t) {
    if (t <= start) return true;  // DTSTART itself was given first; nothing comes before it
    if (t > last) return !(done = true);
    if (counting) {
      if (remaining == 0) return !(done = true);
      --remaining;
    }
    if (t >= from && !(*visit)(civilFromSeconds(t))) return !(done = true);
    return true;
  }
  bool outOfWork() const { return work > kWorkBudget; }
};

// Days, hours, minutes and seconds: a grid of units of the frequency, interval apart from
// DTSTART's unit, over the days the filters allow. Each unit passing the unit's own BY limits
// gives the same offsets (the BY parts below the unit, after BYSETPOS).
class GridExpansion {
 public:
  GridExpansion(const RecurrenceRule& rule, const CivilTime& dtstart, Int startSeconds,
                const DayFilter& filter, Emitter& emit)
      : filter_(filter), emit_(emit) {
    switch (rule.frequency) {
      case Frequency::daily: unit_ = kDay; break;
      case Frequency::hourly: unit_ = 3600; break;
      case Frequency::minutely: unit_ = 60; break;
      default: unit_ = 1; break;
    }
    step_ = unit_ * rule.interval;
    base_ = floorDiv(startSeconds, unit_) * unit_;
    // Limits at and above the unit; values below it are the offsets.
    hours_ = unit_ <= 3600 ? maskOf(rule.byHour, 24) : 1;
    minutes_ = unit_ <= 60 ? maskOf(rule.byMinute, 60) : 1;
    seconds_ = unit_ <= 1 ? maskOf(rule.bySecond, 60) : 1;
    candidatesPerDay_ = Int{std::popcount(hours_)} * std::popcount(minutes_) * std::popcount(seconds_);
    std::vector<int> offsets{0};
    auto expand = [&](const std::vector<int>& values, int scale) {
      std::vector<int> next;
      for (int offset : offsets) {
        for (int value : values) next.push_back(offset + value * scale);
      }
      offsets = std::move(next);
    };
    if (unit_ > 3600) expand(timeValues(rule.byHour, dtstart.hour), 3600);
    if (unit_ > 60) expand(timeValues(rule.byMinute, dtstart.minute), 60);
    if (unit_ > 1) expand(timeValues(rule.bySecond, dtstart.second), 1);
    if (!rule.bySetPos.empty()) {
      std::vector<Int> picked(rule.bySetPos.size());
      int count = selectPositions(rule.bySetPos, static_cast<Int>(offsets.size()), picked.data());
      std::vector<int> kept;
      for (int i = 0; i < count; ++i) kept.push_back(offsets[static_cast<std::size_t>(picked[i])]);
      offsets = std::move(kept);
    }
    offsets_ = std::move(offsets);
    cache_.fill({-1, 0});
  }

  // Expands from the unit holding `first` on.
  void run(Int first) {
    if (offsets_.empty()) return;
    Int u = alignUp(std::max(base_, first - unit_ + 1));
    Int lastDay = floorDiv(emit_.last, kDay);
    // Days and grid together repeat within a calendar cycle times the grid's cycle of days:
    // a rule that gave nothing for that long never will.
    Int phases = step_ / std::gcd(step_, kDay);
    Int barren = phases / std::gcd(phases, kCycleDays) > kNever / kCycleDays
                     ? kNever
                     : std::lcm(kCycleDays, phases) + 1;
    Int fruitful = floorDiv(u, kDay);
    while (u <= emit_.last && !emit_.done) {
      if (++emit_.work > kWorkBudget) return;
      Int day = floorDiv(u, kDay);
      if (day - fruitful > barren) return;
      if (filter_.any() && !filter_.matches(dateOf(day))) {
        Int next = filter_.next(day + 1, lastDay, emit_.work);
        if (next == kNever) return;
        u = alignUp(next * kDay);
        continue;
      }
      Int dayStart = day * kDay, dayEnd = dayStart + kDay;
      bool wholeDay = dayStart >= base_ && u == alignUp(dayStart);
      if (emit_.counting && dayStart > emit_.start && dayEnd <= emit_.from && dayEnd - 1 <= emit_.last) {
        if (skipCounted(u, day, fruitful)) continue;
      }
      bool gave = false;
      forEachUnit(u, dayStart, [&](Int unit) {
        gave = true;
        for (int offset : offsets_) {
          if (!emit_.offer(unit + offset)) return false;
        }
        return true;
      });
      if (gave) fruitful = day;
      if (!gave && wholeDay && noUnitEver(day)) return;
      u = alignUp(dayEnd);
      // Days the grid passes over hold no unit either.
      if (!emptyPhases_.empty()) {
        for (Int skipped = day + 1; skipped < floorDiv(u, kDay) && skipped <= day + 4096; ++skipped) {
          if (noUnitEver(skipped)) return;
        }
      }
    }
  }

 private:
  Int alignUp(Int t) const { return t <= base_ ? base_ : base_ + ceilDiv(t - base_, step_) * step_; }

  // Which units a day holds depends on the day only through its place in a cycle of
  // step / gcd(step, day) days; once every place has held none, no day ever will.
  bool noUnitEver(Int day) {
    Int phases = step_ / std::gcd(step_, kDay);
    if (phases > 4096) return false;
    if (emptyPhases_.empty()) emptyPhases_.assign(static_cast<std::size_t>(phases), false);
    auto phase = static_cast<std::size_t>(floorMod(day, phases));
    if (!emptyPhases_[phase]) {
      emptyPhases_[phase] = true;
      ++emptyPhaseCount_;
    }
    return emptyPhaseCount_ == phases;
  }

  bool passes(Int secondOfDay) const {
    return (hours_ >> (secondOfDay / 3600)) & 1 && (minutes_ >> (secondOfDay / 60 % 60)) & 1 &&
           (seconds_ >> (secondOfDay % 60)) & 1;
  }

  // Calls f(unit start) for the aligned units of the day from u on that pass the limits,
  // ascending, until f returns false; walks whichever is sparser, the grid or the limits.
  template <typename F>
  void forEachUnit(Int u, Int dayStart, F f) {
    Int dayEnd = dayStart + kDay;
    if ((dayEnd - u) / step_ <= candidatesPerDay_) {
      for (; u < dayEnd; u += step_) {
        if (!passes(u - dayStart)) {
          ++emit_.work;
        } else if (!f(u)) {
          return;
        }
      }
      return;
    }
    Int from = u - dayStart;
    for (std::uint64_t hs = hours_ & (~0ull << (from / 3600)); hs != 0; hs &= hs - 1) {
      int h = std::countr_zero(hs);
      for (std::uint64_t ms = minutes_; ms != 0; ms &= ms - 1) {
        int m = std::countr_zero(ms);
        for (std::uint64_t ss = seconds_; ss != 0; ss &= ss - 1) {
          Int t = dayStart + h * 3600 + m * 60 + std::countr_zero(ss);
          if (t < u || floorMod(t - base_, step_) != 0) {
            ++emit_.work;
          } else if (!f(t)) {
            return;
          }
        }
      }
    }
  }

  Int unitsInDay(Int u, Int dayStart) {
    Int phase = floorMod(dayStart - base_, step_);
    for (const auto& [key, value] : cache_) {
      if (key == phase) return value;
    }
    Int count = 0;
    forEachUnit(u, dayStart, [&](Int) { return ++count, true; });
    cache_[cacheNext_++ % cache_.size()] = {phase, count};
    return count;
  }

  // Counts a day wholly before the range, and the like days after it when every day gives
  // the same number of instants; false when the day must be expanded instant by instant.
  bool skipCounted(Int& u, Int day, Int& fruitful) {
    Int perUnit = static_cast<Int>(offsets_.size());
    Int lastWholeDay = std::min(floorDiv(emit_.from, kDay), floorDiv(emit_.last + 1, kDay)) - 1;
    Int perDay = unitsInDay(u, day * kDay) * perUnit;
    if (perDay == 0 && noUnitEver(day)) return !(emit_.done = true);
    if (perDay > 0) fruitful = day;
    Int days = 1;
    bool uniform = !filter_.any() && (kDay % step_ == 0 || step_ % kDay == 0);
    if (uniform && step_ % kDay == 0) {
      // At most one unit a day, always at the same time of day.
      Int units = (lastWholeDay - day) / (step_ / kDay) + 1;
      Int take = perDay == 0 ? units : std::min(units, emit_.remaining / perDay);
      emit_.remaining -= take * perDay;
      u += take * step_;
      return take > 0;
    }
    if (uniform) days = lastWholeDay - day + 1;
    Int take = perDay == 0 ? days : std::min(days, emit_.remaining / perDay);
    emit_.remaining -= take * perDay;
    if (take == 0) return false;
    u = alignUp((day + take) * kDay);
    return true;
  }

  const DayFilter& filter_;
  Emitter& emit_;
  Int unit_ = kDay, step_ = kDay, base_ = 0;
  std::uint64_t hours_ = 1, minutes_ = 1, seconds_ = 1;
  Int candidatesPerDay_ = 1;
  std::vector<int> offsets_;
  std::array<std::pair<Int, Int>, 32> cache_{};
  std::vector<bool> emptyPhases_;
  Int emptyPhaseCount_ = 0;
  std::size_t cacheNext_ = 0;
};

// Weeks, months and years: each period's days that pass the filters, times its times of
// day, with BYSETPOS over the whole.
class PeriodExpansion {
 public:
  PeriodExpansion(const RecurrenceRule& rule, const CivilTime& dtstart, const Date& start,
                  const DayFilter& filter, Emitter& emit)
      : rule_(rule), filter_(filter), emit_(emit) {
    for (int h : timeValues(rule.byHour, dtstart.hour)) {
      for (int m : timeValues(rule.byMinute, dtstart.minute)) {
        for (int s : timeValues(rule.bySecond, dtstart.second)) times_.push_back(h * 3600 + m * 60 + s);
      }
    }
    picked_.resize(rule.bySetPos.size());
    startYear_ = start.year;
    startMonth_ = Int{start.year} * 12 + start.month - 1;
    startWeek_ = start.day - (start.weekday - rule.weekStart + 7) % 7;
  }

  void run(Int first) {
    if (times_.empty()) return;
    Int interval = rule_.interval;
    Int p = std::max<Int>(0, floorDiv(periodOf(floorDiv(first, kDay)), interval) * interval);
    Int lastDay = floorDiv(emit_.last, kDay);
    Int nT = static_cast<Int>(times_.size());
    // The periods visited repeat their days once both the calendar's cycle (in periods) and
    // the interval have come round.
    Int cycle = rule_.frequency == Frequency::weekly ? kCycleDays / 7 : rule_.frequency == Frequency::monthly ? 4800 : 400;
    Int longest = rule_.frequency == Frequency::weekly ? 7 : rule_.frequency == Frequency::monthly ? 31 : 366;
    Int barren = (std::lcm(cycle, interval) + 1) * longest;
    Int fruitful = periodDays(p).first;
    while (!emit_.done) {
      if (++emit_.work > kWorkBudget) return;
      auto [firstDay, endDay] = periodDays(p);
      if (firstDay > lastDay || firstDay - fruitful > barren) return;
      bool counted = emit_.counting && firstDay * kDay > emit_.start && endDay * kDay <= emit_.from &&
                     endDay * kDay - 1 <= emit_.last;
      if (counted && rule_.frequency == Frequency::weekly && filter_.weekdaysOnly()) {
        // Every week holds the same days: count the weeks before the range at once.
        Int perPeriod = instantsIn(filter_.weekdayCount() * nT);
        Int periods = (std::min(floorDiv(emit_.from, kDay), floorDiv(emit_.last + 1, kDay)) - endDay) /
                          (7 * interval) + 1;
        Int take = perPeriod == 0 ? periods : std::min(periods, emit_.remaining / perPeriod);
        emit_.remaining -= take * perPeriod;
        p += take * interval;
        if (take > 0) continue;
      }
      int nDays = collectDays(firstDay, endDay);
      if (nDays == 0) {
        Int next = filter_.next(endDay, lastDay, emit_.work);
        if (next == kNever) return;
        p = std::max(p + interval, ceilDiv(periodOf(next), interval) * interval);
        continue;
      }
      Int n = nDays * nT;
      Int selected = instantsIn(n);  // fills picked_ when BYSETPOS chooses
      if (selected > 0) fruitful = firstDay;
      if (counted && selected <= emit_.remaining) {
        emit_.remaining -= selected;
      } else {
        for (Int i = 0; i < selected; ++i) {
          Int index = rule_.bySetPos.empty() ? i : picked_[static_cast<std::size_t>(i)];
          if (!emit_.offer(days_[index / nT] * kDay + times_[index % nT])) break;
        }
      }
      p += interval;
    }
  }

 private:
  Int instantsIn(Int n) {
    if (rule_.bySetPos.empty()) return n;
    return selectPositions(rule_.bySetPos, n, picked_.data());
  }

  // Periods since DTSTART's of the period holding a day.
  Int periodOf(Int day) const {
    switch (rule_.frequency) {
      case Frequency::weekly: return floorDiv(day - startWeek_, 7);
      case Frequency::monthly: {
        CivilTime civil = civilFromDays(day);
        return Int{civil.year} * 12 + civil.month - 1 - startMonth_;
      }
      default: return civilFromDays(day).year - startYear_;
    }
  }

  // [first day, day after the last) of period p.
  std::pair<Int, Int> periodDays(Int p) const {
    switch (rule_.frequency) {
      case Frequency::weekly: return {startWeek_ + 7 * p, startWeek_ + 7 * p + 7};
      case Frequency::monthly: {
        Int index = startMonth_ + p;
        if (index > Int{kLastYear} * 12 + 11) return {kNever, kNever};
        Int year = floorDiv(index, 12);
        int month = static_cast<int>(index - year * 12) + 1;
        return {daysFromCivil(year, month, 1), daysFromCivil(year, month + 1, 1)};
      }
      default: {
        Int year = startYear_ + p;
        if (year > kLastYear) return {kNever, kNever};
        return {daysFromCivil(year, 1, 1), daysFromCivil(year + 1, 1, 1)};
      }
    }
  }

  int collectDays(Int firstDay, Int endDay) {
    int n = 0;
    Date d = dateOf(firstDay);
    while (d.day < endDay) {
      if (!filter_.allowsMonth(d.month)) {
        // Skip the month (periods start on a month's first day or span at most two months).
        d = dateOf(daysFromCivil(d.year, d.month + 1, 1));
        continue;
      }
      if (filter_.matches(d)) days_[n++] = d.day;
      advance(d);
      ++emit_.work;
    }
    return n;
  }

  const RecurrenceRule& rule_;
  const DayFilter& filter_;
  Emitter& emit_;
  std::vector<int> times_;
  std::vector<Int> picked_;
  std::array<Int, 366> days_{};
  Int startYear_ = 0, startMonth_ = 0, startWeek_ = 0;
};

}  // namespace

bool expandRecurrence(const RecurrenceRule& rule, const CivilTime& dtstart,
                      const ExpansionRange& range,
                      const std::function<bool(const CivilTime&)>& visit) {
  if (!isValidCivil(dtstart) || dtstart.year > kLastYear) return true;
  Int start = civilSeconds(dtstart);
  Int from = civilSeconds(range.from), to = civilSeconds(range.to);
  if (from >= to || start >= to) return true;
  if (start >= from && !visit(dtstart)) return true;
  if (rule.count && *rule.count <= 1) return true;

  Int last = std::min(to - 1, civilSeconds(CivilTime{kLastYear, 12, 31, 23, 59, 59}));
  if (range.until) last = std::min(last, civilSeconds(*range.until));
  Emitter emit{start, from, to, last, rule.count.has_value(), rule.count ? *rule.count - 1 : 0, &visit};
  if (last <= start) return true;

  Date startDate = dateOf(floorDiv(start, kDay));
  DayFilter filter(rule, startDate);
  // Without COUNT nothing before the range matters; with it every instant since DTSTART counts.
  Int first = emit.counting ? start : std::max(start, from);
  if (rule.frequency <= Frequency::daily) {
    GridExpansion grid(rule, dtstart, start, filter, emit);
    grid.run(first);
  } else {
    PeriodExpansion periods(rule, dtstart, startDate, filter, emit);
    periods.run(first);
  }
  return !emit.outOfWork();
}

}  // namespace vandrelis::store
