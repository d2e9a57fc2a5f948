// Test-only program: the helper's frame on an in-memory store whose permission status is the
// first argument and whose change notifications are posted on command from standard input.
//
//   eventkit_watch_driver STATUS HELPER-ARGUMENTS...
//
// Commands, one per line: "post" (the frame's store posts once), "other" (a second store
// posts once), "burst THREADS COUNT" (THREADS threads, released together, each post COUNT
// times), "end" (stops the main thread's run loop).
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <latch>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "command_frame.h"
#include "memory_store.h"
#include "run_loop.h"

namespace {

using vandrelis::RunLoop;
using vandrelis::testing::MemoryStore;

bool readLine(std::string& line) {
  line.clear();
  char c;
  while (true) {
    ssize_t n = ::read(STDIN_FILENO, &c, 1);  // unbuffered: a line is acted on as it arrives
    if (n <= 0) return !line.empty();
    if (c == '\n') return true;
    line.push_back(c);
  }
}

void burst(const MemoryStore& store, int threads, int count) {
  std::latch start(threads);
  std::vector<std::thread> posters;
  for (int t = 0; t < threads; ++t) {
    posters.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < count; ++i) store.postChanged();
    });
  }
  for (std::thread& poster : posters) poster.join();
}

void obeyCommands(std::shared_ptr<MemoryStore> store, std::shared_ptr<MemoryStore> other,
                  RunLoop* mainLoop) {
  std::string line;
  while (readLine(line)) {
    // Posts made before the watcher has registered would be lost, so hold them back.
    while (!store->observing) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command == "post") {
      store->postChanged();
    } else if (command == "other") {
      other->postChanged();
    } else if (command == "burst") {
      int threads = 0, count = 0;
      words >> threads >> count;
      burst(*store, threads, count);
    } else if (command == "end") {
      mainLoop->stop();
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  auto store = std::make_shared<MemoryStore>();
  store->status = std::strtoll(argv[1], nullptr, 10);
  auto other = std::make_shared<MemoryStore>();
  std::thread(obeyCommands, store, other, &RunLoop::current()).detach();
  std::vector<std::string> arguments(argv + 2, argv + argc);
  return vandrelis::runHelper(arguments, [store] { return store; });
}
