// The availability attributes of the declarations here, for macOS only (the one platform the
// programs are built for): API_AVAILABLE(macos(10.8)), API_DEPRECATED("...", macos(10.9, 14.0)).
// Apple's <os/availability.h> spells the same attributes for every platform at once.
#pragma once

#define __API_AVAILABLE_macos(from) macos, introduced = from
#define API_AVAILABLE(platform) __attribute__((availability(__API_AVAILABLE_##platform)))
#define __API_DEPRECATED_macos(from, until) macos, introduced = from, deprecated = until
#define API_DEPRECATED(text, platform) \
  __attribute__((availability(__API_DEPRECATED_##platform, message = text)))
