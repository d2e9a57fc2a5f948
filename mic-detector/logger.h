// The detector's log channel: one line per message on standard error, each in a single write.
#pragma once

#include <string_view>

namespace micdetector::Logger {

// "[vandrelis-mic-detector] " + message + "\n".
void info(std::string_view message);
// "[vandrelis-mic-detector] ERROR: " + message + "\n".
void error(std::string_view message);

}  // namespace micdetector::Logger
