// A completion block whose parameters are not those EventKit calls it with.
// expect: cannot initialize a parameter of type 'EKEventStoreRequestAccessCompletionHandler
#import <EventKit/EventKit.h>

void ask(EKEventStore* store) {
  if (@available(macOS 14.0, *)) {
    [store requestFullAccessToEventsWithCompletion:^(NSError* error) {
      (void)error;
    }];
  }
}
