// The built program, run as a child process.
#include <gtest/gtest.h>

#include "test_files.h"

namespace micdetector {
namespace {

TEST(DetectorProcess, APollWithoutAProcessListIsLoggedAndNothingIsWritten) {
  const auto result = testing::runProcess({MIC_DETECTOR_BINARY, "ignored", "arguments"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err,
            "[vandrelis-mic-detector] ERROR: Failed to load active input apps: Audio property "
            "unavailable for selector 1886548771\n");
}

}  // namespace
}  // namespace micdetector
