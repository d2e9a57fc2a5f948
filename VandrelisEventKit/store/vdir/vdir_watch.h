// Change notices for a vdir tree: inotify watches on the root, its sources and calendars, and
// on the folder holding the root and each linked folder's target, so that a removed, late or
// re-created root or target is seen; folders beyond the inotify watch limit are scanned.
#pragma once

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <sys/types.h>

namespace vandrelis::store {

class VdirWatch {
 public:
  struct Timing {
    // A burst ends after this long without a further filesystem event.
    std::chrono::milliseconds quiet{100};
    // A burst that goes on longer than this still gives a notice, so that a steady trickle
    // of writes is not silent forever.
    std::chrono::milliseconds longest{1000};
    // Folders that could not be given an inotify watch are compared with their last scan
    // this often.
    std::chrono::milliseconds scan{2000};
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
  // What a folder is to the tree; one inode may be several at once.
  enum Role : unsigned { kRoot = 1, kSource = 2, kCalendar = 4, kGuard = 8 };

  struct Folder {
    std::filesystem::path path;
    unsigned roles = 0;
    std::set<std::string> guarded;  // names in it that lead to the root or a link's target
    std::set<std::string> links;    // symbolic links among its entries, for a root or source
  };

  // One entry of a scanned folder, as much as a change of it shows.
  struct EntryState {
    std::string name;
    ino_t inode;
    off_t size;
    timespec modified;
    bool operator==(const EntryState& other) const;
  };

  struct ScannedFolder {
    Folder folder;
    std::vector<EntryState> entries;
    bool recorded = false;  // entries hold a first scan
  };

  void run();
  // Sets the watches up for the tree as it is now, keeping those already in place: adding a
  // watch that exists makes no event, so a rebuild never causes another one.
  void rebuild();
  // Watches (or, past the watch limit, scans) a folder; null when it cannot be either.
  Folder* place(const std::filesystem::path& path, Role role);
  // Places a folder and what lies under it in the tree.
  void placeTree(const std::filesystem::path& path, Role role);
  // Guards the folder holding `path` (or its nearest existing ancestor), and the targets of
  // the links on the way.
  void guard(std::filesystem::path path, int hops);
  std::vector<EntryState> scanEntries(const Folder& folder) const;
  // Takes the first scan of folders placed since the last call.
  void recordNewScans();
  // Compares each scanned folder with its last scan; true when one changed.
  bool scan();
  // Handles one event; returns true when it is a change of the store's data.
  bool handle(int wd, std::uint32_t mask, const char* name);

  std::filesystem::path root_;
  std::function<void()> onChange_;
  Timing timing_;
  int inotifyFd_ = -1;
  int wakeFd_ = -1;
  std::unordered_map<int, Folder> watches_;                 // by watch descriptor
  std::map<std::filesystem::path, ScannedFolder> scanned_;  // by path
  bool rebuildNeeded_ = false;
  std::thread thread_;
};

}  // namespace vandrelis::store
