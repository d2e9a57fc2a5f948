// An in-memory calendar store for tests: every property and status can be set to any value,
// and every property read is counted so tests can prove what was never read.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "store/calendar_store.h"

namespace vandrelis::testing {

using namespace vandrelis::store;

// Counts reads by property name. Shared by every object of one store.
class ReadLog {
 public:
  void note(const std::string& property) const {
    std::lock_guard lock(mutex_);
    ++counts_[property];
  }
  int count(const std::string& property) const {
    std::lock_guard lock(mutex_);
    auto it = counts_.find(property);
    return it == counts_.end() ? 0 : it->second;
  }
  void reset() const {
    std::lock_guard lock(mutex_);
    counts_.clear();
  }

 private:
  mutable std::mutex mutex_;
  mutable std::map<std::string, int> counts_;
};

struct MemorySource final : Source {
  std::string titleValue;
  std::int64_t sourceTypeValue = 0;
  std::string title() const override { return titleValue; }
  std::int64_t sourceType() const override { return sourceTypeValue; }
};

struct MemoryCalendar final : Calendar {
  std::string identifier;
  std::string titleValue;
  std::optional<CalendarColor> colorValue;
  std::shared_ptr<MemorySource> sourceValue;
  bool allowsModifications = true;

  std::string calendarIdentifier() const override { return identifier; }
  std::string title() const override { return titleValue; }
  std::optional<CalendarColor> color() const override { return colorValue; }
  std::shared_ptr<const Source> source() const override { return sourceValue; }
  bool allowsContentModifications() const override { return allowsModifications; }
};

struct MemoryParticipant final : Participant {
  std::shared_ptr<const ReadLog> log = std::make_shared<ReadLog>();
  std::optional<std::string> nameValue;
  std::string urlValue;
  bool currentUser = false;
  std::int64_t statusValue = 0;

  std::optional<std::string> name() const override { return note("participant.name"), nameValue; }
  std::string url() const override { return note("participant.url"), urlValue; }
  bool isCurrentUser() const override { return note("participant.isCurrentUser"), currentUser; }
  std::int64_t participantStatus() const override {
    return note("participant.participantStatus"), statusValue;
  }

 private:
  void note(const char* property) const { log->note(property); }
};

struct MemoryEvent final : Event {
  std::shared_ptr<const ReadLog> log = std::make_shared<ReadLog>();
  std::shared_ptr<MemoryCalendar> calendarValue;
  std::string itemIdentifier = "item";
  std::optional<std::string> externalIdentifier;
  std::optional<std::string> titleValue;
  std::optional<std::string> notesValue;
  std::optional<Instant> start;
  std::optional<Instant> end;
  bool allDay = false;
  std::int64_t statusValue = 0;
  std::optional<std::string> urlValue;
  std::optional<std::string> locationValue;
  std::shared_ptr<MemoryParticipant> organizerValue;
  std::optional<std::vector<std::shared_ptr<MemoryParticipant>>> attendeesValue;
  std::optional<Instant> lastModified;
  bool recurrenceRules = false;
  std::optional<Instant> occurrence;
  std::optional<std::string> zone;

  std::shared_ptr<const Calendar> calendar() const override {
    return note("calendar"), calendarValue;
  }
  std::string calendarItemIdentifier() const override {
    return note("calendarItemIdentifier"), itemIdentifier;
  }
  std::optional<std::string> calendarItemExternalIdentifier() const override {
    return note("calendarItemExternalIdentifier"), externalIdentifier;
  }
  std::optional<std::string> title() const override { return note("title"), titleValue; }
  std::optional<std::string> notes() const override { return note("notes"), notesValue; }
  std::optional<Instant> startDate() const override { return note("startDate"), start; }
  std::optional<Instant> endDate() const override { return note("endDate"), end; }
  bool isAllDay() const override { return note("isAllDay"), allDay; }
  std::int64_t status() const override { return note("status"), statusValue; }
  std::optional<std::string> url() const override { return note("URL"), urlValue; }
  std::optional<std::string> location() const override {
    return note("location"), locationValue;
  }
  std::shared_ptr<const Participant> organizer() const override {
    return note("organizer"), organizerValue;
  }
  std::optional<ParticipantList> attendees() const override {
    note("attendees");
    if (!attendeesValue) return std::nullopt;
    return ParticipantList(attendeesValue->begin(), attendeesValue->end());
  }
  std::optional<Instant> lastModifiedDate() const override {
    return note("lastModifiedDate"), lastModified;
  }
  bool hasRecurrenceRules() const override {
    return note("hasRecurrenceRules"), recurrenceRules;
  }
  std::optional<Instant> occurrenceDate() const override {
    return note("occurrenceDate"), occurrence;
  }
  std::optional<std::string> timeZone() const override { return note("timeZone"), zone; }

 private:
  void note(const char* property) const { log->note(property); }
};

class MemoryStore final : public CalendarStore {
 public:
  // What the access request does when it is made.
  struct AccessOutcome {
    bool granted = true;
    std::optional<StoreError> error;
    // The status the store holds after the request (unchanged when absent).
    std::optional<std::int64_t> statusAfter;
    bool completeOnOtherThread = true;
  };

  std::atomic<std::int64_t> status{kStatusFullAccess};
  AccessOutcome accessOutcome;
  std::vector<std::shared_ptr<MemoryCalendar>> calendars;
  std::shared_ptr<MemoryCalendar> defaultCalendar;
  // Returned by every query whose calendar list is not empty, in this order.
  std::vector<std::shared_ptr<MemoryEvent>> events;

  // What the last query asked for.
  mutable int queryCount = 0;
  mutable Instant lastQueryStart = 0;
  mutable Instant lastQueryEnd = 0;
  mutable std::vector<std::string> lastQueryCalendars;
  mutable int calendarListReads = 0;
  mutable int defaultCalendarReads = 0;
  int accessRequests = 0;
  // Set by beginObservingChanges; atomic so another thread may wait for it.
  std::atomic<bool> observing{false};

  std::int64_t authorizationStatus() const override { return status.load(); }
  void requestFullAccessToEvents(AccessCompletion completion) override;
  CalendarList calendarsForEvents() const override;
  std::shared_ptr<const Calendar> defaultCalendarForNewEvents() const override;
  EventList eventsMatching(Instant start, Instant end,
                           const CalendarList& selected) const override;
  void beginObservingChanges() override { observing = true; }

  // Posts the store-changed notification with this store as sender, on the calling thread.
  void postChanged() const;
};

// Convenience builders.
std::shared_ptr<MemoryCalendar> makeCalendar(std::string identifier, std::string title = "Work",
                                             std::string sourceTitle = "Local",
                                             std::int64_t sourceType = 0);
std::shared_ptr<MemoryParticipant> makeParticipant(std::optional<std::string> name,
                                                   std::string url, std::int64_t status = 2,
                                                   bool currentUser = false);

}  // namespace vandrelis::testing
