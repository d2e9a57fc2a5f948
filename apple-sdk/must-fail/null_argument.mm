// nil where the interface takes no null.
// expect: null passed to a callee that requires a non-null argument
#import <EventKit/EventKit.h>

NSPredicate* all(EKEventStore* store, NSDate* end) {
  return [store predicateForEventsWithStartDate:nil endDate:end calendars:nil];
}
