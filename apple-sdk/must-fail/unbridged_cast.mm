// Under ARC an object pointer becomes a Core Foundation reference only through a bridge cast.
// expect: requires a bridged cast
#import <Foundation/Foundation.h>

CFIndex length(NSString* text) { return CFStringGetLength((CFStringRef)text); }
