// Lines come from several threads with no lock between them; building the whole line first and
// writing it at once keeps them from mixing.
#include "logger.h"

#include <string>

#include "fd_write.h"
#include "utf8.h"

namespace micdetector::Logger {
namespace {

void writeLine(std::string_view prefix, std::string_view message) {
  std::string line;
  line.reserve(prefix.size() + message.size() + 1);
  line.append(prefix);
  appendValidUtf8(line, message);
  line.push_back('\n');
  // A failed write to standard error has nowhere to be reported.
  (void)writeAll(2, line);
}

}  // namespace

void info(std::string_view message) { writeLine("[vandrelis-mic-detector] ", message); }

void error(std::string_view message) { writeLine("[vandrelis-mic-detector] ERROR: ", message); }

}  // namespace micdetector::Logger
