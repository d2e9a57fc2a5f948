// The Objective-C runtime's basic types as the sources use them.
// developer.apple.com/documentation/objectivec/bool, /yes, /no, /nil
#pragma once

// BOOL is bool on arm64 and signed char on x86_64, as the compiler reports.
#if __OBJC_BOOL_IS_BOOL
typedef bool BOOL;
#else
typedef signed char BOOL;
#endif
#define YES __objc_yes
#define NO __objc_no

#ifndef nil
#define nil nullptr
#endif
