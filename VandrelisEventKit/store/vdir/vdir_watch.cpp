// One thread reads inotify events and debounces them. New folders are watched as their events
// arrive; anything else that moves the tree (an overflowed queue, a link, the root) marks one
// rebuild, made before the burst's notice so that the notice covers what it finds.
#include "store/vdir/vdir_watch.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <system_error>

#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>

namespace vandrelis::store {
namespace {

constexpr std::uint32_t kTreeMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE |
                                    IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF |
                                    IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kGuardMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                     IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kEntryAppears = IN_CREATE | IN_MOVED_TO;
constexpr unsigned kTreeRoles = 7;
// A chain of links longer than this is not followed (the kernel gives up at 40).
constexpr int kMaxLinkHops = 8;

bool isMetadataName(std::string_view name, unsigned roles) {
  if ((roles & 1u) && name == "default-calendar") return true;
  if ((roles & 2u) && (name == "displayname" || name == "type" || name == "addresses")) {
    return true;
  }
  if ((roles & 4u) && (name == "displayname" || name == "color" || name.ends_with(".ics"))) {
    return true;
  }
  return false;
}

struct Child {
  std::string name;
  bool directory;  // after following a link
  bool link;
};

// The entries of a root or source that can lead to more of the tree.
std::vector<Child> readChildren(const std::filesystem::path& directory) {
  std::vector<Child> children;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return children;
  int dirFd = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    bool link = entry->d_type == DT_LNK;
    bool isDirectory = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat info;
      link =
          ::fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
      isDirectory = !link && S_ISDIR(info.st_mode);
    }
    if (link) {
      struct stat info;
      isDirectory = ::fstatat(dirFd, entry->d_name, &info, 0) == 0 && S_ISDIR(info.st_mode);
    }
    if (link || isDirectory) children.push_back({entry->d_name, isDirectory, link});
  }
  ::closedir(dir);
  // In byte order, as the store lists them: past the watch limit, the same folders are scanned
  // each time.
  std::sort(children.begin(), children.end(),
            [](const Child& a, const Child& b) { return a.name < b.name; });
  return children;
}

bool isLink(const std::filesystem::path& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool isDirectory(const std::filesystem::path& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

bool VdirWatch::EntryState::operator==(const EntryState& other) const {
  return name == other.name && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

VdirWatch::VdirWatch(std::filesystem::path root, std::function<void()> onChange, Timing timing)
    : root_(std::move(root)), onChange_(std::move(onChange)), timing_(timing) {
  inotifyFd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotifyFd_ < 0) throw std::system_error(errno, std::generic_category());
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    int error = errno;
    ::close(inotifyFd_);
    throw std::system_error(error, std::generic_category());
  }
  rebuild();
  thread_ = std::thread([this] { run(); });
}

VdirWatch::~VdirWatch() {
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t written = ::write(wakeFd_, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
  ::close(wakeFd_);
  ::close(inotifyFd_);
}

VdirWatch::Folder* VdirWatch::place(const std::filesystem::path& path, Role role) {
  // Masks only ever grow, so that a folder with two roles keeps the events of both.
  int wd = ::inotify_add_watch(inotifyFd_, path.c_str(),
                               (role == kGuard ? kGuardMask : kTreeMask) | IN_MASK_ADD);
  Folder* folder = nullptr;
  if (wd >= 0) {
    folder = &watches_[wd];
  } else if (errno == ENOSPC || errno == ENOMEM) {
    // The user's watch limit is reached (it is shared with every other program): scan instead.
    auto [it, added] = scanned_.try_emplace(path);
    folder = &it->second.folder;
  } else {
    return nullptr;  // gone or unreadable: its parent's events tell when that changes
  }
  if (folder->path.empty()) folder->path = path;
  folder->roles |= role;
  return folder;
}

void VdirWatch::placeTree(const std::filesystem::path& path, Role role) {
  Folder* folder = place(path, role);
  if (folder == nullptr || role == kCalendar) return;
  Role childRole = role == kRoot ? kSource : kCalendar;
  for (const Child& child : readChildren(path)) {
    if (child.link) {
      folder->links.insert(child.name);
      guard(path / child.name, 0);
    }
    if (child.directory) placeTree(path / child.name, childRole);
  }
}

void VdirWatch::guard(std::filesystem::path path, int hops) {
  std::filesystem::path ancestor = path.parent_path();
  std::filesystem::path child = path.filename();
  while (!ancestor.empty() && !isDirectory(ancestor) && ancestor != ancestor.parent_path()) {
    child = ancestor.filename();
    ancestor = ancestor.parent_path();
  }
  if (ancestor.empty()) return;
  if (Folder* folder = place(ancestor, kGuard)) folder->guarded.insert(child.string());
  if (ancestor != path.parent_path() || hops >= kMaxLinkHops || !isLink(path)) return;
  std::error_code error;
  std::filesystem::path target = std::filesystem::read_symlink(path, error);
  if (error) return;
  guard((path.parent_path() / target).lexically_normal(), hops + 1);
}

void VdirWatch::rebuild() {
  rebuildNeeded_ = false;
  std::unordered_map<int, Folder> previous = std::move(watches_);
  watches_.clear();
  scanned_.clear();
  guard(root_, 0);
  if (isDirectory(root_)) placeTree(root_, kRoot);
  for (const auto& [wd, folder] : previous) {
    if (!watches_.contains(wd)) ::inotify_rm_watch(inotifyFd_, wd);
  }
  recordNewScans();
}

void VdirWatch::recordNewScans() {
  for (auto& [path, scanned] : scanned_) {
    if (scanned.recorded) continue;
    scanned.entries = scanEntries(scanned.folder);
    scanned.recorded = true;
  }
}

std::vector<VdirWatch::EntryState> VdirWatch::scanEntries(const Folder& folder) const {
  std::vector<EntryState> entries;
  DIR* dir = ::opendir(folder.path.c_str());
  if (dir == nullptr) return entries;
  int dirFd = ::dirfd(dir);
  bool treeLevel = (folder.roles & (kRoot | kSource)) != 0;
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    bool guarded = folder.guarded.contains(std::string(name));
    if (name.front() == '.' && !guarded) continue;
    bool mayLeadOn = treeLevel && (entry->d_type == DT_DIR || entry->d_type == DT_LNK ||
                                   entry->d_type == DT_UNKNOWN);
    if (!guarded && !mayLeadOn && !isMetadataName(name, folder.roles)) continue;
    struct stat info;
    if (::fstatat(dirFd, entry->d_name, &info, 0) != 0 &&
        ::fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    entries.push_back({std::string(name), info.st_ino, info.st_size, info.st_mtim});
  }
  ::closedir(dir);
  std::sort(entries.begin(), entries.end(),
            [](const EntryState& a, const EntryState& b) { return a.name < b.name; });
  return entries;
}

bool VdirWatch::scan() {
  bool change = false;
  for (auto it = scanned_.begin(); it != scanned_.end();) {
    ScannedFolder& scanned = it->second;
    if (!isDirectory(scanned.folder.path)) {
      // Gone: the folder holding it reports that, by an event or by its own scan.
      it = scanned_.erase(it);
      continue;
    }
    std::vector<EntryState> entries = scanEntries(scanned.folder);
    if (entries != scanned.entries) {
      change = true;
      if (scanned.folder.roles & (kRoot | kSource | kGuard)) rebuildNeeded_ = true;
      scanned.entries = std::move(entries);
    }
    ++it;
  }
  return change;
}

bool VdirWatch::handle(int wd, std::uint32_t mask, const char* name) {
  if (mask & IN_Q_OVERFLOW) {
    rebuildNeeded_ = true;
    return true;
  }
  auto it = watches_.find(wd);
  if (it == watches_.end()) return false;  // a watch dropped by a rebuild
  if (mask & IN_IGNORED) {
    watches_.erase(it);
    return false;
  }
  Folder& folder = it->second;
  std::string entry = name != nullptr ? name : "";
  if (entry.empty()) {
    // The watched folder itself: removed, moved or its permissions changed. A removed
    // calendar or source needs nothing more: the kernel drops its watch.
    if ((mask & IN_MOVE_SELF) || ((mask & IN_DELETE_SELF) && (folder.roles & (kRoot | kGuard)))) {
      rebuildNeeded_ = true;
    }
    return (folder.roles & kTreeRoles) != 0;
  }
  // Checked before hidden names are ignored: a linked root may well lead to ~/.calendars.
  if ((folder.roles & kGuard) && folder.guarded.contains(entry)) {
    rebuildNeeded_ = true;
    return true;
  }
  if (entry.front() == '.') return false;
  bool change = false;
  if (folder.roles & (kRoot | kSource)) {
    std::filesystem::path path = folder.path / entry;
    if (mask & IN_ISDIR) {
      change = true;
      if (mask & IN_MOVED_FROM) rebuildNeeded_ = true;  // its watches now watch elsewhere
      if (mask & kEntryAppears) {
        if (folder.roles & kRoot) placeTree(path, kSource);
        if (folder.roles & kSource) placeTree(path, kCalendar);
      }
    } else if (folder.links.contains(entry) || ((mask & kEntryAppears) && isLink(path))) {
      // A link: its target needs guarding, and it may lead to a folder of the tree.
      rebuildNeeded_ = true;
      change = true;
    }
  }
  if ((folder.roles & kTreeRoles) && !(mask & IN_ISDIR) && isMetadataName(entry, folder.roles)) {
    change = true;
  }
  return change;
}

void VdirWatch::run() {
  using Clock = std::chrono::steady_clock;
  bool inBurst = false;
  Clock::time_point burstStart{};
  Clock::time_point lastEvent{};
  Clock::time_point nextScan = Clock::now() + timing_.scan;
  alignas(inotify_event) std::array<char, 64 * 1024> buffer;
  for (;;) {
    Clock::time_point due = Clock::time_point::max();
    if (inBurst) due = std::min(lastEvent + timing_.quiet, burstStart + timing_.longest);
    if (!scanned_.empty()) due = std::min(due, nextScan);
    int timeout = -1;
    if (due != Clock::time_point::max()) {
      auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now());
      timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, wait.count() + 1));
    }
    std::array<pollfd, 2> fds{{{inotifyFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}}};
    int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;
    bool change = false;
    if (ready > 0 && (fds[0].revents & POLLIN)) {
      // One buffer per pass, so that a flood of events still lets the timers below run.
      ssize_t length = ::read(inotifyFd_, buffer.data(), buffer.size());
      for (ssize_t offset = 0; offset < length;) {
        inotify_event event;
        std::memcpy(&event, buffer.data() + offset, sizeof event);
        const char* name = event.len > 0 ? buffer.data() + offset + sizeof event : nullptr;
        change |= handle(event.wd, event.mask, name);
        offset += static_cast<ssize_t>(sizeof event + event.len);
      }
      recordNewScans();
    }
    Clock::time_point now = Clock::now();
    if (!scanned_.empty() && now >= nextScan) {
      change |= scan();
      nextScan = Clock::now() + timing_.scan;
    }
    if (change) {
      lastEvent = now;
      if (!inBurst) burstStart = now;
      inBurst = true;
    }
    if (rebuildNeeded_ && !inBurst) rebuild();
    if (inBurst && (now >= lastEvent + timing_.quiet || now >= burstStart + timing_.longest)) {
      inBurst = false;
      if (rebuildNeeded_) rebuild();
      onChange_();
    }
  }
}

}  // namespace vandrelis::store
