// The root class and protocol. developer.apple.com/documentation/objectivec/nsobject,
// /nsobjectprotocol, /nsobject/alloc(), /nsobject/init()
#pragma once

#include <objc/objc.h>

#pragma clang assume_nonnull begin

@protocol NSObject
@end

__attribute__((objc_root_class))
@interface NSObject <NSObject>
+ (instancetype)alloc;
- (instancetype)init;
@end

#pragma clang assume_nonnull end
