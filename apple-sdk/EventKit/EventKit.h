// EventKit as the calendar store reads it. Nullability as the reference pages give it: "String?"
// is nullable, "String!" (implicitly unwrapped) unspecified, anything else non-null.
#pragma once

#include <CoreGraphics/CoreGraphics.h>
#include <Foundation/Foundation.h>
#include <os/availability.h>

#pragma clang assume_nonnull begin

// developer.apple.com/documentation/eventkit/ekauthorizationstatus, /ekentitytype,
// /eksourcetype, /ekparticipantstatus, /ekeventstatus. The store hands the values on as
// numbers; of the enumerators it names only the event entity.
typedef NSInteger EKAuthorizationStatus;
typedef enum EKEntityType : NSUInteger { EKEntityTypeEvent = 0 } EKEntityType;
typedef NSInteger EKSourceType;
typedef NSInteger EKParticipantStatus;
typedef NSInteger EKEventStatus;

// /ekobject
API_AVAILABLE(macos(10.8))
@interface EKObject : NSObject
@end

// /eksource, /eksource/title, /eksource/sourcetype
API_AVAILABLE(macos(10.8))
@interface EKSource : EKObject
@property(nonatomic, readonly) NSString* title;
@property(nonatomic, readonly) EKSourceType sourceType;
@end

// /ekcalendar, /ekcalendar/calendaridentifier, /ekcalendar/title, /ekcalendar/cgcolor
// ("CGColor!", macOS 10.15), /ekcalendar/source ("EKSource!"),
// /ekcalendar/allowscontentmodifications
API_AVAILABLE(macos(10.8))
@interface EKCalendar : EKObject
@property(nonatomic, readonly) NSString* calendarIdentifier;
@property(nonatomic, copy) NSString* title;
@property(nonatomic, null_unspecified) CGColorRef CGColor API_AVAILABLE(macos(10.15));
@property(nonatomic, strong, null_unspecified) EKSource* source;
@property(nonatomic, readonly) BOOL allowsContentModifications;
@end

// /ekparticipant, /ekparticipant/name ("String?"), /ekparticipant/url,
// /ekparticipant/iscurrentuser, /ekparticipant/participantstatus
API_AVAILABLE(macos(10.8))
@interface EKParticipant : EKObject
@property(nonatomic, readonly, nullable) NSString* name;
@property(nonatomic, readonly) NSURL* URL;
@property(nonatomic, readonly, getter=isCurrentUser) BOOL currentUser;
@property(nonatomic, readonly) EKParticipantStatus participantStatus;
@end

// /ekcalendaritem and its calendar ("EKCalendar!"), calendaritemidentifier,
// calendaritemexternalidentifier ("String!"), title ("String!"), notes, url, location,
// attendees, lastmodifieddate (all "?"), hasrecurrencerules, timezone ("TimeZone?")
API_AVAILABLE(macos(10.8))
@interface EKCalendarItem : EKObject
@property(nonatomic, strong, null_unspecified) EKCalendar* calendar;
@property(nonatomic, readonly) NSString* calendarItemIdentifier;
@property(nonatomic, readonly, null_unspecified) NSString* calendarItemExternalIdentifier;
@property(nonatomic, copy, null_unspecified) NSString* title;
@property(nonatomic, copy, nullable) NSString* notes;
@property(nonatomic, copy, nullable) NSURL* URL;
@property(nonatomic, copy, nullable) NSString* location;
@property(nonatomic, readonly, nullable) NSArray<__kindof EKParticipant*>* attendees;
@property(nonatomic, readonly, nullable) NSDate* lastModifiedDate;
@property(nonatomic, readonly) BOOL hasRecurrenceRules;
@property(nonatomic, copy, nullable) NSTimeZone* timeZone;
@end

// /ekevent, /ekevent/startdate, /ekevent/enddate ("Date!"), /ekevent/isallday,
// /ekevent/status, /ekevent/organizer ("EKParticipant?"), /ekevent/occurrencedate ("Date!")
API_AVAILABLE(macos(10.8))
@interface EKEvent : EKCalendarItem
@property(nonatomic, copy, null_unspecified) NSDate* startDate;
@property(nonatomic, copy, null_unspecified) NSDate* endDate;
@property(nonatomic, getter=isAllDay) BOOL allDay;
@property(nonatomic, readonly) EKEventStatus status;
@property(nonatomic, readonly, nullable) EKParticipant* organizer;
@property(nonatomic, readonly, null_unspecified) NSDate* occurrenceDate;
@end

// /ekeventstorerequestaccesscompletionhandler, /ekeventstore,
// /ekeventstore/authorizationstatus(for:) (macOS 10.9),
// /ekeventstore/requestfullaccesstoevents(completion:) (macOS 14.0),
// /ekeventstore/requestaccess(to:completion:) (macOS 10.9, deprecated in 14.0),
// /ekeventstore/calendars(for:), /ekeventstore/defaultcalendarfornewevents ("EKCalendar?"),
// /ekeventstore/predicateforevents(withstart:end:calendars:) ("[EKCalendar]?"),
// /ekeventstore/events(matching:), /nsnotification/name/ekeventstorechanged
typedef void (^EKEventStoreRequestAccessCompletionHandler)(BOOL granted,
                                                           NSError* _Nullable error);
API_AVAILABLE(macos(10.8))
@interface EKEventStore : NSObject
+ (EKAuthorizationStatus)authorizationStatusForEntityType:(EKEntityType)entityType
    API_AVAILABLE(macos(10.9));
- (void)requestFullAccessToEventsWithCompletion:(EKEventStoreRequestAccessCompletionHandler)completion
    API_AVAILABLE(macos(14.0));
- (void)requestAccessToEntityType:(EKEntityType)entityType
                       completion:(EKEventStoreRequestAccessCompletionHandler)completion
    API_DEPRECATED("Use requestFullAccessToEventsWithCompletion:", macos(10.9, 14.0));
- (NSArray<EKCalendar*>*)calendarsForEntityType:(EKEntityType)entityType;
@property(nonatomic, readonly, nullable) EKCalendar* defaultCalendarForNewEvents;
- (NSPredicate*)predicateForEventsWithStartDate:(NSDate*)startDate
                                        endDate:(NSDate*)endDate
                                      calendars:(nullable NSArray<EKCalendar*>*)calendars;
- (NSArray<EKEvent*>*)eventsMatchingPredicate:(NSPredicate*)predicate;
@end
#if defined(__cplusplus)
extern "C"
#endif
    NSNotificationName const EKEventStoreChangedNotification API_AVAILABLE(macos(10.8));

#pragma clang assume_nonnull end
