// Which Apple platform the build is for: macOS. Read by GoogleTest's and ICU's headers, not by
// the project's sources.
#pragma once

#define TARGET_OS_MAC 1
#define TARGET_OS_OSX 1
#define TARGET_OS_IPHONE 0
#define TARGET_OS_MACCATALYST 0
