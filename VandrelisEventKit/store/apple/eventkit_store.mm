// The calendar store on macOS: EventKit through the process's one EKEventStore. Each wrapper
// holds its EventKit object and reads one property per call, as the call asks for it.
#include "store/platform_store.h"

#import <CoreGraphics/CoreGraphics.h>
#import <EventKit/EventKit.h>
#import <Foundation/Foundation.h>

#include <mutex>
#include <string>
#include <utility>

#include "store/notification_center.h"
#include "store/span_query.h"
#include "text.h"

#if !__has_feature(objc_arc)
#error "The wrappers hold EventKit objects as strong references: build with -fobjc-arc"
#endif

namespace vandrelis::store {
namespace {

// EventKit answers a predicate for at most four years and silently drops the rest; four years
// of 365 days never exceed that, whatever the leap days.
constexpr Instant kMaxPredicateSpan = 4 * 365 * 86400.0;

// Text as UTF-8, every character kept (U+0000 included). A string that holds an unpaired
// surrogate has no UTF-8 form: its UTF-16 code units are converted with U+FFFD for the strays.
std::string utf8(NSString* text) {
  if (text == nil) return {};
  if (NSData* bytes = [text dataUsingEncoding:NSUTF8StringEncoding allowLossyConversion:NO]) {
    return std::string(static_cast<const char*>(bytes.bytes), bytes.length);
  }
  std::u16string units(text.length, u'\0');
  [text getCharacters:reinterpret_cast<unichar*>(units.data()) range:NSMakeRange(0, text.length)];
  std::string out;
  appendUtf8(out, units);
  return out;
}

std::optional<std::string> optionalText(NSString* text) {
  if (text == nil) return std::nullopt;
  return utf8(text);
}

std::optional<Instant> instant(NSDate* date) {
  if (date == nil) return std::nullopt;
  return date.timeIntervalSince1970;
}

std::optional<std::string> absoluteString(NSURL* url) {
  if (url == nil) return std::nullopt;
  return optionalText(url.absoluteString);
}

class EventKitSource final : public Source {
 public:
  explicit EventKitSource(EKSource* source) : source_(source) {}
  std::string title() const override {
    @autoreleasepool {
      return utf8(source_.title);
    }
  }
  std::int64_t sourceType() const override { return static_cast<std::int64_t>(source_.sourceType); }

 private:
  EKSource* source_;
};

class EventKitCalendar final : public Calendar {
 public:
  explicit EventKitCalendar(EKCalendar* wrapped) : calendar_(wrapped) {}
  EKCalendar* ekCalendar() const { return calendar_; }

  std::string calendarIdentifier() const override {
    @autoreleasepool {
      return utf8(calendar_.calendarIdentifier);
    }
  }
  std::string title() const override {
    @autoreleasepool {
      return utf8(calendar_.title);
    }
  }
  std::optional<CalendarColor> color() const override {
    @autoreleasepool {
      // Get rule: not ours to release. It may be a colour made for this read and autoreleased,
      // so its components are copied before the pool drains.
      CGColorRef cgColor = calendar_.CGColor;
      if (cgColor == nullptr) return std::nullopt;
      const CGFloat* components = CGColorGetComponents(cgColor);
      if (components == nullptr) return CalendarColor{std::nullopt};
      const std::size_t count = CGColorGetNumberOfComponents(cgColor);
      return CalendarColor{std::vector<double>(components, components + count)};
    }
  }
  std::shared_ptr<const Source> source() const override {
    @autoreleasepool {
      EKSource* owner = calendar_.source;
      if (owner == nil) return nullptr;
      return std::make_shared<EventKitSource>(owner);
    }
  }
  bool allowsContentModifications() const override {
    return calendar_.allowsContentModifications == YES;
  }

 private:
  EKCalendar* calendar_;
};

std::shared_ptr<const Calendar> wrap(EKCalendar* calendar) {
  if (calendar == nil) return nullptr;
  return std::make_shared<EventKitCalendar>(calendar);
}

class EventKitParticipant final : public Participant {
 public:
  explicit EventKitParticipant(EKParticipant* participant) : participant_(participant) {}

  std::optional<std::string> name() const override {
    @autoreleasepool {
      return optionalText(participant_.name);
    }
  }
  std::string url() const override {
    @autoreleasepool {
      return absoluteString(participant_.URL).value_or(std::string());
    }
  }
  bool isCurrentUser() const override { return participant_.currentUser == YES; }
  std::int64_t participantStatus() const override {
    return static_cast<std::int64_t>(participant_.participantStatus);
  }

 private:
  EKParticipant* participant_;
};

class EventKitEvent final : public Event {
 public:
  explicit EventKitEvent(EKEvent* event) : event_(event) {}

  std::shared_ptr<const Calendar> calendar() const override {
    @autoreleasepool {
      return wrap(event_.calendar);
    }
  }
  std::string calendarItemIdentifier() const override {
    @autoreleasepool {
      return utf8(event_.calendarItemIdentifier);
    }
  }
  std::optional<std::string> calendarItemExternalIdentifier() const override {
    @autoreleasepool {
      return optionalText(event_.calendarItemExternalIdentifier);
    }
  }
  std::optional<std::string> title() const override {
    @autoreleasepool {
      return optionalText(event_.title);
    }
  }
  std::optional<std::string> notes() const override {
    @autoreleasepool {
      return optionalText(event_.notes);
    }
  }
  std::optional<Instant> startDate() const override {
    @autoreleasepool {
      return instant(event_.startDate);
    }
  }
  std::optional<Instant> endDate() const override {
    @autoreleasepool {
      return instant(event_.endDate);
    }
  }
  bool isAllDay() const override { return event_.allDay == YES; }
  std::int64_t status() const override { return static_cast<std::int64_t>(event_.status); }
  std::optional<std::string> url() const override {
    @autoreleasepool {
      return absoluteString(event_.URL);
    }
  }
  std::optional<std::string> location() const override {
    @autoreleasepool {
      return optionalText(event_.location);
    }
  }
  std::shared_ptr<const Participant> organizer() const override {
    @autoreleasepool {
      EKParticipant* participant = event_.organizer;
      if (participant == nil) return nullptr;
      return std::make_shared<EventKitParticipant>(participant);
    }
  }
  std::optional<ParticipantList> attendees() const override {
    @autoreleasepool {
      NSArray<EKParticipant*>* participants = event_.attendees;
      if (participants == nil) return std::nullopt;
      ParticipantList list;
      list.reserve(participants.count);
      for (EKParticipant* attendee in participants) {
        list.push_back(std::make_shared<EventKitParticipant>(attendee));
      }
      return list;
    }
  }
  std::optional<Instant> lastModifiedDate() const override {
    @autoreleasepool {
      return instant(event_.lastModifiedDate);
    }
  }
  bool hasRecurrenceRules() const override { return event_.hasRecurrenceRules == YES; }
  std::optional<Instant> occurrenceDate() const override {
    @autoreleasepool {
      return instant(event_.occurrenceDate);
    }
  }
  std::optional<std::string> timeZone() const override {
    @autoreleasepool {
      NSTimeZone* zone = event_.timeZone;
      if (zone == nil) return std::nullopt;
      return optionalText(zone.name);
    }
  }

 private:
  EKEvent* event_;
};

class EventKitStore final : public CalendarStore {
 public:
  EventKitStore() : store_([[EKEventStore alloc] init]) {}

  ~EventKitStore() override {
    if (observer_ != nil) [[NSNotificationCenter defaultCenter] removeObserver:observer_];
  }

  std::int64_t authorizationStatus() const override {
    return static_cast<std::int64_t>(
        [EKEventStore authorizationStatusForEntityType:EKEntityTypeEvent]);
  }

  void requestFullAccessToEvents(AccessCompletion completion) override {
    @autoreleasepool {
      auto shared = std::make_shared<AccessCompletion>(std::move(completion));
      // EventKit calls this once, on a queue of its choosing.
      void (^handler)(BOOL, NSError*) = ^(BOOL granted, NSError* error) {
        @autoreleasepool {
          std::optional<StoreError> failure;
          if (error != nil) failure = StoreError{utf8(error.localizedDescription)};
          (*shared)(granted == YES, std::move(failure));
        }
      };
      if (@available(macOS 14.0, *)) {
        [store_ requestFullAccessToEventsWithCompletion:handler];
      } else {
        // Deprecated from macOS 14 (where it is not called), which a build for 14 would flag.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
        [store_ requestAccessToEntityType:EKEntityTypeEvent completion:handler];
#pragma clang diagnostic pop
      }
    }
  }

  CalendarList calendarsForEvents() const override {
    @autoreleasepool {
      CalendarList calendars;
      for (EKCalendar* calendar in [store_ calendarsForEntityType:EKEntityTypeEvent]) {
        calendars.push_back(wrap(calendar));
      }
      return calendars;
    }
  }

  std::shared_ptr<const Calendar> defaultCalendarForNewEvents() const override {
    @autoreleasepool {
      return wrap(store_.defaultCalendarForNewEvents);
    }
  }

  EventList eventsMatching(Instant start, Instant end,
                           const CalendarList& calendars) const override {
    @autoreleasepool {
      NSMutableArray<EKCalendar*>* selected = [NSMutableArray arrayWithCapacity:calendars.size()];
      for (const std::shared_ptr<const Calendar>& calendar : calendars) {
        // Only calendars of EventKit can be asked for; this store lists no other kind.
        if (auto own = std::dynamic_pointer_cast<const EventKitCalendar>(calendar)) {
          [selected addObject:own->ekCalendar()];
        }
      }
      // A nil or empty list would ask EventKit for every calendar.
      if (selected.count == 0) return {};
      return querySpans(start, end, kMaxPredicateSpan, [&](Instant spanStart, Instant spanEnd) {
        @autoreleasepool {
          NSPredicate* predicate =
              [store_ predicateForEventsWithStartDate:[NSDate dateWithTimeIntervalSince1970:spanStart]
                                              endDate:[NSDate dateWithTimeIntervalSince1970:spanEnd]
                                            calendars:selected];
          EventList events;
          for (EKEvent* event in [store_ eventsMatchingPredicate:predicate]) {
            events.push_back(std::make_shared<EventKitEvent>(event));
          }
          return events;
        }
      });
    }
  }

  void beginObservingChanges() override {
    std::lock_guard lock(observerMutex_);
    if (observer_ != nil) return;
    // The sender observers filter on is this store as the helper knows it.
    const void* sender = static_cast<const CalendarStore*>(this);
    // No queue: the block runs on the thread that posts, as the watcher expects.
    observer_ = [[NSNotificationCenter defaultCenter]
        addObserverForName:EKEventStoreChangedNotification
                    object:store_
                     queue:nil
                usingBlock:^(NSNotification* notification) {
                  (void)notification;  // its contents say nothing the watcher uses
                  @autoreleasepool {
                    NotificationCenter::defaultCenter().post(kStoreChangedNotification, sender);
                  }
                }];
  }

 private:
  EKEventStore* store_;
  std::mutex observerMutex_;
  id<NSObject> observer_ = nil;
};

}  // namespace

std::unique_ptr<CalendarStore> makePlatformStore() {
  @autoreleasepool {
    return std::make_unique<EventKitStore>();
  }
}

}  // namespace vandrelis::store
