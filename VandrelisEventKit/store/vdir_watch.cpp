// One thread reads inotify events and debounces them; watches are rebuilt whenever a
// directory of the tree appears, disappears or moves, which is rare next to item writes.
#include "store/vdir_watch.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string_view>
#include <system_error>

#include "store/vdir_tree.h"

namespace vandrelis::store {
namespace {

constexpr std::uint32_t kTreeMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE |
                                    IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF |
                                    IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kAncestorMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                        IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kEntryChange = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

bool isMetadataName(std::string_view name, unsigned depthBits) {
  if ((depthBits & 1u) && name == "default-calendar") return true;
  if ((depthBits & 2u) && (name == "displayname" || name == "type" || name == "addresses")) {
    return true;
  }
  if ((depthBits & 4u) && (name == "displayname" || name == "color" || name.ends_with(".ics"))) {
    return true;
  }
  return false;
}

}  // namespace

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

void VdirWatch::addWatch(const std::filesystem::path& directory, unsigned depthBit) {
  int wd = ::inotify_add_watch(inotifyFd_, directory.c_str(),
                               depthBit == kAncestor ? kAncestorMask : kTreeMask);
  if (wd >= 0) watches_[wd] |= depthBit;  // a full watch table only loses that directory
}

void VdirWatch::rebuild() {
  for (const auto& [wd, depth] : watches_) ::inotify_rm_watch(inotifyFd_, wd);
  watches_.clear();
  rebuildNeeded_ = false;

  // The ancestor: the root's parent, or the nearest parent of it that exists.
  std::filesystem::path ancestor = root_.parent_path();
  std::filesystem::path child = root_.filename();
  std::error_code error;
  while (!ancestor.empty() && !std::filesystem::is_directory(ancestor, error) &&
         ancestor != ancestor.parent_path()) {
    child = ancestor.filename();
    ancestor = ancestor.parent_path();
  }
  ancestorChild_ = child.string();
  if (!ancestor.empty()) addWatch(ancestor, kAncestor);

  if (!std::filesystem::is_directory(root_, error)) return;
  addWatch(root_, 1u);
  // The tree is only three levels deep, so a symbolic link loop cannot make this recurse.
  for (const std::string& source : listSubdirectories(root_)) {
    addWatch(root_ / source, 2u);
    for (const std::string& calendar : listSubdirectories(root_ / source)) {
      addWatch(root_ / source / calendar, 4u);
    }
  }
}

bool VdirWatch::handle(int wd, std::uint32_t mask, const char* name) {
  if (mask & IN_Q_OVERFLOW) {
    rebuildNeeded_ = true;
    return true;
  }
  auto it = watches_.find(wd);
  if (it == watches_.end()) return false;  // a watch dropped by a rebuild
  unsigned depth = it->second;
  if (mask & IN_IGNORED) {
    watches_.erase(it);
    return false;
  }
  std::string_view entry = name != nullptr ? name : "";
  if (entry.empty()) {
    // The watched directory itself: removed, moved or its permissions changed.
    if (mask & (IN_DELETE_SELF | IN_MOVE_SELF)) rebuildNeeded_ = true;
    return (depth & 7u) != 0;
  }
  if (entry.front() == '.') return false;
  bool change = false;
  if ((depth & kAncestor) && entry == ancestorChild_) {
    rebuildNeeded_ = true;
    change = true;
  }
  if (depth & 3u) {
    // In the root or a source, any entry created, removed or moved may be a directory (or a
    // link to one) of the tree.
    if (mask & kEntryChange) {
      rebuildNeeded_ = true;
      change = true;
    }
    if (mask & IN_ISDIR) change = true;
  }
  if ((depth & 7u) && !(mask & IN_ISDIR) && isMetadataName(entry, depth)) change = true;
  return change;
}

void VdirWatch::run() {
  using Clock = std::chrono::steady_clock;
  bool inBurst = false;
  Clock::time_point burstStart{};
  Clock::time_point lastEvent{};
  alignas(inotify_event) std::array<char, 64 * 1024> buffer;
  for (;;) {
    int timeout = -1;
    if (inBurst) {
      Clock::time_point due = std::min(lastEvent + timing_.quiet, burstStart + timing_.longest);
      auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now());
      timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, wait.count() + 1));
    }
    std::array<pollfd, 2> fds{{{inotifyFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}}};
    int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;
    if (ready > 0 && (fds[0].revents & POLLIN)) {
      ssize_t length;
      while ((length = ::read(inotifyFd_, buffer.data(), buffer.size())) > 0) {
        bool change = false;
        for (ssize_t offset = 0; offset < length;) {
          inotify_event event;
          std::memcpy(&event, buffer.data() + offset, sizeof event);
          const char* name = event.len > 0 ? buffer.data() + offset + sizeof event : nullptr;
          change |= handle(event.wd, event.mask, name);
          offset += static_cast<ssize_t>(sizeof event + event.len);
        }
        // Watching new directories at once keeps writes into them from going unseen.
        if (rebuildNeeded_) rebuild();
        if (change) {
          lastEvent = Clock::now();
          if (!inBurst) burstStart = lastEvent;
          inBurst = true;
        }
      }
    }
    if (inBurst) {
      Clock::time_point now = Clock::now();
      if (now >= lastEvent + timing_.quiet || now >= burstStart + timing_.longest) {
        inBurst = false;
        onChange_();
      }
    }
  }
}

}  // namespace vandrelis::store
