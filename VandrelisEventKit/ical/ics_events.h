// Events of iCalendar files: the records the engine builds and the expansion of an item's events
// into the occurrences of a query window.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/calendar_records.h"

namespace vandrelis::store {

class VdirParticipant final : public Participant {
 public:
  VdirParticipant(std::optional<std::string> name, std::string url, bool isCurrentUser,
                  std::int64_t status)
      : name_(std::move(name)), url_(std::move(url)), isCurrentUser_(isCurrentUser), status_(status) {}

  std::optional<std::string> name() const override { return name_; }
  std::string url() const override { return url_; }
  bool isCurrentUser() const override { return isCurrentUser_; }
  std::int64_t participantStatus() const override { return status_; }

 private:
  std::optional<std::string> name_;
  std::string url_;
  bool isCurrentUser_;
  std::int64_t status_;
};

// What every occurrence of one VEVENT shares.
struct VdirEventData {
  std::shared_ptr<const Calendar> calendar;
  std::string itemIdentifier;
  std::optional<std::string> uid;
  std::optional<std::string> title;
  std::optional<std::string> notes;
  std::optional<std::string> url;
  std::optional<std::string> location;
  std::int64_t status = 0;
  std::shared_ptr<const Participant> organizer;
  std::optional<ParticipantList> attendees;
  std::optional<Instant> lastModified;
  bool isAllDay = false;
  bool hasRecurrenceRules = false;
  std::optional<std::string> timeZone;
};

class VdirEvent final : public Event {
 public:
  VdirEvent(std::shared_ptr<const VdirEventData> data, std::optional<Instant> start,
            std::optional<Instant> end, std::optional<Instant> occurrenceDate)
      : data_(std::move(data)), start_(start), end_(end), occurrenceDate_(occurrenceDate) {}

  std::shared_ptr<const Calendar> calendar() const override { return data_->calendar; }
  std::string calendarItemIdentifier() const override { return data_->itemIdentifier; }
  std::optional<std::string> calendarItemExternalIdentifier() const override { return data_->uid; }
  std::optional<std::string> title() const override { return data_->title; }
  std::optional<std::string> notes() const override { return data_->notes; }
  std::optional<Instant> startDate() const override { return start_; }
  std::optional<Instant> endDate() const override { return end_; }
  bool isAllDay() const override { return data_->isAllDay; }
  std::int64_t status() const override { return data_->status; }
  std::optional<std::string> url() const override { return data_->url; }
  std::optional<std::string> location() const override { return data_->location; }
  std::shared_ptr<const Participant> organizer() const override { return data_->organizer; }
  std::optional<ParticipantList> attendees() const override { return data_->attendees; }
  std::optional<Instant> lastModifiedDate() const override { return data_->lastModified; }
  bool hasRecurrenceRules() const override { return data_->hasRecurrenceRules; }
  std::optional<Instant> occurrenceDate() const override { return occurrenceDate_; }
  std::optional<std::string> timeZone() const override { return data_->timeZone; }
  const void* sharedPropertiesKey() const override { return data_.get(); }

  const std::string& itemIdentifier() const { return data_->itemIdentifier; }
  const std::shared_ptr<const VdirEventData>& data() const { return data_; }

 private:
  std::shared_ptr<const VdirEventData> data_;
  std::optional<Instant> start_;
  std::optional<Instant> end_;
  std::optional<Instant> occurrenceDate_;
};

using VdirEventList = std::vector<std::shared_ptr<const VdirEvent>>;

// Where an item's events belong; the same for every store that reads iCalendar text.
struct IcsItem {
  std::shared_ptr<const Calendar> calendar;
  // The identifier of the item's events when it holds one event (one UID); with several,
  // each event's identifier is this one followed by "/" and the escaped UID.
  std::string itemIdentifier;
  // Whether an address (what follows "mailto:") is one of the user's own; may be empty.
  std::function<bool(std::string_view address)> isOwnAddress;
};

// The time an item's occurrences can touch, over all of them whatever the query window: the
// earliest start and the latest end (+infinity for a rule without end, or for a counted rule
// too long to follow). Floating times and dates are widened by 14 hours each way, so that no
// process zone falls outside. An event without DTSTART (listed in every window) makes the span
// the whole line; an item without events gives earliest > latest.
struct ItemSpan {
  Instant earliest = 0;
  Instant latest = 0;
};

// The occurrences the rules of one item may yield to one query, over all its events in file
// order. Rules that would yield more (every second for a week, or occurrences so long that a
// century of them overlaps the window) keep their earliest ones: one small file must not cost
// seconds and gigabytes of output. Single events, RDATEs and overrides are not counted.
inline constexpr std::int64_t kItemOccurrenceLimit = 200'000;

// Parses one iCalendar text and appends the occurrences of its VEVENTs that overlap
// [start, end). Returns false when the text is not iCalendar (nothing is appended then).
// A component that cannot be read (too deep, too large, malformed) is left out and the
// others are kept. When span is given it receives the item's span.
bool appendIcsOccurrences(std::string_view text, const IcsItem& item, Instant start, Instant end,
                          VdirEventList& out, ItemSpan* span = nullptr);

// The query's order: start, end, item identifier, occurrence date (absent values first).
bool occursBefore(const VdirEvent& a, const VdirEvent& b);

}  // namespace vandrelis::store
