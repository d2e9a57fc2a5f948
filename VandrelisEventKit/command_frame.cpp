// The dispatch table pairs each command word with its body; words match whole and by case.
#include "command_frame.h"

#include <unistd.h>

#include <span>

#include "calendar_listing.h"
#include "fd_write.h"
#include "helper_error.h"
#include "permission.h"
#include "store_watcher.h"
#include "snapshot.h"
#include "text.h"

namespace vandrelis {
namespace {

using Body = void (*)(store::CalendarStore&, const std::vector<std::string>&);

struct Command {
  const char* word;
  Body body;
};

constexpr Command kCommands[] = {
    {"status", [](store::CalendarStore& s, const std::vector<std::string>&) { status(s); }},
    {"authorize", [](store::CalendarStore& s, const std::vector<std::string>&) { authorize(s); }},
    {"list-calendars",
     [](store::CalendarStore& s, const std::vector<std::string>&) { listCalendars(s); }},
    {"snapshot", [](store::CalendarStore& s, const std::vector<std::string>& a) { snapshot(s, a); }},
    {"watch",
     [](store::CalendarStore& s, const std::vector<std::string>&) { StoreWatcher(s).run(); }},
};

void dispatch(store::CalendarStore& store, const std::vector<std::string>& arguments) {
  const std::string& word = arguments.front();
  for (const Command& command : kCommands) {
    if (canonicallyEqual(word, command.word)) {
      command.body(store, arguments);
      return;
    }
  }
  throw HelperError::invalidArguments("Unknown command: " + word);
}

}  // namespace

void reportFailure(std::string_view description) {
  std::string line = "vandrelis-eventkit: ";
  appendRepairedUtf8(line, description);
  line.push_back('\n');
  writeAll(STDERR_FILENO, line);
}

int runHelper(const std::vector<std::string>& arguments, const StoreFactory& makeStore) {
  try {
    if (arguments.empty()) throw HelperError::invalidArguments(kUsage);
    std::shared_ptr<store::CalendarStore> store = makeStore();
    dispatch(*store, arguments);
    return 0;
  } catch (const HelperError& error) {
    reportFailure(error.description());
  } catch (const PlatformError& error) {
    reportFailure(error.description());
  } catch (const std::exception& error) {
    reportFailure(error.what());
  }
  return 1;
}

}  // namespace vandrelis
