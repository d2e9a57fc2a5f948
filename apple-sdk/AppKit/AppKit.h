// AppKit's view of a running application by process id.
#pragma once

#include <Foundation/Foundation.h>
#include <os/availability.h>
#include <sys/types.h>

#pragma clang assume_nonnull begin

// developer.apple.com/documentation/appkit/nsrunningapplication (macOS 10.6),
// /nsrunningapplication/init(processidentifier:) ("init?": nil when no application has the
// pid), /nsrunningapplication/bundleidentifier ("String?"),
// /nsrunningapplication/localizedname ("String?")
API_AVAILABLE(macos(10.6))
@interface NSRunningApplication : NSObject
+ (nullable instancetype)runningApplicationWithProcessIdentifier:(pid_t)pid;
@property(nullable, readonly, copy) NSString* bundleIdentifier;
@property(nullable, readonly, copy) NSString* localizedName;
@end

#pragma clang assume_nonnull end
