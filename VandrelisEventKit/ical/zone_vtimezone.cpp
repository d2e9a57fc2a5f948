// Zones that a calendar file defines (VTIMEZONE): transitions computed from the observances'
// rules only for the years asked about, a few years at a time, kept in a small cache per zone.
#include "ical/time_zone.h"

#include <algorithm>
#include <mutex>

#include "ical/zone_math.h"

namespace vandrelis::store {

using namespace zone_math;

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
