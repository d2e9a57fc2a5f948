// Core Foundation as the sources use it: base types and memory rules, strings, URLs, bundles,
// run loops and file descriptors. Unannotated pointers are those the reference pages show as
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
static inline CFRange CFRangeMake(CFIndex loc, CFIndex len) {
  CFRange range;
  range.location = loc;
  range.length = len;
  return range;
}

// /cfallocator, /kcfallocatordefault, /cfrelease(_:), /cfgettypeid(_:)
typedef const struct __CFAllocator* CFAllocatorRef;
extern const CFAllocatorRef kCFAllocatorDefault;
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
