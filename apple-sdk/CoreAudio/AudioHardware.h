// The hardware abstraction layer's property access, as the detector calls it.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <MacTypes.h>
#include <os/availability.h>

#if defined(__cplusplus)
extern "C" {
#endif

#pragma clang assume_nonnull begin

// developer.apple.com/documentation/coreaudio/audioobjectid, /audioobjectpropertyselector,
// /audioobjectpropertyscope, /audioobjectpropertyelement, /audioobjectpropertyaddress
typedef UInt32 AudioObjectID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;
typedef struct AudioObjectPropertyAddress {
  AudioObjectPropertySelector mSelector;
  AudioObjectPropertyScope mScope;
  AudioObjectPropertyElement mElement;
} AudioObjectPropertyAddress;

// /audioobjecthasproperty(_:_:), /audioobjectgetpropertydatasize(_:_:_:_:_:),
// /audioobjectgetpropertydata(_:_:_:_:_:_:): the qualifier alone may be null.
Boolean AudioObjectHasProperty(AudioObjectID inObjectID,
                               const AudioObjectPropertyAddress* inAddress)
    API_AVAILABLE(macos(10.4));
OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize,
                                        const void* _Nullable inQualifierData,
                                        UInt32* outDataSize) API_AVAILABLE(macos(10.4));
OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize,
                                    const void* _Nullable inQualifierData, UInt32* ioDataSize,
                                    void* outData) API_AVAILABLE(macos(10.4));

#pragma clang assume_nonnull end

#if defined(__cplusplus)
}
#endif
