// Change notices for a vdir tree: inotify watches on the root, its sources and calendars,
// and on the root's nearest existing ancestor so that a removed or late root is seen.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <unordered_map>

namespace vandrelis::store {

class VdirWatch {
 public:
  struct Timing {
    // A burst ends after this long without a further filesystem event.
    std::chrono::milliseconds quiet{100};
    // A burst that goes on longer than this still gives a notice, so that a steady trickle
    // of writes is not silent forever.
    std::chrono::milliseconds longest{1000};
  };

  // Starts watching; onChange runs on the watch's own thread, once per burst of changes.
  // Throws std::system_error when inotify cannot be set up.
  VdirWatch(std::filesystem::path root, std::function<void()> onChange, Timing timing);
  VdirWatch(std::filesystem::path root, std::function<void()> onChange)
      : VdirWatch(std::move(root), std::move(onChange), Timing{}) {}
  ~VdirWatch();
  VdirWatch(const VdirWatch&) = delete;
  VdirWatch& operator=(const VdirWatch&) = delete;

 private:
  // Depth 0 is the root, 1 a source, 2 a calendar; kAncestor the directory that holds (or
  // will hold) the root.
  static constexpr unsigned kAncestor = 1u << 3;

  void run();
  // Drops every watch and sets them up again for the tree as it is now.
  void rebuild();
  void addWatch(const std::filesystem::path& directory, unsigned depthBit);
  // Handles one event; returns true when it is a change of the store's data.
  bool handle(int wd, std::uint32_t mask, const char* name);

  std::filesystem::path root_;
  std::function<void()> onChange_;
  Timing timing_;
  int inotifyFd_ = -1;
  int wakeFd_ = -1;
  std::unordered_map<int, unsigned> watches_;  // wd -> depth bits (one inode may sit at two)
  std::string ancestorChild_;  // the name under the ancestor that leads to the root
  bool rebuildNeeded_ = false;
  std::thread thread_;
};

}  // namespace vandrelis::store
