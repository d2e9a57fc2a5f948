// Test-only program: reads one bundle directory the way a poll does and prints its identifier
// (or "-"), so that a hostile Info.plist can be timed in a process of its own.
#include <cstdio>
#include <string>

#include "platform/bundle.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s BUNDLE_DIRECTORY\n", argv[0]);
    return 2;
  }
  const auto bundle = micdetector::Bundle::atDirectory(argv[1]);
  if (!bundle) return 1;
  std::printf("%s\n", bundle->bundleIdentifier().value_or("-").c_str());
  return 0;
}
