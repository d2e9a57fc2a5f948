// The scalar types of Apple's C interfaces that the sources name.
// developer.apple.com/documentation/kernel/uint8, /uint32, /sint32, /osstatus,
// /documentation/corefoundation/boolean
#pragma once

#include <stdint.h>

typedef uint8_t UInt8;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef SInt32 OSStatus;
typedef unsigned char Boolean;
