// The scalar types of Apple's C interfaces that the sources name.
// developer.apple.com/documentation/kernel/uint8, /uint32, /sint32, /sint64, /unichar, /osstatus,
// /documentation/corefoundation/boolean
#pragma once

#include <stdint.h>

typedef uint8_t UInt8;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef signed long long SInt64;  // long long as on Darwin, not glibc's long for int64_t
typedef uint16_t UniChar;         // a UTF-16 code unit
typedef SInt32 OSStatus;
typedef unsigned char Boolean;
