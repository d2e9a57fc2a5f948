// A macOS 14 call made without asking whether the system has it.
// expect: 'requestFullAccessToEventsWithCompletion:' is only available on macOS 14.0 or newer
#import <EventKit/EventKit.h>

void ask(EKEventStore* store) {
  [store requestFullAccessToEventsWithCompletion:^(BOOL, NSError* _Nullable) {
  }];
}
