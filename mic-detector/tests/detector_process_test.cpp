// The built program, run as a child process.
#include <gtest/gtest.h>

#include "test_files.h"

namespace micdetector {
namespace {

TEST(DetectorProcess, APollWithoutASoundServerIsLoggedAndNothingIsWritten) {
  testing::TempDir directory;
  const auto environment = testing::environmentWith(
      {"PULSE_SERVER=unix:" + directory.path() + "/no-server",
       "XDG_RUNTIME_DIR=" + directory.path(), "HOME=" + directory.path(), "DISPLAY"});
  const auto result =
      testing::runProcess({MIC_DETECTOR_BINARY, "ignored", "arguments"}, &environment);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err,
            "[vandrelis-mic-detector] ERROR: Failed to load active input apps: CoreAudio call "
            "failed for selector 1886548771 with status 1937010544\n");
}

}  // namespace
}  // namespace micdetector
