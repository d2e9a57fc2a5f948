// Core Foundation as the sources use it: base types and memory rules, strings, numbers, data,
// dictionaries, property lists, URLs, bundles, run loops and file descriptors. Unannotated pointers are those the reference pages show as
// implicitly unwrapped ("CFString!"): nullability unspecified.
#pragma once

#include <MacTypes.h>
#include <os/availability.h>
#include <stddef.h>

#if defined(__cplusplus)
extern "C" {
#endif

// developer.apple.com/documentation/corefoundation/cfindex, /cfoptionflags, /cfhashcode,
// /cftypeid, /cftyperef, /cfrange, /cfrangemake(_:_:)
typedef long CFIndex;
typedef unsigned long CFOptionFlags;
typedef unsigned long CFHashCode;
typedef unsigned long CFTypeID;
typedef const void* CFTypeRef;
typedef struct {
  CFIndex location;
  CFIndex length;
} CFRange;

// What a function marked so returns is the caller's to release: the Create rule of the reference
// pages ("Ownership follows the Create Rule").
#define CF_RETURNS_RETAINED __attribute__((cf_returns_retained))
static inline CFRange CFRangeMake(CFIndex loc, CFIndex len) {
  CFRange range;
  range.location = loc;
  range.length = len;
  return range;
}

// /cfallocator, /kcfallocatordefault, /kcfallocatornull, /cfrelease(_:), /cfgettypeid(_:)
typedef const struct __CFAllocator* CFAllocatorRef;
extern const CFAllocatorRef kCFAllocatorDefault;
extern const CFAllocatorRef kCFAllocatorNull;
void CFRelease(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);

// /cfstring (toll-free bridged with NSString), /cfstringencoding,
// /cfstringbuiltinencodings/utf8, /cfstringgettypeid(), /cfstringgetlength(_:),
// /cfstringgetbytes(_:_:_:_:_:_:_:_:), /cfstringcreatewithbytes(_:_:_:_:_:)
typedef const struct __attribute__((objc_bridge(NSString))) __CFString* CFStringRef;
typedef UInt32 CFStringEncoding;
enum : CFStringEncoding { kCFStringEncodingUTF8 = 0x08000100 };
CFTypeID CFStringGetTypeID(void);
CFIndex CFStringGetLength(CFStringRef theString);
CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding,
                         UInt8 lossByte, Boolean isExternalRepresentation, UInt8* buffer,
                         CFIndex maxBufLen, CFIndex* usedBufLen);
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);

// UTF-16 contents: /cfstringcreatewithcharactersnocopy(_:_:_:_:), /cfstringgetcharacters(_:_:_:),
// /cfstringgetrangeofcomposedcharactersatindex(_:_:)
CFStringRef CFStringCreateWithCharactersNoCopy(CFAllocatorRef alloc, const UniChar* chars,
                                               CFIndex numChars,
                                               CFAllocatorRef contentsDeallocator)
    CF_RETURNS_RETAINED;
void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer);
CFRange CFStringGetRangeOfComposedCharactersAtIndex(CFStringRef theString, CFIndex theIndex);

// /cfmutablestring (toll-free bridged with NSMutableString), /cfstringcreatemutable(_:_:),
// /cfstringappendcharacters(_:_:_:), /cfstringnormalizationform, /cfstringnormalize(_:_:)
typedef struct __attribute__((objc_bridge_mutable(NSMutableString))) __CFString* CFMutableStringRef;
CFMutableStringRef CFStringCreateMutable(CFAllocatorRef alloc, CFIndex maxLength)
    CF_RETURNS_RETAINED;
void CFStringAppendCharacters(CFMutableStringRef theString, const UniChar* chars,
                              CFIndex numChars);
typedef enum : CFIndex { kCFStringNormalizationFormC = 2 } CFStringNormalizationForm;
void CFStringNormalize(CFMutableStringRef theString, CFStringNormalizationForm theForm);

// /cfnumber (toll-free bridged with NSNumber), /cfnumbertype, /cfnumbercreate(_:_:_:)
typedef const struct __attribute__((objc_bridge(NSNumber))) __CFNumber* CFNumberRef;
typedef enum : CFIndex { kCFNumberSInt64Type = 4 } CFNumberType;
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void* valuePtr)
    CF_RETURNS_RETAINED;

// /cfdata (toll-free bridged with NSData), /cfdatagetlength(_:), /cfdatagetbyteptr(_:)
typedef const struct __attribute__((objc_bridge(NSData))) __CFData* CFDataRef;
CFIndex CFDataGetLength(CFDataRef theData);
const UInt8* CFDataGetBytePtr(CFDataRef theData);

// /cferror (toll-free bridged with NSError)
typedef struct __attribute__((objc_bridge(NSError))) __CFError* CFErrorRef;

// /cfmutabledictionary (toll-free bridged with NSMutableDictionary), /cfdictionarykeycallbacks,
// /cfdictionaryvaluecallbacks (the callbacks' types: /cfdictionaryretaincallback,
// /cfdictionaryreleasecallback, /cfdictionarycopydescriptioncallback,
// /cfdictionaryequalcallback, /cfdictionaryhashcallback), /kcftypedictionarykeycallbacks,
// /kcftypedictionaryvaluecallbacks, /cfdictionarycreatemutable(_:_:_:_:),
// /cfdictionarysetvalue(_:_:_:)
typedef struct __attribute__((objc_bridge_mutable(NSMutableDictionary))) __CFDictionary*
    CFMutableDictionaryRef;
typedef struct {
  CFIndex version;
  const void* (*retain)(CFAllocatorRef allocator, const void* value);
  void (*release)(CFAllocatorRef allocator, const void* value);
  CFStringRef (*copyDescription)(const void* value);
  Boolean (*equal)(const void* value1, const void* value2);
  CFHashCode (*hash)(const void* value);
} CFDictionaryKeyCallBacks;
typedef struct {
  CFIndex version;
  const void* (*retain)(CFAllocatorRef allocator, const void* value);
  void (*release)(CFAllocatorRef allocator, const void* value);
  CFStringRef (*copyDescription)(const void* value);
  Boolean (*equal)(const void* value1, const void* value2);
} CFDictionaryValueCallBacks;
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;
CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks)
    CF_RETURNS_RETAINED;
void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value);

// /cfpropertylist, /cfpropertylistformat, /cfpropertylistcreatedata(_:_:_:_:_:)
typedef CFTypeRef CFPropertyListRef;
typedef enum : CFIndex {
  kCFPropertyListXMLFormat_v1_0 = 100,
  kCFPropertyListBinaryFormat_v1_0 = 200
} CFPropertyListFormat;
CFDataRef CFPropertyListCreateData(CFAllocatorRef allocator, CFPropertyListRef propertyList,
                                   CFPropertyListFormat format, CFOptionFlags options,
                                   CFErrorRef* error) CF_RETURNS_RETAINED
    API_AVAILABLE(macos(10.6));

// /cfurl, /cfurlcreatefromfilesystemrepresentation(_:_:_:_:)
typedef const struct __attribute__((objc_bridge(NSURL))) __CFURL* CFURLRef;
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* buffer,
                                                 CFIndex bufLen, Boolean isDirectory);

// /cfbundle, /cfbundlecreate(_:_:), /cfbundlegetidentifier(_:),
// /cfbundlegetvalueforinfodictionarykey(_:_:)
typedef struct __CFBundle* CFBundleRef;
CFBundleRef CFBundleCreate(CFAllocatorRef allocator, CFURLRef bundleURL);
CFStringRef CFBundleGetIdentifier(CFBundleRef bundle);
CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key);

// /cfrunloop, /cfrunloopsource, /cfrunloopmode, /kcfrunloopdefaultmode,
// /kcfrunloopcommonmodes, /cfrunloopgetcurrent(), /cfrunloopgetmain(), /cfrunlooprun(),
// /cfrunloopstop(_:), /cfrunloopwakeup(_:), /cfrunloopaddsource(_:_:_:),
// /cfrunloopsourcecontext, /cfrunloopsourcecreate(_:_:_:), /cfrunloopsourcesignal(_:),
// /cfrunloopsourceinvalidate(_:)
typedef struct __CFRunLoop* CFRunLoopRef;
typedef struct __CFRunLoopSource* CFRunLoopSourceRef;
typedef CFStringRef CFRunLoopMode;
extern const CFRunLoopMode kCFRunLoopDefaultMode;
extern const CFRunLoopMode kCFRunLoopCommonModes;
CFRunLoopRef CFRunLoopGetCurrent(void);
CFRunLoopRef CFRunLoopGetMain(void);
void CFRunLoopRun(void);
void CFRunLoopStop(CFRunLoopRef rl);
void CFRunLoopWakeUp(CFRunLoopRef rl);
void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);
typedef struct {
  CFIndex version;
  void* info;
  const void* (*retain)(const void* info);
  void (*release)(const void* info);
  CFStringRef (*copyDescription)(const void* info);
  Boolean (*equal)(const void* info1, const void* info2);
  CFHashCode (*hash)(const void* info);
  void (*schedule)(void* info, CFRunLoopRef rl, CFRunLoopMode mode);
  void (*cancel)(void* info, CFRunLoopRef rl, CFRunLoopMode mode);
  void (*perform)(void* info);
} CFRunLoopSourceContext;
CFRunLoopSourceRef CFRunLoopSourceCreate(CFAllocatorRef allocator, CFIndex order,
                                         CFRunLoopSourceContext* context);
void CFRunLoopSourceSignal(CFRunLoopSourceRef source);
void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source);

// /cffiledescriptor, /cffiledescriptornativedescriptor, /kcffiledescriptorreadcallback,
// /cffiledescriptorcallback, /cffiledescriptorcontext, /cffiledescriptorcreate(_:_:_:_:_:),
// /cffiledescriptorenablecallbacks(_:_:), /cffiledescriptorcreaterunloopsource(_:_:_:),
// /cffiledescriptorinvalidate(_:)
typedef int CFFileDescriptorNativeDescriptor;
typedef struct __CFFileDescriptor* CFFileDescriptorRef;
enum : CFOptionFlags { kCFFileDescriptorReadCallBack = 1UL << 0 };
typedef void (*CFFileDescriptorCallBack)(CFFileDescriptorRef f, CFOptionFlags callBackTypes,
                                         void* info);
typedef struct {
  CFIndex version;
  void* info;
  void* (*retain)(void* info);
  void (*release)(void* info);
  CFStringRef (*copyDescription)(void* info);
} CFFileDescriptorContext;
CFFileDescriptorRef CFFileDescriptorCreate(CFAllocatorRef allocator,
                                           CFFileDescriptorNativeDescriptor fd,
                                           Boolean closeOnInvalidate,
                                           CFFileDescriptorCallBack callout,
                                           const CFFileDescriptorContext* context)
    API_AVAILABLE(macos(10.5));
void CFFileDescriptorEnableCallBacks(CFFileDescriptorRef f, CFOptionFlags callBackTypes)
    API_AVAILABLE(macos(10.5));
CFRunLoopSourceRef CFFileDescriptorCreateRunLoopSource(CFAllocatorRef allocator,
                                                       CFFileDescriptorRef f, CFIndex order)
    API_AVAILABLE(macos(10.5));
void CFFileDescriptorInvalidate(CFFileDescriptorRef f) API_AVAILABLE(macos(10.5));

#if defined(__cplusplus)
}
#endif
