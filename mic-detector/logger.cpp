// Lines come from several threads with no lock between them; building the whole line first and
// writing it at once keeps them from mixing.
#include "logger.h"

#include <string>

#include "fd_write.h"
#include "utf8.h"

namespace micdetector::Logger {
namespace {

std::string line(std::string_view prefix, std::string_view message) {
  std::string text;
  text.reserve(prefix.size() + message.size() + 1);
  text.append(prefix);
  appendValidUtf8(text, message);
  text.push_back('\n');
  return text;
}

constexpr std::string_view kPrefix = "[vandrelis-mic-detector] ";

}  // namespace

// A failed write to standard error has nowhere to be reported.
void info(std::string_view message) { (void)writeAll(2, line(kPrefix, message)); }

void error(std::string_view message) {
  (void)writeAll(2, line("[vandrelis-mic-detector] ERROR: ", message));
}

void infoBefore(std::string_view message, std::chrono::steady_clock::time_point deadline) {
  (void)writeAllBefore(2, line(kPrefix, message), deadline);
}

}  // namespace micdetector::Logger
