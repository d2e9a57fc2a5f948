// Foundation as the sources use it: strings and data, dates, URLs, zones, errors, arrays and
// the notification centre. Pointers are non-null unless marked, as in Apple's headers.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <objc/NSObject.h>
#include <os/availability.h>

#pragma clang assume_nonnull begin

// developer.apple.com/documentation/objectivec/nsinteger, /nsuinteger,
// /documentation/foundation/nstimeinterval, /unichar, /nsrange, /nsmakerange(_:_:)
typedef long NSInteger;
typedef unsigned long NSUInteger;
typedef double NSTimeInterval;
typedef unsigned short unichar;
typedef struct _NSRange {
  NSUInteger location;
  NSUInteger length;
} NSRange;
static inline NSRange NSMakeRange(NSUInteger loc, NSUInteger len) {
  NSRange range;
  range.location = loc;
  range.length = len;
  return range;
}

// /nsfastenumeration, /nsfastenumerationstate: what `for (x in collection)` calls.
typedef struct {
  unsigned long state;
  id __unsafe_unretained _Nullable* _Nullable itemsPtr;
  unsigned long* _Nullable mutationsPtr;
  unsigned long extra[5];
} NSFastEnumerationState;
@protocol NSFastEnumeration
- (NSUInteger)countByEnumeratingWithState:(NSFastEnumerationState*)state
                                  objects:(id __unsafe_unretained _Nullable[_Nonnull])buffer
                                    count:(NSUInteger)len;
@end

// /nsdata, /nsdata/bytes, /nsdata/length
@interface NSData : NSObject
@property(readonly) const void* bytes __attribute__((objc_returns_inner_pointer));
@property(readonly) NSUInteger length;
@end

// /nsstring, /nsstringencoding, /nsutf8stringencoding, /nsstring/length,
// /nsstring/getcharacters(_:range:), /nsstring/data(using:allowlossyconversion:)
typedef NSUInteger NSStringEncoding;
enum : NSStringEncoding { NSUTF8StringEncoding = 4 };
@interface NSString : NSObject
@property(readonly) NSUInteger length;
- (void)getCharacters:(unichar*)buffer range:(NSRange)range;
- (nullable NSData*)dataUsingEncoding:(NSStringEncoding)encoding allowLossyConversion:(BOOL)lossy;
@end

// /nsdate, /nsdate/timeintervalsince1970, /nsdate/init(timeintervalsince1970:)
@interface NSDate : NSObject
@property(readonly) NSTimeInterval timeIntervalSince1970;
+ (instancetype)dateWithTimeIntervalSince1970:(NSTimeInterval)secs;
@end

// /nsurl/absolutestring (nullable: a URL may lack one)
@interface NSURL : NSObject
@property(nullable, readonly, copy) NSString* absoluteString;
@end

// /nstimezone/name
@interface NSTimeZone : NSObject
@property(readonly, copy) NSString* name;
@end

// /nserror/localizeddescription
@interface NSError : NSObject
@property(readonly, copy) NSString* localizedDescription;
@end

// /nsarray, /nsarray/count, /nsmutablearray, /nsmutablearray/init(capacity:) (+arrayWithCapacity:),
// /nsmutablearray/add(_:)
@interface NSArray<__covariant ObjectType> : NSObject <NSFastEnumeration>
@property(readonly) NSUInteger count;
@end
@interface NSMutableArray<ObjectType> : NSArray<ObjectType>
+ (instancetype)arrayWithCapacity:(NSUInteger)numItems;
- (void)addObject:(ObjectType)anObject;
@end

// /nspredicate, /operationqueue (only passed on)
@interface NSPredicate : NSObject
@end
@interface NSOperationQueue : NSObject
@end

// /nsnotification, /nsnotificationname, /notificationcenter/default,
// /notificationcenter/addobserver(forname:object:queue:using:),
// /notificationcenter/removeobserver(_:)
typedef NSString* NSNotificationName;
@interface NSNotification : NSObject
@end
@interface NSNotificationCenter : NSObject
@property(class, readonly, strong) NSNotificationCenter* defaultCenter;
- (id<NSObject>)addObserverForName:(nullable NSNotificationName)name
                            object:(nullable id)obj
                             queue:(nullable NSOperationQueue*)queue
                        usingBlock:(void (^)(NSNotification* notification))block
    API_AVAILABLE(macos(10.6));
- (void)removeObserver:(id)observer;
@end

#pragma clang assume_nonnull end
