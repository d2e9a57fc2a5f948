// Reads a bundle's Contents/Info.plist, XML or binary, with libplist.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <plist/plist.h>
#include <sys/stat.h>

#include "bundle.h"

namespace micdetector {

struct Bundle::Info {
  explicit Info(plist_t root) : dictionary(root) {}
  ~Info() { plist_free(dictionary); }
  Info(const Info&) = delete;
  Info& operator=(const Info&) = delete;

  plist_t dictionary;
};

namespace {

// Real dictionaries are a few kilobytes; a bigger file is not read into memory.
constexpr off_t kMaxInfoSize = 4 * 1024 * 1024;

// The file's bytes, or nothing when it is missing, not a regular file, too big or unreadable.
std::optional<std::string> readSmallFile(const std::string& path) {
  // O_NONBLOCK so that a FIFO planted in a bundle cannot stall the poll.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> contents;
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= kMaxInfoSize) {
    std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t filled = 0;
    while (filled < bytes.size()) {
      const ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      filled += static_cast<std::size_t>(got);
    }
    bytes.resize(filled);  // a file that shrank while read is taken as it was read
    contents = std::move(bytes);
  }
  ::close(fd);
  return contents;
}

std::optional<std::string> stringValue(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (text == nullptr) return std::string();
  return std::string(text, static_cast<std::size_t>(length));
}

}  // namespace

std::optional<Bundle> Bundle::atDirectory(const std::string& directory) {
  struct stat status {};
  if (::stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return std::nullopt;
  const auto bytes = readSmallFile(directory + "/Contents/Info.plist");
  if (!bytes || bytes->empty()) return Bundle(nullptr);
  plist_t root = nullptr;
  plist_from_memory(bytes->data(), static_cast<std::uint32_t>(bytes->size()), &root);
  if (root == nullptr) return Bundle(nullptr);
  if (plist_get_node_type(root) != PLIST_DICT) {
    plist_free(root);
    return Bundle(nullptr);
  }
  return Bundle(std::make_shared<const Info>(root));
}

std::optional<std::string> Bundle::bundleIdentifier() const {
  if (!info_) return std::nullopt;
  return stringValue(plist_dict_get_item(info_->dictionary, "CFBundleIdentifier"));
}

InfoValue Bundle::objectForInfoDictionaryKey(std::string_view key) const {
  if (!info_) return {};
  const plist_t node = plist_dict_get_item(info_->dictionary, std::string(key).c_str());
  if (node == nullptr) return {};
  if (auto text = stringValue(node)) return {InfoValue::Kind::text, std::move(*text)};
  return {InfoValue::Kind::other, {}};
}

}  // namespace micdetector
