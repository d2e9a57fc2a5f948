// The detector's log channel: one line per message on standard error, each in a single write.
#pragma once

#include <chrono>
#include <string_view>

namespace micdetector::Logger {

// "[vandrelis-mic-detector] " + message + "\n".
void info(std::string_view message);
// "[vandrelis-mic-detector] ERROR: " + message + "\n".
void error(std::string_view message);
// As info, but the line is dropped when standard error does not take it by `deadline`.
void infoBefore(std::string_view message, std::chrono::steady_clock::time_point deadline);

}  // namespace micdetector::Logger
