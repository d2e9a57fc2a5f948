// The calendar colour as the sources read it.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <stddef.h>

#if defined(__cplusplus)
extern "C" {
#endif

// developer.apple.com/documentation/corefoundation/cgfloat: a double on 64-bit systems.
typedef double CGFloat;

// /documentation/coregraphics/cgcolor, /cgcolorgetcomponents,
// /cgcolor/numberofcomponents (CGColorGetNumberOfComponents)
typedef struct CGColor* CGColorRef;
const CGFloat* CGColorGetComponents(CGColorRef color) API_AVAILABLE(macos(10.3));
size_t CGColorGetNumberOfComponents(CGColorRef color) API_AVAILABLE(macos(10.3));

#if defined(__cplusplus)
}
#endif
