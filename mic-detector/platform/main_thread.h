// What the main thread does once the detector runs on its own threads: nothing on its own, but
// on Apple systems it must serve the main run loop, where AppKit brings its records of running
// applications up to date.
#pragma once

namespace micdetector {

[[noreturn]] void parkMainThread();

}  // namespace micdetector
